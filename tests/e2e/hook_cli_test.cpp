// `brenik attest add` and `brenik session-start` through the real binary,
// with the harness homes pointed at a temporary directory.
#include <gtest/gtest.h>

#include "agents/claude_code.hpp"
#include "fixtures/agents/agents_env.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"
#include "utils/time.hpp"

namespace brenik::testing {
namespace {

using Env = std::map<std::string, std::optional<std::string>>;

class HookCli : public ::testing::Test {
protected:
  void SetUp() override {
    env = isolated_cli_env(home.path());
    write_file(repo.root() / ".brenik" / ".platform" / "config.yaml", "installed_at: '2000-01-01T00:00:00Z'\n");
  }

  utils::RunResult brenik(const std::vector<std::string>& args,
                          const std::optional<std::string>& stdin_data = std::nullopt,
                          const std::optional<fs::path>& cwd = std::nullopt) {
    return run_binary("brenik", args, {.cwd = cwd.value_or(repo.root()), .stdin_data = stdin_data, .env = env});
  }
  utils::RunResult hook(const std::string& payload) {
    return brenik({"attest", "add", "--from-hook", "--agent", "claude-code"}, payload);
  }
  std::string payload(const std::string& command, const std::string& response = R"({"interrupted": false})") {
    return R"({"session_id": "s-1", "cwd": )" + json::dumps(json::Value(repo.root().string())) +
           R"(, "hook_event_name": "PostToolUse", "tool_name": "Bash", "tool_input": {"command": )" +
           json::dumps(json::Value(command)) + R"(}, "tool_response": )" + response + "}";
  }
  std::vector<json::Value> log() const { return read_log_lines(repo.root()); }
  fs::path pending() const { return repo.root() / ".brenik" / ".commit-attestation.yaml"; }

  TempDir home;
  TempRepo repo;
  Env env;
};

TEST_F(HookCli, AnythingButAFreshSuccessfulCommitIsIgnoredSilently) {
  repo.commit_file("a.txt", "a\n", "one");
  const std::string big(10 << 20, 'x');
  for (const std::string& p :
       {std::string("not json"), std::string("[1, 2]"), std::string(""), big, std::string(R"({"tool_name": "Bash"})"),
        std::string(R"({"tool_name": "bash", "tool_input": {"command": "git commit -m x"}})"), payload("git status"),
        payload("gitcommit -m x"), payload("git log --oneline"), payload("git commit -m x", R"({"exit_code": 1})"),
        payload("git commit -m x", R"({"exitCode": 128})"), payload("git commit -m x", R"({"interrupted": true})")}) {
    auto r = hook(p);
    EXPECT_EQ(r.exit_code, 0) << p.substr(0, 80);
    EXPECT_EQ(r.out, "") << p.substr(0, 80);
  }
  EXPECT_TRUE(log().empty());
}

TEST_F(HookCli, RecordsACommitOnceAndRemindsOnce) {
  const auto sha = repo.commit_file("a.txt", "a\n", "feat: one");
  auto first = hook(payload("git add . && git commit -m one && git push", R"({"exit_code": 0})"));
  EXPECT_EQ(first.exit_code, 0);
  const std::string short_id = sha.substr(0, 7);
  EXPECT_EQ(first.out,
            R"({"hookSpecificOutput": {"hookEventName": "PostToolUse", "additionalContext": "brenik recorded commit )" +
                short_id +
                " without an attestation. Write .brenik/.commit-attestation.yaml for it (format: `brenik attest "
                "--example`), then run `brenik attest add --commit " +
                short_id + "` to attach it. Skip if this commit was intentionally unattested.\"}}\n");
  auto second = hook(payload("git commit --amend --no-edit"));
  EXPECT_EQ(second.out, "");
  auto lines = log();
  ASSERT_EQ(lines.size(), 1u);
  auto line = lines[0];
  EXPECT_EQ(line["commit"], sha);
  EXPECT_EQ(line["agent"], "claude-code");
  EXPECT_EQ(line["agent_session_id"], "s-1");

