// Rules cache state: how many rules are cached and whether to trust it.
#include <gtest/gtest.h>

#include "services/context/rules_cache_state.hpp"
#include "support/temp_repo.hpp"

namespace tv = brenik::services::tolvern;
using brenik::testing::TempDir;
using brenik::testing::write_file;

namespace {

const char* kFiveRules =
    "principles:\n  p1: {}\n  p2: {}\n  p3: {}\nconstraints:\n  c1: {description: x}\n  c2: {}\n"
    "checks:\n  - a\n  - b\nother:\n  o1: {}\n";

void status(const TempDir& d, const std::string& value) {
  write_file(d.path() / "config.yaml", "cache:\n  fetch_status:\n    brenikrules: " + value + "\n");
}

}  // namespace

TEST(RulesCacheState, NothingCached) {
  TempDir d;
  auto s = tv::read_rules_cache_state(d.path());
  EXPECT_FALSE(s.count);
  EXPECT_FALSE(s.trustworthy());
  EXPECT_EQ(s.describe(), "not cached \u2014 run 'brenik sync'");
  status(d, "503");
  s = tv::read_rules_cache_state(d.path());
  EXPECT_TRUE(s.fetch_failed());
  EXPECT_EQ(s.describe(), "unavailable \u2014 last sync could not reach brenik");
}

TEST(RulesCacheState, CountsMappingSectionsAndJudgesTheStatus) {
  TempDir d;
  write_file(d.path() / "brenikrules.yaml", kFiveRules);
  auto s = tv::read_rules_cache_state(d.path());
  EXPECT_EQ(s.count, 5);
  EXPECT_TRUE(s.trustworthy());
  status(d, "304");
  s = tv::read_rules_cache_state(d.path());
  EXPECT_TRUE(s.trustworthy());
  EXPECT_EQ(s.describe(), "5");
  status(d, "401");
  s = tv::read_rules_cache_state(d.path());
  EXPECT_TRUE(s.fetch_failed());
  EXPECT_FALSE(s.trustworthy());
  EXPECT_EQ(s.describe(), "5 (stale \u2014 last sync could not reach brenik)");
  status(d, "\"200\"");  // text is not a status
  EXPECT_EQ(tv::read_rules_cache_state(d.path()).last_fetch_status, std::nullopt);
  write_file(d.path() / "config.yaml", "cache: [unclosed\n");
  s = tv::read_rules_cache_state(d.path());
  EXPECT_EQ(s.count, 5);
  EXPECT_TRUE(s.trustworthy());
}

TEST(RulesCacheState, EmptyAndUnreadableFiles) {
  TempDir d;
  write_file(d.path() / "brenikrules.yaml", "");
  status(d, "200");
  auto s = tv::read_rules_cache_state(d.path());
  EXPECT_EQ(s.count, 0);
  EXPECT_TRUE(s.trustworthy());
  EXPECT_EQ(s.describe(), "0");
  for (const std::string& bad : {std::string("- a\n- b\n"), std::string("a: [unclosed\n"), std::string("just text\n"),
                                 std::string("a: \xff\xfe\n")}) {
    write_file(d.path() / "brenikrules.yaml", bad);
    s = tv::read_rules_cache_state(d.path());
    EXPECT_TRUE(s.unreadable) << bad;
    EXPECT_FALSE(s.count);
    EXPECT_FALSE(s.trustworthy());
    EXPECT_EQ(s.describe(), "unreadable \u2014 run 'brenik sync' to repair the cache");
  }
}

TEST(RulesCacheState, LinksToDevicesAreUnreadableNotWaitedOn) {
  // A hostile clone points the cached files at an endless device: reading
  // it whole would never end (the test's own timeout is the guard).
  TempDir d;
  std::filesystem::create_symlink("/dev/zero", d.path() / "brenikrules.yaml");
  std::filesystem::create_symlink("/dev/zero", d.path() / "config.yaml");
  auto s = tv::read_rules_cache_state(d.path());
  EXPECT_FALSE(s.count);
  EXPECT_TRUE(s.unreadable);
  EXPECT_FALSE(s.last_fetch_status);
}

TEST(RulesCacheState, AFileFarLargerThanAnyCacheIsUnreadable) {
  TempDir big;
  write_file(big.path() / "brenikrules.yaml",
             "principles:\n  p1: {}\n# " + std::string(std::size_t{17} << 20, 'x') + "\n");
  auto s = tv::read_rules_cache_state(big.path());
  EXPECT_FALSE(s.count);
  EXPECT_TRUE(s.unreadable);
}
