// What the commit hook may upload with, from local files only.
#include <gtest/gtest.h>

#include "services/capture/session_context.hpp"
#include "services/shared.hpp"
#include "support/temp_repo.hpp"

namespace {

namespace t = brenik::services::tolvern;
using brenik::testing::ScopedEnv;
using brenik::testing::TempDir;
using brenik::testing::write_file;

TEST(SessionContext, ConnectedOnlyWithAKeyAndALinkedProject) {
  TempDir home, repo;
  ScopedEnv xdg("XDG_CONFIG_HOME", (home.path() / ".config").string());
  ScopedEnv h("HOME", home.path().string());
  ScopedEnv url("BRENIK_API_URL", std::nullopt);
  {
    ScopedEnv key("BRENIK_API_KEY", std::nullopt);
    auto s = t::resolve_session(repo.path());
    EXPECT_FALSE(s.connected);
    EXPECT_EQ(s.api_key, "");
  }
  ScopedEnv key("BRENIK_API_KEY", "k-123");
  EXPECT_FALSE(t::resolve_session(repo.path()).connected);  // signed in, not linked

  auto config = brenik::json::Value::object();
  config["project_id"] = 42;
  brenik::services::shared::save_local_config(repo.path(), config);
  auto s = t::resolve_session(repo.path());
  EXPECT_TRUE(s.connected);
  EXPECT_EQ(s.api_key, "k-123");
  EXPECT_EQ(s.project_id, 42);
  EXPECT_FALSE(s.api_url.empty());

  // A configuration that does not read never makes it throw.
  write_file(repo.path() / ".brenik" / ".platform" / "config.yaml", "project_id: [unclosed\n");
  EXPECT_FALSE(t::resolve_session(repo.path()).connected);
}

}  // namespace
