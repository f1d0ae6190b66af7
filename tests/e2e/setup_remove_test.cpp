// `brenik setup --remove` through the real binary: after setup, a sync's
// guidance block and MCP entry, and a recorded commit, the repository and
// the user's settings files are byte for byte as before setup, apart from
// the log and the archives it keeps.
#include <gtest/gtest.h>

#include "support/temp_repo.hpp"
#include "utils/json_edit.hpp"
#include "utils/process.hpp"

namespace brenik::testing {
namespace {

const std::string CLAUDE_SETTINGS =
    "{\n    \"model\": \"opus\",\n    \"env\": {\"GREETING\": \"gr\xc3\xbc\xc3\x9f gott\"},\n"
    "    \"permissions\": {\"allow\": [\"Read\", \"Bash(ls)\"]}\n}\n";

class SetupRemove : public ::testing::Test {
protected:
  void SetUp() override {
    repo.commit_file("README", "first\n", "init");
    write_file(repo.root() / ".gitignore", "node_modules/\n");
    write_file(repo.root() / "CLAUDE.md", "# Project\n\nUse tabs.\n");
    write_file(repo.root() / ".mcp.json", "{\n  \"mcpServers\": {\n    \"db\": {\"command\": \"db-mcp\"}\n  }\n}\n");
    write_file(repo.root() / "a.txt", "a\n");  // committed once set up
    const fs::path hook = repo.root() / ".git/hooks/post-commit";
    write_file(hook, "#!/bin/sh\necho ran >> \"$(git rev-parse --show-toplevel)/hook-ran\"\n");
    fs::permissions(hook, fs::perms::owner_all);
    write_file(home.path() / ".claude/settings.json", CLAUDE_SETTINGS);
    fs::create_directories(home.path() / ".codex");
  }
  utils::RunResult brenik(const std::vector<std::string>& args) {
    return run_binary("brenik", args,
                      {.cwd = repo.root(), .timeout_seconds = 60.0, .env = isolated_cli_env(home.path())});
  }
  utils::RunResult git(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    return utils::run(argv, {.cwd = repo.root(), .timeout_seconds = 60.0, .env = isolated_cli_env(home.path())});
  }
  // The work tree, git's hooks and configuration, and HOME; the log and the
  // archives left out.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> files;
    for (const fs::path& base : {repo.root(), home.path()})
      for (auto it = fs::recursive_directory_iterator(base); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), base).string();
        if (rel == ".git" && base == repo.root()) {
          for (const auto& e : fs::recursive_directory_iterator(it->path() / "hooks"))
            if (e.is_regular_file()) files["hooks/" + e.path().filename().string()] = read_file(e.path());
          files[".git/config"] = read_file(it->path() / "config");
          it.disable_recursion_pending();
          continue;
        }
        if (rel == ".brenik/.platform/log.jsonl" || rel.rfind(".brenik/attestations", 0) == 0) continue;
        files[base.string() + ":" + rel] = it->is_regular_file() ? read_file(it->path()) : std::string("<dir>");
      }
    return files;
  }

  TempRepo repo;
  TempDir home;
};

