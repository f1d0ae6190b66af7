// `brenik attest` through the real binary in a real repository.
#include <gtest/gtest.h>

#include "support/temp_repo.hpp"
#include "utils/process.hpp"

namespace brenik::testing {
namespace {

class AttestCli : public ::testing::Test {
protected:
  void SetUp() override {
    repo.commit_file("README", "first\n", "init");
    write_file(repo.root() / "src.txt", "staged change\n");
    repo.git({"add", "src.txt"});
    auto r = utils::run({"sh", "-c", "git diff --staged | sha256sum | cut -d' ' -f1"}, {.cwd = repo.root()});
    ASSERT_TRUE(r.ok());
    hash = utils::strip(r.out);
    ASSERT_EQ(hash.size(), 64u);
  }

  utils::RunResult attest(std::vector<std::string> args, std::map<std::string, std::optional<std::string>> env = {}) {
    args.insert(args.begin(), "attest");
    env.emplace("NO_COLOR", "1");
    return run_binary("brenik", args, {.cwd = repo.root(), .env = env});
  }
  // The three required flags plus `extra`.
  utils::RunResult attest_with(const std::vector<std::string>& extra,
                               std::map<std::string, std::optional<std::string>> env = {}) {
    std::vector<std::string> args{"--staged-diff-hash", hash, "--model", "m1", "--summary", "Add x"};
    args.insert(args.end(), extra.begin(), extra.end());
    return attest(args, env);
  }
  fs::path pending() const { return repo.root() / ".brenik" / ".commit-attestation.yaml"; }

