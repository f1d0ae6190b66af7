// The background work of a commit: its switch, and what a failed run leaves
// for `brenik status`.
#include <gtest/gtest.h>

#include "paths/paths.hpp"
#include "services/sync/background_sync.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"

namespace tv = brenik::services::tolvern;
using brenik::json::Value;
using namespace brenik::testing;

TEST(BackgroundSyncSwitch, OnlyAnExplicitFalseTurnsItOffAndALinkIsNeeded) {
  EXPECT_TRUE(tv::background_sync_enabled(Value::object()));
  EXPECT_TRUE(tv::background_sync_enabled(Value{{"background_sync", true}}));
  EXPECT_TRUE(tv::background_sync_enabled(Value{{"background_sync", "no"}})) << "only a YAML false turns it off";
  EXPECT_FALSE(tv::background_sync_enabled(Value{{"background_sync", false}}));
  EXPECT_FALSE(tv::wants_background_sync(Value::object()));
  EXPECT_TRUE(tv::wants_background_sync(Value{{"project_id", 3}}));
  EXPECT_FALSE(tv::wants_background_sync(Value{{"project_id", 3}, {"background_sync", false}}));
}

TEST(BackgroundSyncRun, AFailedRunSaysWhatFailedAndKeepsTheRecords) {
  ScopedEnv env;
  clear_agent_environment(env);
  TempDir repo;
  write_repo_config(repo.path(), Value{{"project_id", 3}});
  append_log_lines(repo.path(), {log_line(1)});
  EXPECT_FALSE(tv::read_background_sync_state(repo.path()).has_value());
  const std::string url = "http://127.0.0.1:" + std::to_string(closed_port());
  const auto outcome = tv::run_background_sync(repo.path(), "bk_key", url, Value(3));
  EXPECT_TRUE(outcome.ran);
  EXPECT_FALSE(outcome.ok);
  const auto state = tv::read_background_sync_state(repo.path());
  ASSERT_TRUE(state.has_value());
  EXPECT_FALSE(state->ok);
  EXPECT_TRUE(state->finished_at.has_value());
  ASSERT_TRUE(state->failure.has_value());
  EXPECT_EQ(state->failure->rfind("upload: ", 0), 0u) << *state->failure;
  EXPECT_NE(state->failure->find("; refresh: fetch_context (ConnectionError)"), std::string::npos) << *state->failure;
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 0);
  EXPECT_FALSE(tv::background_sync_running(repo.path()));
}