TEST_F(SetupRemove, RemoveLeavesRepositoryAndSettingsAsBeforeSetupAndKeepsTheLog) {
  const auto before = snapshot();
  auto r = brenik({"setup"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  ASSERT_NE(snapshot(), before);
  // Setup wrote the guidance block; a sync adds the MCP server entry and caches.
  ASSERT_NE(read_file(repo.root() / "CLAUDE.md").find("<!-- brenik:begin"), std::string::npos);
  utils::json_edit::Document mcp(read_file(repo.root() / ".mcp.json"));
  mcp.set({std::string("mcpServers")}, "brenik", json::loads(R"({"command": "brenik", "args": ["mcp"]})"));
  write_file(repo.root() / ".mcp.json", mcp.text());
  write_file(home.path() / ".codex/config.toml",
             "model = \"o4\"\n\n[mcp_servers.brenik]\ncommand = \"brenik\"\nargs = [\"mcp\"]\n\n"
             "[mcp_servers.brenik.env]\nX = \"1\"\n");
  write_file(repo.root() / ".brenik/.platform/brenikrules.yaml", "principles: {}\n");
  write_file(repo.root() / ".brenik/skills/review.md", "skill\n");
  ASSERT_EQ(git({"add", "a.txt"}).exit_code, 0);
  ASSERT_EQ(git({"commit", "-q", "-m", "a"}).exit_code, 0);
  const std::string head = repo.head();
  const std::string log = read_file(repo.root() / ".brenik/.platform/log.jsonl");
  ASSERT_NE(log.find(head), std::string::npos);
  ASSERT_EQ(read_file(repo.root() / "hook-ran"), "ran\n");
  fs::remove(repo.root() / "hook-ran");

  r = brenik({"setup", "--remove"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("put the earlier hook back"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("kept the log"), std::string::npos) << r.out;
  auto after = snapshot();
  // The Codex MCP file setup never wrote keeps what the user had in it.
  EXPECT_EQ(after[home.path().string() + ":.codex/config.toml"], "model = \"o4\"\n\n");
  after.erase(home.path().string() + ":.codex/config.toml");
  // The log's folders stay for the log.
  for (const char* kept : {":.brenik", ":.brenik/.platform"}) {
    EXPECT_EQ(after[repo.root().string() + kept], "<dir>") << kept;
    after.erase(repo.root().string() + kept);
  }
  EXPECT_EQ(after, before);
  EXPECT_EQ(read_file(repo.root() / ".brenik/.platform/log.jsonl"), log);

  // Again: nothing to do, nothing changes.
  r = brenik({"setup", "--remove"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("removed"), std::string::npos) << r.out;
  // The user's hook runs under its own name again, and brenik records nothing.
  write_file(repo.root() / "b.txt", "b\n");
  ASSERT_EQ(git({"add", "b.txt"}).exit_code, 0);
  ASSERT_EQ(git({"commit", "-q", "-m", "b"}).exit_code, 0);
  EXPECT_EQ(read_file(repo.root() / "hook-ran"), "ran\n");
  EXPECT_EQ(read_file(repo.root() / ".brenik/.platform/log.jsonl"), log);
}

TEST_F(SetupRemove, PurgeTakesTheLogToo) {
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);
  ASSERT_EQ(git({"add", "a.txt"}).exit_code, 0);
  ASSERT_EQ(git({"commit", "-q", "-m", "a"}).exit_code, 0);
  ASSERT_TRUE(fs::exists(repo.root() / ".brenik/.platform/log.jsonl"));
  EXPECT_EQ(brenik({"setup", "--purge"}).exit_code, 2);  // only with --remove
  auto r = brenik({"setup", "--remove", "--purge", "--no-harness-hooks"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_FALSE(fs::exists(repo.root() / ".brenik"));
  EXPECT_EQ(read_file(home.path() / ".claude/settings.json"), CLAUDE_SETTINGS);
}

TEST_F(SetupRemove, NothingIsRemovedThroughALinkAClonePlanted) {
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);
  TempDir outside;
  write_file(outside.path() / "keep.md", "<!-- brenik:begin -->\nx\n<!-- brenik:end -->\n");
  write_file(outside.path() / "skills/s.md", "mine\n");
  fs::remove(repo.root() / "CLAUDE.md");
  fs::create_symlink(outside.path() / "keep.md", repo.root() / "CLAUDE.md");
  fs::create_directories(repo.root() / ".brenik");
  fs::create_directory_symlink(outside.path() / "skills", repo.root() / ".brenik/skills");
  auto r = brenik({"setup", "--remove", "--purge", "--no-harness-hooks"});
  EXPECT_EQ(read_file(outside.path() / "keep.md"), "<!-- brenik:begin -->\nx\n<!-- brenik:end -->\n");
  EXPECT_EQ(read_file(outside.path() / "skills/s.md"), "mine\n");
  EXPECT_FALSE(fs::exists(repo.root() / ".brenik")) << r.out << r.err;
}

TEST_F(SetupRemove, FromALinkedWorktreeTheSharedStateGoes) {
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);
  ASSERT_EQ(git({"add", "a.txt"}).exit_code, 0);
  ASSERT_EQ(git({"commit", "-q", "-m", "a"}).exit_code, 0);
  TempDir parent;
  const fs::path wt = parent.path() / "wt";
  ASSERT_EQ(git({"worktree", "add", "-q", "-b", "task", wt.string()}).exit_code, 0);
  auto r = run_binary("brenik", {"setup", "--remove", "--no-harness-hooks"},
                      {.cwd = wt, .timeout_seconds = 60.0, .env = isolated_cli_env(home.path())});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_FALSE(fs::exists(repo.root() / ".brenik/.platform/config.yaml"));
  EXPECT_FALSE(fs::exists(repo.root() / ".git/hooks/post-commit.brenik-chained"));
  EXPECT_EQ(read_file(repo.root() / ".git/hooks/post-commit"),
            "#!/bin/sh\necho ran >> \"$(git rev-parse --show-toplevel)/hook-ran\"\n");
  EXPECT_NE(read_file(repo.root() / ".brenik/.platform/log.jsonl").find(repo.head()), std::string::npos);
}

TEST_F(SetupRemove, HuskyFilesComeBackAsTheyWere) {
  fs::create_directories(repo.root() / ".husky/_");
  write_file(repo.root() / ".husky/_/h", "#!/usr/bin/env sh\n");
  write_file(repo.root() / ".husky/pre-commit", "npm test\n");
  ASSERT_EQ(git({"config", "core.hooksPath", ".husky/_"}).exit_code, 0);
  const auto before = snapshot();
  ASSERT_EQ(brenik({"setup", "--no-harness-hooks"}).exit_code, 0);
  EXPECT_TRUE(fs::exists(repo.root() / ".husky/post-commit"));
  auto r = brenik({"setup", "--remove", "--no-harness-hooks"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(snapshot(), before);
}

}  // namespace
}  // namespace brenik::testing