  TempRepo repo;
  std::string hash;
};

TEST_F(AttestCli, WritesThePendingFileWithKeysInTableOrder) {
  // Options deliberately given in another order than the file's.
  auto r = attest(
      {"--summary",
       "Add x",
       "--task-type",
       "feature",
       "--rules",
       R"({"checked": true, "applicable": ["r1"]})",
       "--provenance",
       R"({"ref": "add-x", "type": "spec"})",
       "--agent-id",
       "a1",
       "--provider",
       "anthropic",
       "--agent",
       "claude-code",
       "--model",
       "m1",
       "--timestamp",
       "2025-01-02T03:04:05Z",
       "--arch-changes",
       R"({"zzz": 1, "architecture": {"elements": [{"name": "limiter", "change": "added", "description": "d"}]}})",
       "--staged-diff-hash",
       hash});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "Created .brenik/.commit-attestation.yaml\n"
            "  Run 'git commit' \xe2\x80\x94 the pre-commit hook will verify the hash.\n");
  EXPECT_EQ(read_file(pending()),
            "---\n"
            "staged_diff_hash: '" +
                hash + "'\n" +
                "timestamp: '2025-01-02T03:04:05Z'\n"
                "agent_model: m1\n"
                "agent: claude-code\n"
                "agent_provider: anthropic\n"
                "agent_id: a1\n"
                "provenance:\n"
                "  ref: add-x\n"
                "  type: spec\n"
                "task_type: feature\n"
                "rules:\n"
                "  checked: true\n"
                "  applicable:\n"
                "  - r1\n"
                "changes:\n"
                "  architecture:\n"
                "    elements:\n"
                "    - name: limiter\n"
                "      change: added\n"
                "      description: d\n"
                "summary: Add x\n"
                "---\n");
}

TEST_F(AttestCli, EmptyAndFalsyOptionsLeaveTheirKeysOut) {
  for (const char* rules : {"{}", "null", ""}) {
    auto r = attest({"--staged-diff-hash", hash, "--model", "m1", "--summary", "", "--rules", rules, "--agent", "",
                     "--arch-changes", R"({"unknown": {"elements": []}})", "--timestamp", ""});
    ASSERT_EQ(r.exit_code, 0) << rules << ": " << r.err;
    const std::string file = read_file(pending());
    EXPECT_EQ(file.find("rules:"), std::string::npos) << rules;
    EXPECT_EQ(file.find("agent:"), std::string::npos);
    EXPECT_NE(file.find("\nchanges: {}\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\nsummary: ''\n---\n"), std::string::npos) << file;
    EXPECT_NE(file.find("timestamp: '20"), std::string::npos) << file;
  }
}

TEST_F(AttestCli, ExamplePrintsTheTemplateWhateverElseIsGiven) {
  auto r = attest({"--example", "--rules", "{not json", "--provenance", "[1]"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("---\n", 0), 0u);
  EXPECT_NE(r.out.find("git diff --staged | shasum -a 256 | cut -d' ' -f1"), std::string::npos);
  EXPECT_FALSE(fs::exists(pending()));
}

struct Refusal {
  const char* name;
  std::vector<std::string> extra;
  std::string err;
};

class AttestRefusal : public AttestCli, public ::testing::WithParamInterface<Refusal> {};

TEST_P(AttestRefusal, PrintsItsMessageAndWritesNothing) {
  auto r = attest_with(GetParam().extra);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: " + std::string(GetParam().err));
  EXPECT_FALSE(fs::exists(pending()));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, AttestRefusal,
    ::testing::Values(
        Refusal{"bad_rules",
                {"--rules", "{"},
                "Invalid --rules JSON: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)\n"},
        Refusal{"bad_arch",
                {"--arch-changes", "nope"},
                "Invalid --arch-changes JSON: Expecting value: line 1 column 1 (char 0)\n"},
        Refusal{
            "bad_provenance_json",
            {"--provenance", "{\"a\": 1,}"},
            "Invalid --provenance JSON: Expecting property name enclosed in double quotes: line 1 column 9 (char 8)\n"},
        Refusal{"provenance_list", {"--provenance", "[1]"}, "--provenance must be a JSON object, got: list\n"},
        Refusal{"provenance_null", {"--provenance", "null"}, "--provenance must be a JSON object, got: NoneType\n"},
        Refusal{"provenance_no_type",
                {"--provenance", R"({"ref": "x"})"},
                "provenance.type must be one of ['spec', 'ticket', 'bug-fix', 'ad-hoc'], got: None\n"},
        Refusal{"provenance_empty",
                {"--provenance", "{}"},
                "provenance.type must be one of ['spec', 'ticket', 'bug-fix', 'ad-hoc'], got: None\n"},
        Refusal{"provenance_bad_type",
                {"--provenance", R"({"type": "wish"})"},
                "provenance.type must be one of ['spec', 'ticket', 'bug-fix', 'ad-hoc'], got: 'wish'\n"},
        Refusal{"arch_list", {"--arch-changes", "[1]"}, "--arch-changes must be a JSON object, got: list\n"},
        // The first failing step wins.
        Refusal{"rules_before_provenance",
                {"--provenance", "[1]", "--rules", "x"},
                "Invalid --rules JSON: Expecting value: line 1 column 1 (char 0)\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AttestCli, MissingFlagsAreNamedInOrder) {
  auto r = attest({});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: Missing required flags: --staged-diff-hash, --model, --summary\n");
  r = attest({"--model", "m", "--rules", "{"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: Missing required flags: --staged-diff-hash, --summary\n");
}

TEST_F(AttestCli, HashMismatchShowsBothPrefixesEvenWithNoVerify) {
  std::string upper = hash;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::size_t first_letter = hash.find_first_of("abcdef");
  // The last line says what differs, where the two prefixes look alike.
  const std::vector<std::pair<std::string, std::string>> cases{
      {upper, "the hashes differ from character " + std::to_string(first_letter + 1) + " on"},
      {hash + " ", "the provided hash has 1 extra character(s) after the 64 hex digits (\" \")"},
      {hash + "  -", "the provided hash has 3 extra character(s) after the 64 hex digits (\"  -\")"},
      {"abc", "the provided hash is 3 characters long, the current one 64"}};
  for (const auto& [given, difference] : cases) {
    auto r = attest({"--staged-diff-hash", given, "--model", "m", "--summary", "s", "--no-verify"},
                    {{"BRENIK_NO_VERIFY", "1"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "error: Diff hash mismatch \xe2\x80\x94 staged changes have changed since hash was computed\n");
    EXPECT_EQ(r.out.rfind("  Provided: " + given.substr(0, 16) + "...\n  Current:  " + hash.substr(0, 16) + "...\n", 0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("  Difference: " + difference), std::string::npos) << r.out;
  }
  EXPECT_FALSE(fs::exists(pending()));
}

TEST_F(AttestCli, ValidationErrorsRefuseUnlessSkippedExactly) {
  const std::vector<std::string> bad{"--arch-changes",
                                     R"({"architecture": {"elements": [{"name": "n", "change": "renamed"}]}})"};
  auto r = attest_with(bad, {{"BRENIK_NO_VERIFY", "true"}});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("change must be one of added, modified, removed, got: 'renamed'"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(pending()));

  r = attest_with(bad, {{"BRENIK_NO_VERIFY", "1"}});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(fs::exists(pending()));
  fs::remove(pending());
  auto args = bad;
  args.push_back("--no-verify");
  r = attest_with(args);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(fs::exists(pending()));
}

TEST_F(AttestCli, WarningsAloneDoNotStopTheCommand) {
  auto r = attest_with({});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("no rules recorded"), std::string::npos) << r.err;
}

TEST_F(AttestCli, UsageErrorsExitTwoAndHelpZero) {
  EXPECT_EQ(attest_with({"--task-type", "bogus"}).exit_code, 2);
  EXPECT_EQ(attest({"--no-such-flag"}).exit_code, 2);
  auto help = attest({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("Create .brenik/.commit-attestation.yaml from structured flags."), std::string::npos);
  EXPECT_NE(help.out.find(
                "  brenik attest \\\n    --staged-diff-hash $(git diff --staged | shasum -a 256 | cut -d' ' -f1) \\\n"),
            std::string::npos)
      << help.out;
  EXPECT_NE(help.out.find("Don't pass them here."), std::string::npos);
  EXPECT_FALSE(fs::exists(pending()));
}

TEST_F(AttestCli, SecondRunReplacesTheFirst) {
  ASSERT_EQ(attest_with({"--agent", "first"}).exit_code, 0);
  ASSERT_EQ(attest_with({"--agent", "second"}).exit_code, 0);
  const std::string file = read_file(pending());
  EXPECT_EQ(file.find("first"), std::string::npos);
  EXPECT_NE(file.find("agent: second"), std::string::npos);
}

TEST_F(AttestCli, OutsideARepositoryIsARefusal) {
  TempDir plain;
  auto r = run_binary("brenik", {"attest", "--staged-diff-hash", hash, "--model", "m", "--summary", "s"},
                      {.cwd = plain.path(), .env = {{"GIT_CEILING_DIRECTORIES", plain.path().parent_path().string()}}});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_FALSE(r.err.empty());
}

}  // namespace
}  // namespace brenik::testing
