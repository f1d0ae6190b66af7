// `brenik status` on hand-built logs.
#include <gtest/gtest.h>

#include "services/ledger/refused_records.hpp"
#include "support/temp_repo.hpp"
#include "utils/json.hpp"

namespace brenik::testing {
namespace {

const std::string A(40, 'a'), B(40, 'b'), C(64, 'c');

TEST(StatusCli, CountsWhatTheLogHolds) {
  TempRepo repo;
  write_file(
      repo.root() / ".brenik/.platform/log.jsonl",
      "{\"commit\": \"" + A +
          "\", \"agent\": \"claude-code\", \"summary\": \"first\", \"synced\": true}\n"
          "not json\n[1]\n\n"
          "{\"commit\": \"" +
          B +
          "\", \"agent\": \"unknown\", \"summary\": \"second\", \"synced\": false, \"event\": \"commit_unattested\"}\n"
          "{\"commit\": \"unknown\", \"summary\": \"third\", \"synced\": false}\n"
          "{\"commit\": \"" +
          C + "\", \"agent\": \"codex\", \"summary\": \"fourth\", \"synced\": false}\n");
  auto r = run_binary("brenik", {"status", "--json"}, {.cwd = repo.root()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto v = json::loads(r.out);
  EXPECT_EQ(v["records"], 4);
  EXPECT_EQ(v["attested"], 3);
  EXPECT_EQ(v["unattested"], 1);
  EXPECT_EQ(v["pending"], 2);
  EXPECT_EQ(v["uploaded"], 1);
  EXPECT_EQ(v["unaddressable"], 1);
  EXPECT_EQ(v["corrupt"], 2);
  EXPECT_EQ(v["set_up"], false);
  ASSERT_EQ(v["recent"].size(), 4u);
  EXPECT_EQ(v["recent"][3]["summary"], "fourth");

  r = run_binary("brenik", {"status", "-n", "2"}, {.cwd = repo.root(), .env = {{"NO_COLOR", "1"}}});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Corrupt lines         2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("fourth"), std::string::npos);
  EXPECT_EQ(r.out.find("second"), std::string::npos);  // only the last two records
  EXPECT_NE(r.out.find("third"), std::string::npos);
}

TEST(StatusCli, EmptyRepositoryGivesZerosAndNoRepositoryExitsOne) {
  TempRepo repo;
  auto r = run_binary("brenik", {"status", "--json"}, {.cwd = repo.root()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto v = json::loads(r.out);
  EXPECT_EQ(v["records"], 0);
  EXPECT_EQ(v["pending"], 0);
  EXPECT_TRUE(v["recent"].empty());
  TempDir plain;
  r = run_binary("brenik", {"status"}, {.cwd = plain.path()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE((r.out + r.err).find("Not inside a git repository"), std::string::npos);
}

TEST(StatusCli, ALogThatIsAFolderIsSaidToBeOne) {
  TempRepo repo;
  fs::create_directories(repo.root() / ".brenik/.platform/log.jsonl");
  auto r = run_binary("brenik", {"status"}, {.cwd = repo.root(), .env = {{"NO_COLOR", "1"}}});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::string said = r.out + r.err;
  EXPECT_NE(said.find("log is a folder"), std::string::npos) << said;
  EXPECT_EQ(said.find("No records yet."), std::string::npos) << said;
  r = run_binary("brenik", {"status", "--json"}, {.cwd = repo.root()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(json::loads(r.out)["log_problem"].get<std::string>().find("folder"), std::string::npos) << r.out;
}

TEST(StatusCli, WarnsWhenGitTracksLocalState) {
  TempRepo repo;
  auto r = run_binary("brenik", {"status"}, {.cwd = repo.root(), .env = {{"NO_COLOR", "1"}}});
  EXPECT_EQ((r.out + r.err).find("git tracks"), std::string::npos) << r.out << r.err;
  // A planted clone: its log came from someone else.
  repo.commit_file(".brenik/.platform/log.jsonl", "{\"commit\": \"" + A + "\", \"synced\": true}\n", "planted");
  r = run_binary("brenik", {"status"}, {.cwd = repo.root(), .env = {{"NO_COLOR", "1"}}});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE((r.out + r.err).find("git tracks 1 file(s) under .brenik/.platform/"), std::string::npos) << r.out << r.err;
  r = run_binary("brenik", {"status", "--json"}, {.cwd = repo.root()});
  EXPECT_EQ(json::loads(r.out)["tracked_platform_files"], json::Value::array({".brenik/.platform/log.jsonl"}));
}

TEST(StatusCli, RefusedRecordsAreCountedApartWithTheirReason) {
  TempRepo repo;
  const std::string line_b = "{\"commit\": \"" + B + "\", \"summary\": \"big\", \"synced\": false}";
  write_file(repo.root() / ".brenik/.platform/log.jsonl",
             "{\"commit\": \"" + A + "\", \"summary\": \"small\", \"synced\": false}\n" + line_b + "\n");
  json::Value refused = json::Value::object();
  refused[B] = {{"reason", "HTTP 413: too large for us"},
                {"status", 413},
                {"at", "2026-12-01T10:00:00Z"},
                {"line_sha256", services::tolvern::line_fingerprint(json::loads(line_b))}};
  write_file(repo.root() / ".brenik/.platform/refused.json", json::dumps(refused));
  auto r = run_binary("brenik", {"status", "--json"}, {.cwd = repo.root()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto v = json::loads(r.out);
  EXPECT_EQ(v["pending"], 1);
  EXPECT_EQ(v["refused"], 1);
  ASSERT_EQ(v["refused_records"].size(), 1u) << r.out;
  EXPECT_EQ(v["refused_records"][0]["commit"], B);
  EXPECT_EQ(v["refused_records"][0]["reason"], "HTTP 413: too large for us");
  r = run_binary("brenik", {"status"}, {.cwd = repo.root(), .env = {{"NO_COLOR", "1"}}});
  EXPECT_NE(r.out.find("Waiting for upload    1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Refused by server     1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("too large for us"), std::string::npos) << r.out;
}

TEST(SessionStartCli, AnEmptyAgentWithNoHarnessGivesPlainText) {
  TempRepo repo;
  write_file(repo.root() / ".brenik/.platform/config.yaml", "installed_at: '2000-01-01T00:00:00Z'\n");
  TempDir home;
  const auto env = isolated_cli_env(home.path());
  auto r = run_binary("brenik", {"session-start", "--agent", ""}, {.cwd = repo.root(), .env = env});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with("brenik session context loaded\n")) << r.out;
  EXPECT_EQ(r.out.find("agent:"), std::string::npos) << r.out;
}

TEST(StatusCli, StateFirstThenOneTableOfRecords) {
  TempRepo repo;
  TempDir home;
  write_file(
      repo.root() / ".brenik/.platform/log.jsonl",
      "{\"commit\": \"" + A +
          "\", \"timestamp\": \"2026-01-02T10:00:00+02:00\", \"agent\": \"\", \"summary\": \"first\", \"synced\": true}\n"
          "{\"commit\": \"" +
          B +
          "\", \"timestamp\": \"2026-01-02T08:30:00Z\", \"agent\": \"unknown\", \"summary\": \"second\", \"synced\": false}\n");
  const std::map<std::string, std::optional<std::string>> env = {{"NO_COLOR", "1"},
                                                                 {"HOME", home.path().string()},
                                                                 {"XDG_CONFIG_HOME", home.path().string()},
                                                                 {"BRENIK_API_KEY", std::nullopt}};
  auto r = run_binary("brenik", {"status"}, {.cwd = repo.root(), .env = env});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // Set-up, hook, sign-in and link state come first.
  EXPECT_EQ(r.out.rfind("Set up:      no (run `brenik setup`)\n"
                        "Git hook:    post-commit missing (run `brenik setup`)\n"
                        "Signed in:   no (run `brenik auth login`)\n"
                        "Project:     not linked yet",
                        0),
            0u)
      << r.out;
  EXPECT_NE(r.out.find("  COMMIT     DATE (UTC)        AGENT"), std::string::npos) << r.out;
  // One time form (in UTC) and one word for "no agent known".
  EXPECT_NE(r.out.find(A.substr(0, 10) + " 2026-01-02 08:00  unknown "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(B.substr(0, 10) + " 2026-01-02 08:30  unknown "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("  -  "), std::string::npos) << r.out;
}

TEST(StatusCli, TheTableAndTheCountsAgreeOnWhatIsUploaded) {
  TempRepo repo;
  // Older writers put 1 or "uploaded": true where this one writes true.
  write_file(repo.root() / ".brenik/.platform/log.jsonl",
             "{\"commit\": \"" + A +
                 "\", \"summary\": \"one\", \"synced\": 1}\n"
                 "{\"commit\": \"" +
                 B +
                 "\", \"summary\": \"two\", \"uploaded\": true, \"event\": \"attestation_skipped\"}\n"
                 "{\"commit\": \"" +
                 C + "\", \"summary\": \"three\", \"synced\": 0, \"event\": \"commit_unattested\"}\n");
  auto r = run_binary("brenik", {"status", "--json"}, {.cwd = repo.root()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(json::loads(r.out)["uploaded"], 2);
  r = run_binary("brenik", {"status"}, {.cwd = repo.root(), .env = {{"NO_COLOR", "1"}}});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("attested   uploaded one"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("skipped    uploaded two"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("unattested local    three"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace brenik::testing