  // The late attestation the reminder asks for is attached in place.
  write_file(pending(), "summary: What the agent meant\n");
  auto attach = brenik({"attest", "add", "--commit", short_id});
  EXPECT_EQ(attach.exit_code, 0) << attach.err;
  EXPECT_EQ(attach.out, "Attached attestation to " + sha.substr(0, 12) + "\n");
  lines = log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["summary"], "What the agent meant");
  EXPECT_FALSE(fs::exists(pending()));
}

TEST_F(HookCli, AttestedCommitGetsNoReminderAndUnconfiguredOrOldHeadNothing) {
  write_file(repo.root() / "a.txt", "a\n");
  repo.git({"add", "a.txt"});
  auto staged = utils::run({"sh", "-c", "git diff --staged | sha256sum | cut -d' ' -f1"}, {.cwd = repo.root()});
  write_file(pending(), "summary: Planned\nstaged_diff_hash: '" + utils::strip(staged.out) + "'\n");
  repo.git({"commit", "-q", "-m", "one"});
  auto r = hook(payload("git commit -m one"));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(log().size(), 1u);
  EXPECT_EQ(log()[0]["summary"], "Planned");

  // An old HEAD is never taken for the commit the agent just made.
  write_file(repo.root() / "b.txt", "b\n");
  repo.git({"add", "b.txt"});
  {
    ScopedEnv date("GIT_COMMITTER_DATE",
                   "@" + std::to_string(static_cast<long long>(utils::now_epoch()) - 1801) + " +0000");
    repo.git({"commit", "-q", "-m", "old"});
  }
  EXPECT_EQ(hook(payload("git commit -m old")).out, "");
  EXPECT_EQ(log().size(), 1u);

  TempRepo bare_repo;
  bare_repo.commit_file("x", "x\n", "x");
  auto p = payload("git commit -m x");
  auto replace_at = p.find(repo.root().string());
  p.replace(replace_at, repo.root().string().size(), bare_repo.root().string());
  EXPECT_EQ(hook(p).out, "");
  EXPECT_FALSE(fs::exists(bare_repo.root() / ".brenik"));
}

