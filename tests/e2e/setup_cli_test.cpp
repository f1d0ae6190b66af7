// `brenik setup` through the real binary, with HOME in a temporary directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <thread>

#include "support/temp_repo.hpp"
#include "utils/filelock.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"

namespace brenik::testing {
namespace {

class SetupCli : public ::testing::Test {
protected:
  void SetUp() override { repo.commit_file("README", "first\n", "init"); }

  std::map<std::string, std::optional<std::string>> env() const {
    return {{"HOME", home.path().string()},    {"NO_COLOR", "1"},
            {"CLAUDECODE", std::nullopt},      {"CLAUDE_CODE_SESSION_ID", std::nullopt},
            {"CODEX_THREAD_ID", std::nullopt}, {"CODEX_SANDBOX", std::nullopt}};
  }
  utils::RunResult brenik(const std::vector<std::string>& args) {
    return run_binary("brenik", args, {.cwd = repo.root(), .timeout_seconds = 60.0, .env = env()});
  }
  // Every file of the repository (outside .git objects) and of HOME, with content.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> files;
    for (const fs::path& base : {repo.root(), home.path()})
      for (auto it = fs::recursive_directory_iterator(base); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), base).string();
        if (rel.rfind(".git/objects", 0) == 0 || rel.rfind(".git/logs", 0) == 0) continue;
        if (it->is_regular_file()) files[base.string() + ":" + rel] = read_file(it->path());
      }
    return files;
  }
  void commit(const std::string& name) {
    write_file(repo.root() / name, name + "\n");
    repo.git({"add", name});
    repo.git({"commit", "-q", "-m", "add " + name});
  }
  std::vector<json::Value> log_lines() const {
    std::vector<json::Value> out;
    std::string text = read_file(repo.root() / ".brenik/.platform/log.jsonl");
    std::size_t i = 0;
    while (i < text.size()) {
      auto j = text.find('\n', i);
      out.push_back(json::loads(text.substr(i, j - i)));
      i = j + 1;
    }
    return out;
  }

  // Our post-commit hook, pointed at `program`, with `first_line` in place of
  // its #! line unless empty.
  fs::path point_post_commit_at(const std::string& program, const std::string& first_line) {
    const fs::path hook = repo.root() / ".git/hooks/post-commit";
    std::string text = read_file(hook);
    if (!first_line.empty()) text.replace(0, text.find('\n'), first_line);
    auto at = text.find("\nBRENIK=") + 1;
    text.replace(at, text.find('\n', at) - at, "BRENIK=" + program);
    write_file(hook, text);
    fs::permissions(hook, fs::perms::owner_all);
    return hook;
  }

  TempRepo repo;
  TempDir home;
};

