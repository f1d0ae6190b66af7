// brenik in everyday git workflows, with the hooks `brenik setup` installs
// and the real git running them: linked worktrees, amends, rebases, squashes,
// merges and the pre-commit check of the pending attestation.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <thread>
#include <vector>

#include "support/temp_repo.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"
#include "utils/sha256.hpp"

namespace brenik::testing {
namespace {

class GitFlows : public ::testing::Test {
protected:
  void SetUp() override {
    repo.commit_file("README", "first\n", "init");
    auto r = brenik({"setup", "--no-harness-hooks"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    git_ok(repo.root(), {"add", ".gitignore"});
    git_ok(repo.root(), {"commit", "-q", "-m", "ignore brenik's files"});
  }

  std::map<std::string, std::optional<std::string>> env() const {
    return {{"HOME", home.path().string()},     {"NO_COLOR", "1"},
            {"CLAUDECODE", std::nullopt},       {"CLAUDE_CODE_SESSION_ID", std::nullopt},
            {"CODEX_THREAD_ID", std::nullopt},  {"CODEX_SANDBOX", std::nullopt},
            {"AGENT_SESSION_ID", std::nullopt}, {"GIT_EDITOR", "true"}};
  }
  utils::RunResult brenik(const std::vector<std::string>& args, std::optional<fs::path> cwd = std::nullopt) {
    return run_binary("brenik", args, {.cwd = cwd.value_or(repo.root()), .timeout_seconds = 60.0, .env = env()});
  }
  utils::RunResult git_run(const fs::path& dir, const std::vector<std::string>& args,
                           std::map<std::string, std::optional<std::string>> extra = {}) {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto e = env();
    for (auto& [k, v] : extra) e[k] = v;
    return utils::run(argv, {.cwd = dir, .timeout_seconds = 60.0, .capture_stderr = true, .env = e});
  }
  std::string git_ok(const fs::path& dir, const std::vector<std::string>& args,
                     std::map<std::string, std::optional<std::string>> extra = {}) {
    auto r = git_run(dir, args, std::move(extra));
    EXPECT_EQ(r.exit_code, 0) << "git " << args.front() << ": " << r.err;
    std::string out = r.out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  std::string head(const fs::path& dir) { return git_ok(dir, {"rev-parse", "HEAD"}); }
  // Stages the file and writes the pending attestation for exactly that change.
  void attest_change(const fs::path& dir, const std::string& name, const std::string& content,
                     const std::string& summary) {
    write_file(dir / name, content);
    git_ok(dir, {"add", name});
    const std::string hash = utils::sha256_hex(git_ok(dir, {"diff", "--staged"}) + "\n");
    auto r = brenik({"attest", "--staged-diff-hash", hash, "--agent", "claude-code", "--model", "model-x", "--summary",
                     summary, "--no-verify"},
                    dir);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  }
  std::vector<json::Value> log_lines() const {
    std::vector<json::Value> out;
    const fs::path log = repo.root() / ".brenik/.platform/log.jsonl";
    if (!fs::exists(log)) return out;
    std::string text = read_file(log);
    std::size_t i = 0;
    while (i < text.size()) {
      auto j = text.find('\n', i);
      if (j == std::string::npos) j = text.size();
      if (j > i) out.push_back(json::loads(text.substr(i, j - i)));
      i = j + 1;
    }
    return out;
  }
  std::vector<json::Value> lines_for(const std::string& commit) const {
    std::vector<json::Value> out;
    for (auto& l : log_lines())
      if (l["commit"] == commit) out.push_back(l);
    return out;
  }
  static std::string text(const json::Value& v, const char* key) {
    return v.contains(key) && v[key].is_string() ? v[key].get<std::string>() : std::string();
  }

  TempRepo repo;
  TempDir home;
  TempDir scratch;
};

// ---- linked worktrees -----------------------------------------------------

TEST_F(GitFlows, CommitInALinkedWorktreeIsRecordedOnceInTheSharedLog) {
  const fs::path wt = scratch.path() / "task-wt";
  git_ok(repo.root(), {"worktree", "add", "-q", "-b", "task", wt.string()});
  write_file(wt / "feature.txt", "work\n");
  git_ok(wt, {"add", "feature.txt"});
  git_ok(wt, {"commit", "-q", "-m", "feat: worktree work"});
  const std::string commit = head(wt);

  auto lines = lines_for(commit);
  ASSERT_EQ(lines.size(), 1u) << "the worktree's commit is not in the main worktree's log";
  EXPECT_EQ(text(lines[0], "branch"), "task");
  EXPECT_EQ(text(lines[0], "summary"), "feat: worktree work");
  EXPECT_FALSE(fs::exists(wt / ".brenik")) << "the worktree got state of its own";

  // Another trigger from the worktree, and status from it, see the same log.
  EXPECT_EQ(brenik({"sync", "--record-commit"}, wt).exit_code, 0);
  EXPECT_EQ(lines_for(commit).size(), 1u);
  auto st = brenik({"status"}, wt);
  EXPECT_EQ(st.exit_code, 0) << st.out << st.err;

  // An attested commit in the worktree: the pending file is the shared one.
  attest_change(wt, "second.txt", "two\n", "Second change in the worktree");
  EXPECT_TRUE(fs::exists(repo.root() / ".brenik/.commit-attestation.yaml"));
  git_ok(wt, {"commit", "-q", "-m", "second"});
  auto attested = lines_for(head(wt));
  ASSERT_EQ(attested.size(), 1u);
  EXPECT_EQ(text(attested[0], "summary"), "Second change in the worktree");
  EXPECT_EQ(text(attested[0], "branch"), "task");
  EXPECT_EQ(lines_for(head(repo.root())).size(), 1u);
}

TEST_F(GitFlows, TheHarnessHookInALinkedWorktreeAttributesItsCommit) {
  const fs::path wt = scratch.path() / "agent-wt";
  git_ok(repo.root(), {"worktree", "add", "-q", "-b", "agent", wt.string()});
  write_file(wt / "a.txt", "a\n");
  git_ok(wt, {"add", "a.txt"});
  git_ok(wt, {"-c", "core.hooksPath=/nonexistent", "commit", "-q", "-m", "agent work"});
  const std::string commit = head(wt);
  const std::string payload = R"({"tool_name": "Bash", "tool_input": {"command": "git commit -m 'agent work'"},)"
                              R"( "session_id": "sess-wt", "cwd": ")" +
                              wt.string() + "\"}";
  auto r = run_binary("brenik", {"attest", "add", "--from-hook", "--agent", "claude-code"},
                      {.cwd = wt, .timeout_seconds = 60.0, .stdin_data = payload, .env = env()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  auto lines = lines_for(commit);
  ASSERT_EQ(lines.size(), 1u) << "the harness hook skipped the worktree's commit";
  EXPECT_EQ(text(lines[0], "agent"), "claude-code");
  EXPECT_EQ(text(lines[0], "agent_session_id"), "sess-wt");
  EXPECT_EQ(text(lines[0], "branch"), "agent");
  EXPECT_EQ(lines_for(head(repo.root())).size(), 1u);
}

TEST_F(GitFlows, HooksEndZeroOnGarbageAndAPendingFileThatIsNoFile) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"git-hook", "post-rewrite", "amend"},
                                                                {"git-hook", "post-rewrite"},
                                                                {"git-hook", "post-merge"},
                                                                {"git-hook", "nonsense"},
                                                                {"git-hook", "post-commit", "x", "y"}}) {
    auto r = run_binary("brenik", args,
                        {.cwd = repo.root(),
                         .timeout_seconds = 60.0,
                         .stdin_data = std::string("\xff\x00garbage ") + std::string(70000, 'z'),
                         .env = env()});
    EXPECT_EQ(r.exit_code, 0) << args[1];
  }
  // A pending attestation that is a folder: the commit goes through.
  fs::create_directories(repo.root() / ".brenik/.commit-attestation.yaml/x");
  write_file(repo.root() / "n.txt", "n\n");
  git_ok(repo.root(), {"add", "n.txt"});
  auto r = git_run(repo.root(), {"commit", "-q", "-m", "n"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("brenik"), std::string::npos) << r.err;
}

TEST_F(GitFlows, CatchUpWalksTheBranchesOfLinkedWorktrees) {
  const fs::path wt = scratch.path() / "quiet-wt";
  git_ok(repo.root(), {"worktree", "add", "-q", "-b", "quiet", wt.string()});
  write_file(wt / "q.txt", "q\n");
  git_ok(wt, {"add", "q.txt"});
  // Made with no hook at all: only the catch-up can find it.
  git_ok(wt, {"-c", "core.hooksPath=/nonexistent", "commit", "-q", "-m", "missed by the hook"});
  const std::string commit = head(wt);
  ASSERT_TRUE(lines_for(commit).empty());
  auto r = run_binary("brenik", {"session-start", "--agent", "claude-code"},
                      {.cwd = repo.root(),
                       .timeout_seconds = 60.0,
                       .stdin_data = R"({"cwd": ")" + repo.root().string() + "\"}",
                       .env = env()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(lines_for(commit).size(), 1u) << "the catch-up did not walk the worktree's branch";
}

// ---- merges ---------------------------------------------------------------

TEST_F(GitFlows, MergeCommitIsRecordedAtOnceAndOnlyOnce) {
  git_ok(repo.root(), {"checkout", "-q", "-b", "side"});
  write_file(repo.root() / "side.txt", "side\n");
  git_ok(repo.root(), {"add", "side.txt"});
  git_ok(repo.root(), {"commit", "-q", "-m", "side work"});
  git_ok(repo.root(), {"checkout", "-q", "main"});
  git_ok(repo.root(), {"merge", "-q", "--no-ff", "-m", "Merge side", "side"});
  const std::string merge = head(repo.root());
  auto lines = lines_for(merge);
  ASSERT_EQ(lines.size(), 1u) << "the merge commit waits for a later session start";
  EXPECT_EQ(text(lines[0], "summary"), "Merge side");
  EXPECT_EQ(brenik({"sync", "--record-commit"}).exit_code, 0);
  EXPECT_EQ(lines_for(merge).size(), 1u);
}

// ---- the pre-commit check -------------------------------------------------

TEST_F(GitFlows, PreCommitWarnsOnAMismatchedAttestationIsSilentOnAMatchAndRefusesWhenStrict) {
  // Matching: silent.
  attest_change(repo.root(), "a.txt", "a\n", "Add a");
  auto r = git_run(repo.root(), {"commit", "-q", "-m", "add a"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("brenik"), std::string::npos) << r.err;

  // Left pending for one change, another change committed: one line, commit made.
  attest_change(repo.root(), "b.txt", "b\n", "Add b");
  git_ok(repo.root(), {"reset", "-q", "b.txt"});
  write_file(repo.root() / "README", "edited by a human\n");
  git_ok(repo.root(), {"add", "README"});
  const std::string before = head(repo.root());
  r = git_run(repo.root(), {"commit", "-q", "-m", "docs"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(head(repo.root()), before);
  EXPECT_NE(r.err.find("brenik: the pending attestation"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("brenik attest"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;

  // Strict: refused, nothing committed, the attestation kept.
  append_file(repo.root() / ".brenik/.platform/config.yaml", "attest:\n  strict: true\n");
  attest_change(repo.root(), "c.txt", "c\n", "Add c");
  git_ok(repo.root(), {"reset", "-q", "c.txt"});
  write_file(repo.root() / "README", "edited again\n");
  git_ok(repo.root(), {"add", "README"});
  const std::string kept = head(repo.root());
  r = git_run(repo.root(), {"commit", "-q", "-m", "docs again"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(head(repo.root()), kept);
  EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(repo.root() / ".brenik/.commit-attestation.yaml"));
}

TEST_F(GitFlows, AnExistingPreCommitHookStillRunsAndItsRefusalStillCounts) {
  // Set up again over a user's own hook: it is chained, not replaced.
  const fs::path hooks = repo.root() / ".git/hooks";
  fs::remove(hooks / "pre-commit");
  write_file(hooks / "pre-commit",
             "#!/bin/sh\necho ran >> \"$(git rev-parse --git-dir)/user-hook-ran\"\n"
             "[ ! -f block ]\n");
  fs::permissions(hooks / "pre-commit", fs::perms::owner_all);
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);
  EXPECT_TRUE(fs::exists(hooks / "pre-commit.brenik-chained"));
  write_file(repo.root() / "x.txt", "x\n");
  git_ok(repo.root(), {"add", "x.txt"});
  EXPECT_EQ(git_run(repo.root(), {"commit", "-q", "-m", "x"}).exit_code, 0);
  EXPECT_TRUE(fs::exists(repo.root() / ".git/user-hook-ran"));
  write_file(repo.root() / "block", "1\n");
  git_ok(repo.root(), {"add", "block"});
  EXPECT_NE(git_run(repo.root(), {"commit", "-q", "-m", "blocked"}).exit_code, 0);
}

// ---- rewrites -------------------------------------------------------------

TEST_F(GitFlows, AmendCarriesTheAttestationAndSaysWhetherThePatchChanged) {
  attest_change(repo.root(), "f.txt", "f\n", "Add f for the parser");
  git_ok(repo.root(), {"commit", "-q", "-m", "add f"});
  const std::string first = head(repo.root());

  git_ok(repo.root(), {"commit", "-q", "--amend", "-m", "add f (reworded)"});
  const std::string reworded = head(repo.root());
  ASSERT_NE(reworded, first);
  auto lines = lines_for(reworded);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(text(lines[0], "summary"), "Add f for the parser");
  EXPECT_EQ(text(lines[0], "agent"), "claude-code");
  ASSERT_TRUE(lines[0].contains("rewritten_from"));
  EXPECT_EQ(lines[0]["rewritten_from"], json::Value::array({first}));
  EXPECT_EQ(lines[0]["patch_changed"], false);
  EXPECT_EQ(lines_for(first).size(), 1u) << "the old commit's record must stay";

  write_file(repo.root() / "f.txt", "f changed\n");
  git_ok(repo.root(), {"commit", "-q", "-a", "--amend", "-m", "add f (changed)"});
  auto changed = lines_for(head(repo.root()));
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(text(changed[0], "summary"), "Add f for the parser");
  EXPECT_EQ(changed[0]["rewritten_from"], json::Value::array({reworded}));
  EXPECT_EQ(changed[0]["patch_changed"], true);
  const std::string archive = read_file(repo.root() / ".brenik/attestations" / (head(repo.root()) + ".yaml"));
  EXPECT_NE(archive.find("model-x"), std::string::npos);
}

TEST_F(GitFlows, RebaseOntoMainCarriesEveryAttestation) {
  git_ok(repo.root(), {"checkout", "-q", "-b", "topic"});
  attest_change(repo.root(), "t1.txt", "1\n", "Topic one");
  git_ok(repo.root(), {"commit", "-q", "-m", "t1"});
  attest_change(repo.root(), "t2.txt", "2\n", "Topic two");
  git_ok(repo.root(), {"commit", "-q", "-m", "t2"});
  const std::string old2 = head(repo.root());
  git_ok(repo.root(), {"checkout", "-q", "main"});
  write_file(repo.root() / "main.txt", "m\n");
  git_ok(repo.root(), {"add", "main.txt"});
  git_ok(repo.root(), {"commit", "-q", "-m", "main moves"});
  git_ok(repo.root(), {"checkout", "-q", "topic"});
  git_ok(repo.root(), {"rebase", "-q", "main"});
  const std::string new2 = head(repo.root());
  const std::string new1 = git_ok(repo.root(), {"rev-parse", "HEAD^"});
  ASSERT_NE(new2, old2);
  auto l2 = lines_for(new2);
  auto l1 = lines_for(new1);
  ASSERT_EQ(l2.size(), 1u);
  ASSERT_EQ(l1.size(), 1u);
  EXPECT_EQ(text(l2[0], "summary"), "Topic two");
  EXPECT_EQ(text(l1[0], "summary"), "Topic one");
  EXPECT_EQ(l2[0]["rewritten_from"], json::Value::array({old2}));
  EXPECT_EQ(l2[0]["patch_changed"], false);
  EXPECT_EQ(text(l2[0], "agent"), "claude-code");
  // `brenik show` names what the rebase replaced, from the record.
  auto shown = brenik({"show", new2});
  ASSERT_EQ(shown.exit_code, 0) << shown.err;
  EXPECT_NE(shown.out.find("Rewritten from: " + old2), std::string::npos) << shown.out;
}

TEST_F(GitFlows, SquashCarriesAllTheAttestations) {
  attest_change(repo.root(), "s1.txt", "1\n", "Squash one");
  git_ok(repo.root(), {"commit", "-q", "-m", "s1"});
  const std::string s1 = head(repo.root());
  attest_change(repo.root(), "s2.txt", "2\n", "Squash two");
  git_ok(repo.root(), {"commit", "-q", "-m", "s2"});
  const std::string s2 = head(repo.root());
  git_ok(repo.root(), {"rebase", "-q", "-i", "HEAD~2"}, {{"GIT_SEQUENCE_EDITOR", "sed -i '2s/^pick/squash/'"}});
  const std::string squashed = head(repo.root());
  ASSERT_NE(squashed, s2);
  auto lines = lines_for(squashed);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["rewritten_from"], json::Value::array({s1, s2}));
  EXPECT_EQ(lines[0]["patch_changed"], false);
  const std::string archive = read_file(repo.root() / ".brenik/attestations" / (squashed + ".yaml"));
  EXPECT_NE(archive.find("Squash one"), std::string::npos) << archive;
  EXPECT_NE(archive.find("Squash two"), std::string::npos) << archive;
  auto shown = brenik({"show", squashed});
  ASSERT_EQ(shown.exit_code, 0) << shown.err;
  EXPECT_NE(shown.out.find("Rewritten from: " + s1), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("Rewritten from: " + s2), std::string::npos) << shown.out;
}

TEST_F(GitFlows, RewriteAndCommitTriggersAtOnceLeaveOneCarriedLine) {
  attest_change(repo.root(), "r.txt", "r\n", "Race me");
  git_ok(repo.root(), {"commit", "-q", "-m", "r"});
  const std::string old = head(repo.root());
  // Amended without hooks: every trigger below then races for the new commit.
  git_ok(repo.root(), {"-c", "core.hooksPath=/nonexistent", "commit", "-q", "--amend", "-m", "r again"});
  const std::string now = head(repo.root());
  ASSERT_TRUE(lines_for(now).empty());
  std::vector<std::thread> threads;
  std::vector<int> status(12, -1);
  for (int i = 0; i < 12; ++i)
    threads.emplace_back([&, i] {
      std::vector<std::string> args;
      std::optional<std::string> input;
      if (i % 3 == 0)
        args = {"sync", "--record-commit"};
      else if (i % 3 == 1)
        args = {"git-hook", "post-commit"};
      else
        args = {"git-hook", "post-rewrite", "amend"}, input = old + " " + now + "\n";
      auto r =
          run_binary("brenik", args, {.cwd = repo.root(), .timeout_seconds = 60.0, .stdin_data = input, .env = env()});
      status[i] = r.exit_code;
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 12; ++i) EXPECT_EQ(status[i], 0) << i;
  auto lines = lines_for(now);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(text(lines[0], "summary"), "Race me");
  EXPECT_EQ(lines[0]["rewritten_from"], json::Value::array({old}));
  EXPECT_EQ(lines_for(old).size(), 1u);
}

// ---- setup notes ----------------------------------------------------------

TEST_F(GitFlows, SetupInAWorktreeOrSubmoduleSaysNothingAboutAnUnsetHooksPath) {
  TempRepo plain;
  plain.commit_file("README", "x\n", "init");
  const fs::path wt = scratch.path() / "plain-wt";
  git_ok(plain.root(), {"worktree", "add", "-q", "-b", "w", wt.string()});
  auto r = brenik({"setup", "--no-harness-hooks"}, wt);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("core.hooksPath"), std::string::npos) << r.out;

  git_ok(plain.root(), {"-c", "protocol.file.allow=always", "submodule", "add", "-q", repo.root().string(), "sub"});
  r = brenik({"setup", "--no-harness-hooks"}, plain.root() / "sub");
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("core.hooksPath"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace brenik::testing