TEST_F(HookCli, AttestAddRefusalsAndUsageErrors) {
  const auto sha = repo.commit_file("a.txt", "a\n", "one");
  auto r = brenik({"attest", "add", "--agent", "claude-code"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("--agent is only for hook rows (with --from-hook)"), std::string::npos);

  r = brenik({"attest", "add", "--commit", "abc"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("Missing required options: --session, --task-type"), std::string::npos);

  write_file(pending(), "summary: s\n");
  r = brenik({"attest", "add", "--commit", "abc", "--session", "s1"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("Missing required options: --task-type"), std::string::npos);
  fs::remove(pending());

  r = brenik({"attest", "add", "--commit", "abc", "--session", "s1", "--task-type", "nonsense"});
  EXPECT_EQ(r.exit_code, 2);

  r = brenik({"attest", "add", "--commit", "nope", "--session", "s1", "--task-type", "bug-fix"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: nope: no such commit in this repo\n");

  r = brenik({"attest", "add", "--commit", sha.substr(0, 7), "--session", "s1", "--task-type", "bug-fix"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: " + sha.substr(0, 7) + ": no agent transcript found for session s1\n");

  const std::string s = "dddd0000-0000-4000-8000-000000000004";
  const auto folder = home.path() / ".claude" / "projects" / agents::detail::claude_folder_name(repo.root().string());
  agents_test::write_lines(
      folder / (s + ".jsonl"),
      {agents_test::claude_assistant(s, repo.root(), agents_test::T0, "m1", "r1", "claude-opus-4-6",
                                     agents_test::text_block("ok"), agents_test::claude_usage(1, 2, 0, 0))});
  r = brenik({"attest", "add", "--commit", sha.substr(0, 7), "--session", s, "--task-type", "bug-fix"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Recorded " + sha.substr(0, 12) + " (bug-fix)\n");
  r = brenik({"attest", "add", "--commit", sha.substr(0, 7), "--session", s, "--task-type", "bug-fix"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, sha.substr(0, 12) + " already recorded\n");
}

TEST_F(HookCli, SessionStartCatchesUpAndSummarises) {
  const double now = utils::now_epoch();
  repo.commit_file("a.txt", "a\n", "one");
  const auto sha = repo.head();
  // The session that ran the commit, seen only in its transcript.
  const std::string s = "eeee0000-0000-4000-8000-000000000005";
  const auto folder = home.path() / ".claude" / "projects" / agents::detail::claude_folder_name(repo.root().string());
  agents_test::write_lines(
      folder / (s + ".jsonl"),
      {agents_test::claude_assistant(s, repo.root(), now - 5, "m1", "r1", "claude-opus-4-6",
                                     agents_test::bash_block("toolu_1", "git commit -m one"),
                                     agents_test::claude_usage(1, 2, 0, 0)),
       agents_test::claude_tool_result(s, repo.root(), now + 1, "toolu_1", "[main " + sha.substr(0, 7) + "] one")});

  auto r = brenik({"session-start", "--agent", "claude-code"}, R"({"cwd": ")" + repo.root().string() + "\"}");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  auto out = json::loads(r.out);
  const std::string context = out["hookSpecificOutput"]["additionalContext"].get<std::string>();
  EXPECT_EQ(out["hookSpecificOutput"]["hookEventName"], "SessionStart");
  EXPECT_TRUE(context.starts_with("brenik session context loaded\n  agent: claude-code\n"));
  EXPECT_TRUE(context.ends_with("  1 attestation(s) recorded locally, waiting for a project"));
  auto lines = log();
  ASSERT_EQ(lines.size(), 1u);
  auto line = lines[0];
  EXPECT_EQ(line["agent"], "claude-code");
  EXPECT_EQ(line["agent_session_id"], s);

  // A person running it by hand gets plain text; an unconfigured repository
  // gets nothing at all.
  r = brenik({"session-start"});
  EXPECT_TRUE(r.out.starts_with("brenik session context loaded\n"));
  TempRepo other;
  r = brenik({"session-start", "--agent", "claude-code"}, std::nullopt, other.root());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(HookCli, GitHookAndHarnessHookTogetherGiveOneLine) {
  auto setup = brenik({"setup", "--no-harness-hooks"});
  ASSERT_EQ(setup.exit_code, 0) << setup.out << setup.err;
  const auto sha = repo.commit_file("a.txt", "a\n", "feat: one");  // the post-commit hook runs here
  ASSERT_EQ(log().size(), 1u);
  EXPECT_EQ(log()[0]["commit"], sha);
  auto r = hook(payload("git commit -m one"));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");  // already recorded: no reminder, no upload
  EXPECT_EQ(log().size(), 1u);
}

TEST_F(HookCli, AConnectedRepositoryUploadsFromTheHook) {
  ServerWorld world;
  const auto project = world.project("https://example.com/org/hooked.git");
  write_file(repo.root() / ".brenik" / ".platform" / "config.yaml",
             "installed_at: '2000-01-01T00:00:00Z'\nproject_id: " + std::to_string(project) + "\n");
  env["BRENIK_API_KEY"] = world.key;
  env["BRENIK_API_URL"] = world.url();
  const auto sha = repo.commit_file("a.txt", "a\n", "feat: one");
  auto r = hook(payload("git commit -m one"));
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_EQ(log().size(), 1u);
  EXPECT_EQ(log()[0]["synced"], true);
  const auto stored = world.attestations(project);
  ASSERT_TRUE(stored.is_array()) << stored.dump();
  ASSERT_EQ(stored.size(), 1u) << stored.dump();
  EXPECT_NE(stored.dump().find(sha), std::string::npos);
}

}  // namespace
}  // namespace brenik::testing
