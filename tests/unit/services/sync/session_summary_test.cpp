// The session-start summary built from a cache directory's files.
#include <gtest/gtest.h>

#include "fixtures/agents/agents_env.hpp"
#include "services/ledger/refused_records.hpp"
#include "services/sync/session_summary.hpp"
#include "support/temp_repo.hpp"
#include "utils/time.hpp"

namespace {

namespace t = brenik::services::tolvern;
namespace json = brenik::json;
using brenik::testing::TempDir;
using brenik::testing::write_file;
namespace fs = std::filesystem;

const std::string DASH = "\xe2\x80\x94";

class SummaryTest : public ::testing::Test {
protected:
  const fs::path& dir() const { return tmp.path(); }
  void rules_status(int status) {
    write_file(dir() / "config.yaml", "cache:\n  fetch_status:\n    brenikrules: " + std::to_string(status) + "\n");
  }
  void age(const char* name, double seconds) {
    agents_test::set_mtime(dir() / name, brenik::utils::now_epoch() - seconds);
  }
  std::string summary(const json::Value& project = nullptr, std::optional<std::string> agent = std::nullopt) {
    return t::generate_session_summary(dir(), project, agent);
  }
  TempDir tmp;
};

TEST_F(SummaryTest, EmptyCacheGivesFiveLines) {
  EXPECT_EQ(summary(),
            "brenik session context loaded\n"
            "  elements: 0\n"
            "  rules: not cached " +
                DASH +
                " run 'brenik sync'\n"
                "  specs: 0\n"
                "  cache: empty " +
                DASH + " run 'brenik sync' to populate");
}

TEST_F(SummaryTest, CountsElementsRulesAndSpecs) {
  write_file(dir() / "brenikstate.yaml",
             "architecture:\n  elements:\n    api: {kind: service}\n    db: {kind: store}\n    note: just text\n");
  write_file(dir() / "brenikrules.yaml", "principles:\n  p1: a\n  p2: b\nchecks:\n  c1: c\n");
  for (const char* f : {"a.md", "b.yaml", "c.yml", "d.txt", "E.MD"}) write_file(dir() / "specs" / f, "x");
  fs::create_directories(dir() / "specs" / "sub.md");
  rules_status(200);
  EXPECT_EQ(summary(json::Value(42), std::string("claude-code")),
            "brenik session context loaded\n"
            "  project: 42\n"
            "  agent: claude-code\n"
            "  elements: 2\n"
            "  rules: 3\n"
            "  specs: 3\n"
            "  cache: fresh");
}

// The refresh keeps a domain as a folder holding index.md: each such folder
// counts once; an empty folder, a folder without index.md and a link to a
// folder do not.
TEST_F(SummaryTest, SpecDomainFoldersCountOnce) {
  write_file(dir() / "specs" / "auth" / "index.md", "x");
  write_file(dir() / "specs" / "billing" / "index.md", "y");
  write_file(dir() / "specs" / "notes.md", "z");
  write_file(dir() / "specs" / "drafts" / "other.md", "w");
  fs::create_directories(dir() / "specs" / "empty");
  fs::create_directory_symlink(dir() / "specs" / "auth", dir() / "specs" / "linked");
  EXPECT_NE(summary().find("  specs: 3\n"), std::string::npos) << summary();
}

TEST_F(SummaryTest, CacheVerdicts) {
  write_file(dir() / "brenikrules.yaml", "principles:\n  p1: a\n");
  rules_status(304);
  EXPECT_NE(summary().find("  cache: fresh"), std::string::npos);
  rules_status(401);
  EXPECT_NE(summary().find("  cache: incomplete " + DASH + " run 'brenik sync' to refresh"), std::string::npos);

  // Age wins over a failed fetch; exactly one day is not stale yet.
  write_file(dir() / "brenikstate.yaml", "architecture: {}\n");
  age("brenikstate.yaml", 2 * 86400);
  EXPECT_NE(summary().find("  cache: stale " + DASH + " run 'brenik sync' to refresh"), std::string::npos);
  age("brenikstate.yaml", 86400 - 5);
  EXPECT_NE(summary().find("  cache: incomplete"), std::string::npos);
}

TEST_F(SummaryTest, PendingLineDependsOnTheProject) {
  const std::string a(40, 'a'), b(40, 'b'), c(40, 'c');
  write_file(dir() / "log.jsonl", "{\"commit\": \"" + a +
                                      "\", \"synced\": false}\n"
                                      "{\"commit\": \"" +
                                      b +
                                      "\", \"synced\": false}\n"
                                      "{\"commit\": \"" +
                                      c +
                                      "\", \"synced\": true}\n"
                                      "{\"commit\": \"unknown\", \"synced\": false}\n");
  const auto with_project = summary(json::Value("7"));
  EXPECT_TRUE(with_project.ends_with("\n  2 attestation(s) pending upload " + DASH + " run 'brenik sync'"));
  EXPECT_TRUE(summary().ends_with("\n  2 attestation(s) recorded locally, waiting for a project"));

  write_file(dir() / "log.jsonl", "{\"commit\": \"" + a + "\", \"synced\": true}\n");
  EXPECT_EQ(summary(json::Value(7)).find("attestation(s)"), std::string::npos);
  EXPECT_NE(summary().back(), '\n');
}

TEST_F(SummaryTest, RecordsTheServerRefusedAreNotCountedAsWaiting) {
  const std::string a(40, 'a'), b(40, 'b'), c(40, 'c');
  const std::string line_b = "{\"commit\": \"" + b + "\", \"synced\": false}";
  write_file(dir() / "log.jsonl", "{\"commit\": \"" + a + "\", \"synced\": false}\n" + line_b + "\n" +
                                      "{\"commit\": \"" + c + "\", \"synced\": false}\n");
  // b is refused as its line reads; c was refused as it read before a change.
  json::Value refused = json::Value::object();
  refused[b] = {{"reason", "HTTP 413: too large"},
                {"status", 413},
                {"at", "2026-12-01T10:00:00Z"},
                {"line_sha256", t::line_fingerprint(json::loads(line_b))}};
  refused[c] = {{"reason", "HTTP 413: too large"},
                {"status", 413},
                {"at", "2026-12-01T10:00:00Z"},
                {"line_sha256", std::string(64, '0')}};
  write_file(dir() / "refused.json", json::dumps(refused));
  EXPECT_TRUE(summary(json::Value(7))
                  .ends_with("\n  2 attestation(s) pending upload " + DASH +
                             " run 'brenik sync'"
                             "\n  1 attestation(s) refused by the server " +
                             DASH + " see 'brenik status'"))
      << summary(json::Value(7));
  // Nothing waiting but the refused one: only its line.
  write_file(dir() / "log.jsonl", line_b + "\n");
  const auto only_refused = summary(json::Value(7));
  EXPECT_EQ(only_refused.find("pending upload"), std::string::npos) << only_refused;
  EXPECT_TRUE(only_refused.ends_with("\n  1 attestation(s) refused by the server " + DASH + " see 'brenik status'"));
}

TEST_F(SummaryTest, OddStateFilesCountAsNoElements) {
  for (const char* text :
       {"- a\n- b\n", "architecture:\n  elements: null\n", "architecture: [1]\n", ": : :\n", "\xff\xfe"}) {
    write_file(dir() / "brenikstate.yaml", text);
    EXPECT_NE(summary().find("  elements: 0\n"), std::string::npos) << text;
  }
}

}  // namespace