TEST_F(SetupCli, SecondRunChangesNoByteAndFirstRunAnchorStays) {
  fs::create_directories(home.path() / ".claude");
  fs::create_directories(home.path() / ".codex");
  auto r = brenik({"setup"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  const auto first = snapshot();
  const std::string config = read_file(repo.root() / ".brenik/.platform/config.yaml");
  EXPECT_NE(config.find("installed_at:"), std::string::npos);
  EXPECT_TRUE(fs::exists(repo.root() / ".brenik/example-attestation.yaml"));
  EXPECT_NE(read_file(repo.root() / ".gitignore").find("/.brenik/.platform/"), std::string::npos);
  auto codex = json::loads(read_file(home.path() / ".codex/hooks.json"));
  for (const auto& [k, v] : codex.items()) EXPECT_TRUE(k == "hooks" || k == "description") << k;
  EXPECT_TRUE(codex["hooks"].contains("PostToolUse"));
  EXPECT_TRUE(codex["hooks"].contains("SessionStart"));
  // The running executable's absolute path is used.
  EXPECT_NE(codex.dump().find(built_binary("brenik").string()), std::string::npos);

  r = brenik({"setup"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(snapshot(), first);
  // The pending attestation and the local state are ignored by git; the
  // agents' guidance files (Claude Code and Codex are installed here) carry
  // the attest block, and Claude Code's project MCP file names brenik's
  // server (Codex's would, had the repository a .codex folder).
  write_file(repo.root() / ".brenik/.commit-attestation.yaml", "x");
  EXPECT_EQ(repo.git({"status", "--porcelain"}), "?? .gitignore\n?? .mcp.json\n?? AGENTS.md\n?? CLAUDE.md\n");
  EXPECT_NE(read_file(repo.root() / "CLAUDE.md").find("brenik attest --staged-diff-hash"), std::string::npos);
}

TEST_F(SetupCli, ExistingPostCommitHookKeepsRunningAndTheCommitIsRecorded) {
  const fs::path hook = repo.root() / ".git/hooks/post-commit";
  write_file(hook, "#!/bin/sh\necho ran >> \"$(git rev-parse --show-toplevel)/hook-ran\"\n");
  fs::permissions(hook, fs::perms::owner_all);
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);  // chained once, not twice
  EXPECT_NE(read_file(hook).find("brenik post-commit hook"), std::string::npos);
  EXPECT_NE(read_file(repo.root() / ".git/hooks/post-commit.brenik-chained").find("hook-ran"), std::string::npos);
  EXPECT_FALSE(fs::exists(repo.root() / ".git/hooks/post-commit.brenik-chained.old"));
  commit("a.txt");
  EXPECT_EQ(read_file(repo.root() / "hook-ran"), "ran\n");
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["commit"], repo.head());
}

TEST_F(SetupCli, RelativeCoreHooksPathIsHonoured) {
  repo.git({"config", "core.hooksPath", ".githooks"});
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);
  EXPECT_TRUE(fs::exists(repo.root() / ".githooks/post-commit"));
  EXPECT_FALSE(fs::exists(repo.root() / ".git/hooks/post-commit"));
  commit("b.txt");
  ASSERT_EQ(log_lines().size(), 1u);
}

TEST_F(SetupCli, ClaudeSettingsAreMergedAndAnInvalidFileIsLeftAlone) {
  const fs::path settings = home.path() / ".claude/settings.json";
  write_file(
      settings,
      R"({"model": "opus", "hooks": {"PostToolUse": [{"matcher": "Edit", "hooks": [{"type": "command", "command": "fmt"}]}]}})");
  ASSERT_EQ(brenik({"setup"}).exit_code, 0);
  auto s = json::loads(read_file(settings));
  EXPECT_EQ(s["model"], "opus");
  ASSERT_EQ(s["hooks"]["PostToolUse"].size(), 2u);
  EXPECT_EQ(s["hooks"]["PostToolUse"][0]["hooks"][0]["command"], "fmt");
  EXPECT_EQ(s["hooks"]["PostToolUse"][1]["matcher"], "Bash");
  EXPECT_EQ(s["hooks"]["PostToolUseFailure"][0]["matcher"], "Bash");
  const std::string cmd = s["hooks"]["PostToolUse"][1]["hooks"][0]["command"];
  EXPECT_NE(cmd.find("attest add --from-hook --agent claude-code"), std::string::npos);
  EXPECT_NE(s["hooks"]["SessionStart"].dump().find("session-start --agent claude-code"), std::string::npos);

  write_file(settings, "{not json");
  auto r = brenik({"setup"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE((r.out + r.err).find("not valid JSON"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(read_file(settings), "{not json");
  // The repository's own steps still ran.
  EXPECT_TRUE(fs::exists(repo.root() / ".git/hooks/post-commit"));
}

// Whether some process is blocked in flock() on `lock_file`: the kernel lists
// a waiting request in /proc/locks with "->" before it.
bool waits_for_flock(const fs::path& lock_file) {
  struct stat st {};
  if (::stat(lock_file.c_str(), &st) != 0) return false;
  std::ifstream locks("/proc/locks");
  const std::string inode = ":" + std::to_string(st.st_ino) + " ";
  for (std::string line; std::getline(locks, line);)
    if (line.find("->") != std::string::npos && line.find("FLOCK") != std::string::npos &&
        line.find(inode) != std::string::npos)
      return true;
  return false;
}

TEST_F(SetupCli, HookFallsBackToTheShellWhenBrenikIsUnreachableAndNeverFails) {
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);
  // Our hook pointing at a brenik that does not exist, and PATH without one.
  const fs::path hook = point_post_commit_at("/nonexistent/brenik", "#!/bin/sh");
  write_file(repo.root() / "c.txt", "c\n");
  repo.git({"add", "c.txt"});
  auto r = utils::run({"git", "commit", "-q", "-m", "fix: \"quoted\" \\ caf\xc3\xa9 \xf0\x9f\x98\x80\ttab"},
                      {.cwd = repo.root(), .env = {{"PATH", "/usr/bin:/bin"}, {"HOME", home.path().string()}}});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["commit"], repo.head());
  EXPECT_EQ(lines[0]["branch"], "main");
  EXPECT_EQ(lines[0]["agent"], "unknown");
  EXPECT_EQ(lines[0]["synced"], false);
  EXPECT_EQ(lines[0]["event"], "commit_unattested");
  EXPECT_EQ(lines[0]["summary"], "fix: \"quoted\" \\ caf\xc3\xa9 \xf0\x9f\x98\x80\ttab");
  // Running the hook again for the same commit adds nothing.
  r = utils::run({hook.string()}, {.cwd = repo.root(), .env = {{"PATH", "/usr/bin:/bin"}}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(log_lines().size(), 1u);

  // The shell's line waits for the log's lock, which a rewrite holds.
  write_file(repo.root() / "d.txt", "d\n");
  repo.git({"add", "d.txt"});
  std::optional<utils::RunResult> committed;
  {
    auto held = utils::locked(repo.root() / ".brenik/.platform/log.jsonl");
    ASSERT_TRUE(held->acquired());
    std::thread commit([&] {
      committed = utils::run({"git", "commit", "-q", "-m", "second"},
                             {.cwd = repo.root(), .env = {{"PATH", "/usr/bin:/bin"}, {"HOME", home.path().string()}}});
    });
    // The hook is seen blocked on the lock we hold before it is let go.
    const fs::path lock_file = repo.root() / ".brenik/.platform/log.jsonl.lock";
    bool waiting = false;
    for (int i = 0; i < 1000 && !waiting; ++i) {
      waiting = waits_for_flock(lock_file);
      if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(waiting) << "the hook never waited for the lock";
    EXPECT_EQ(log_lines().size(), 1u);  // not yet: the lock is ours
    held.reset();
    commit.join();
  }
  ASSERT_TRUE(committed && committed->exit_code == 0);
  EXPECT_EQ(log_lines().size(), 2u);
  // A log directory that cannot be written still does not fail the hook.
  fs::remove_all(repo.root() / ".brenik/.platform/log.jsonl");
  fs::create_directories(repo.root() / ".brenik/.platform/log.jsonl");
  r = utils::run({hook.string()}, {.cwd = repo.root(), .env = {{"PATH", "/usr/bin:/bin"}}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out + r.err, "");
}

TEST_F(SetupCli, HookShellFallbackNeverGluesOntoAnUnfinishedLine) {
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);
  point_post_commit_at("/nonexistent/brenik", "#!/bin/sh");
  // A writer was killed half-way through its line (or the disk filled up).
  const fs::path log = repo.root() / ".brenik/.platform/log.jsonl";
  const std::string torn = "{\"commit\": \"" + std::string(40, 'a') + "\", \"bran";
  write_file(log, torn);
  write_file(repo.root() / "c.txt", "c\n");
  repo.git({"add", "c.txt"});
  auto r = utils::run({"git", "commit", "-q", "-m", "after the torn line"},
                      {.cwd = repo.root(), .env = {{"PATH", "/usr/bin:/bin"}, {"HOME", home.path().string()}}});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string after = read_file(log);
  ASSERT_EQ(after.rfind(torn + "\n", 0), 0u) << after;
  auto line = json::try_loads(after.substr(torn.size() + 1));
  ASSERT_TRUE(line && line->is_object()) << after;
  EXPECT_EQ((*line)["commit"], repo.head());
  EXPECT_EQ((*line)["summary"], "after the torn line");
}

TEST_F(SetupCli, HookWhoseBrenikFailsRunsItOnceThenWritesTheShellLine) {
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);
  // Our hook pointing at a brenik that runs but fails, counting its runs.
  TempDir bin;
  const fs::path fake = bin.path() / "brenik";
  const fs::path runs = bin.path() / "runs";
  write_file(fake, "#!/bin/sh\necho ran >>'" + runs.string() + "'\nexit 3\n");
  fs::permissions(fake, fs::perms::owner_all);
  // git still starts the real brenik from the #! line: with a chained hook
  // present, it leaves the commit to the script.
  point_post_commit_at(fake.string(), "");
  // An earlier hook kept beside ours sees the variables it was started with.
  const fs::path seen = bin.path() / "seen";
  write_file(repo.root() / ".git/hooks/post-commit.brenik-chained",
             "#!/bin/sh\nprintf '%s|%s|%s' \"$state\" \"$commit\" \"$PWD\" >'" + seen.string() + "'\n");
  fs::permissions(repo.root() / ".git/hooks/post-commit.brenik-chained", fs::perms::owner_all);
  write_file(repo.root() / "c.txt", "c\n");
  repo.git({"add", "c.txt"});
  auto r = utils::run({"git", "commit", "-q", "-m", "brenik fails"}, {.cwd = repo.root(),
                                                                      .env = {{"PATH", "/usr/bin:/bin"},
                                                                              {"HOME", home.path().string()},
                                                                              {"state", "outer-state"},
                                                                              {"commit", "outer-commit"}}});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(read_file(runs), "ran\n");
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["commit"], repo.head());
  EXPECT_EQ(lines[0]["summary"], "brenik fails");
  EXPECT_EQ(read_file(seen), "outer-state|outer-commit|" + fs::canonical(repo.root()).string());
}

TEST_F(SetupCli, GitRunsTheHookThroughBrenikWhichFallsBackToTheScript) {
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);
  const fs::path program = built_binary("brenik");
  const fs::path hook = repo.root() / ".git/hooks/post-commit";
  EXPECT_EQ(read_file(hook).rfind("#!" + program.string() + " --post-commit-hook\n", 0), 0u);
  auto commit_c = [&](const std::string& name) {
    write_file(repo.root() / name, name + "\n");
    repo.git({"add", name});
    auto r = utils::run({"git", "commit", "-q", "-m", name},
                        {.cwd = repo.root(), .env = {{"PATH", "/usr/bin:/bin"}, {"HOME", home.path().string()}}});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
  };
  // Read as a shell script (a brenik path that cannot stand on a #! line),
  // the hook hands its process over to brenik, which writes the full record.
  point_post_commit_at(program.string(), "#!/bin/sh");
  commit_c("a.txt");
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["commit"], repo.head());
  EXPECT_TRUE(lines[0].contains("developer"));

  // A brenik copied away from its library cannot record: the same file, read
  // as a script, writes the shell's line instead.
  TempDir bin;
  const fs::path lonely = bin.path() / "brenik";
  fs::copy_file(program, lonely);
  point_post_commit_at(lonely.string(), "#!" + lonely.string() + " --post-commit-hook");
  commit_c("b.txt");
  lines = log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["commit"], repo.head());
  EXPECT_EQ(lines[1]["summary"], "b.txt");
  EXPECT_FALSE(lines[1].contains("developer"));  // the shell's line has none
}

TEST_F(SetupCli, OutsideARepositoryExitsOne) {
  TempDir plain;
  auto r = run_binary("brenik", {"setup", "--no-harness-hooks"}, {.cwd = plain.path(), .env = env()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE((r.out + r.err).find("Not inside a git repository"), std::string::npos);
}

}  // namespace
}  // namespace brenik::testing
