// The sync debug log: the switch, the kind-only reducer, and the private,
// capped log file.
#include <gtest/gtest.h>

#include <regex>

#include "paths/paths.hpp"
#include "services/context/debug_log.hpp"
#include "support/temp_repo.hpp"
#include "utils/errors.hpp"

namespace tv = brenik::services::tolvern;
using namespace brenik::testing;

TEST(DebugSwitch, OnlyTheUsualYesWordsTurnItOn) {
  for (const char* on : {"1", "true", " Yes ", "ON", "\ttrue\n"}) {
    ScopedEnv env("BRENIK_DEBUG", std::string(on));
    EXPECT_TRUE(tv::brenik_debug_enabled()) << on;
  }
  for (const char* off : {"0", "false", "2", "", "off", "no", "yess"}) {
    ScopedEnv env("BRENIK_DEBUG", std::string(off));
    EXPECT_FALSE(tv::brenik_debug_enabled()) << off;
  }
  ScopedEnv unset("BRENIK_DEBUG", std::nullopt);
  EXPECT_FALSE(tv::brenik_debug_enabled());
}

TEST(DebugLog, KindOnlyOutsideFullReportInsideAPrivateFile) {
  TempDir repo;
  brenik::ConnectionError error("connection failed: https://secret.example.test/api?key=bk_1");
  EXPECT_EQ(tv::detail::short_exc(error), "ConnectionError");
  auto path = tv::detail::write_sync_debug_log(repo.path(), "context", error);
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(*path, brenik::paths::platform_dir(repo.path()) / "logs" / "sync.log");
  EXPECT_EQ(fs::status(*path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  const std::string text = read_file(*path);
  EXPECT_TRUE(
      std::regex_search(text, std::regex("^\n--- \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ stage=context ---\n")))
      << text;
  EXPECT_NE(text.find("ConnectionError"), std::string::npos);
  EXPECT_NE(text.find("https://secret.example.test/api?key=bk_1"), std::string::npos);
  // A second entry is appended after the first.
  ASSERT_TRUE(tv::detail::write_sync_debug_log(repo.path(), "upload", error));
  const std::string both = read_file(*path);
  EXPECT_EQ(both.rfind(text, 0), 0u);
  EXPECT_NE(both.find("stage=upload"), std::string::npos);
}

TEST(DebugLog, CapCutsOnlyPastTheLimit) {
  brenik::RuntimeError error("boom");
  for (std::size_t size : {std::size_t(256000), std::size_t(256001)}) {
    TempDir repo;
    const fs::path log = brenik::paths::platform_dir(repo.path()) / "logs" / "sync.log";
    std::string old;
    for (std::size_t i = 0; i < size; ++i) old += static_cast<char>('a' + i % 26);
    write_file(log, old);
    ASSERT_TRUE(tv::detail::write_sync_debug_log(repo.path(), "s", error));
    const std::string text = read_file(log);
    const std::string kept = size > 256000 ? old.substr(old.size() - 128000) : old;
    EXPECT_EQ(text.rfind(kept, 0), 0u) << size;
    EXPECT_EQ(text.substr(kept.size(), 5), "\n--- ") << size;
  }
}

TEST(DebugLog, UnwritablePlatformDirectoryGivesNoPath) {
  TempDir repo;
  write_file(brenik::paths::platform_dir(repo.path()), "a file where the directory belongs");
  brenik::RuntimeError error("boom");
  EXPECT_FALSE(tv::detail::write_sync_debug_log(repo.path(), "s", error).has_value());
  // A link where the log belongs is not written through.
  TempDir other;
  TempDir outside;
  fs::create_directories(brenik::paths::platform_dir(other.path()) / "logs");
  fs::create_symlink(outside.path() / "stolen.log", brenik::paths::platform_dir(other.path()) / "logs" / "sync.log");
  EXPECT_FALSE(tv::detail::write_sync_debug_log(other.path(), "s", error).has_value());
  EXPECT_FALSE(fs::exists(outside.path() / "stolen.log"));
}
