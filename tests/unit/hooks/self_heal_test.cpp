// The repairs a sync makes: the retired Entire hooks stripped only where
// they can be told apart for certain, and the session-start rows restored
// only in settings files that already hold brenik's rows.
#include <gtest/gtest.h>

#include "hooks/installer.hpp"
#include "support/temp_repo.hpp"
#include "utils/json.hpp"

namespace brenik::testing {
namespace {

namespace inst = hooks::installer;
using json::Value;

class EntireStrip : public ::testing::Test {
protected:
  fs::path hook(const std::string& name) const { return repo.root() / ".git/hooks" / name; }
  TempRepo repo;
};

TEST_F(EntireStrip, OnlyHooksThatDoNothingButRunEntireGo) {
  write_file(hook("prepare-commit-msg"),
             "#!/bin/sh\n# Entire CLI hooks\nentire hooks git prepare-commit-msg \"$1\" \"$2\" 2>/dev/null || true\n");
  write_file(hook("pre-push"), "#!/bin/sh\nexec /usr/local/bin/entire hooks git pre-push \"$1\"\n");
  // A user's own line beside the call: not positively Entire's.
  const std::string mixed = "#!/bin/sh\nentire hooks git post-commit\nnpm test\n";
  write_file(hook("post-checkout"), mixed);
  const std::string user = "#!/bin/sh\necho entire\n";
  write_file(hook("commit-msg"), user);
  const std::string no_shebang = "entire hooks git post-merge\n";
  write_file(hook("post-merge"), no_shebang);
  // A link is never removed, whatever it names.
  write_file(repo.root() / "shared-hook", "#!/bin/sh\nentire hooks git post-rewrite\n");
  fs::create_symlink(repo.root() / "shared-hook", hook("post-rewrite"));
  inst::install_post_commit_hook(repo.root(), "/x/brenik");
  const std::string ours = read_file(hook("post-commit"));

  auto r = inst::cleanup_entire(repo.root());
  EXPECT_EQ(r.status, inst::Status::changed);
  EXPECT_EQ(r.detail, "removed pre-push, prepare-commit-msg");
  EXPECT_FALSE(fs::exists(hook("prepare-commit-msg")));
  EXPECT_FALSE(fs::exists(hook("pre-push")));
  EXPECT_EQ(read_file(hook("post-checkout")), mixed);
  EXPECT_EQ(read_file(hook("commit-msg")), user);
  EXPECT_EQ(read_file(hook("post-merge")), no_shebang);
  EXPECT_TRUE(fs::is_symlink(hook("post-rewrite")));
  EXPECT_EQ(read_file(hook("post-commit")), ours);
  EXPECT_TRUE(fs::exists(hook("pre-commit.sample")));
  EXPECT_EQ(inst::cleanup_entire(repo.root()).status, inst::Status::unchanged);
}

TEST_F(EntireStrip, AConfiguredHooksFolderIsLeftAlone) {
  write_file(repo.root() / ".githooks/pre-push", "#!/bin/sh\nentire hooks git pre-push\n");
  repo.git({"config", "core.hooksPath", ".githooks"});
  EXPECT_EQ(inst::cleanup_entire(repo.root()).status, inst::Status::skipped);
  EXPECT_TRUE(fs::exists(repo.root() / ".githooks/pre-push"));
}

class SessionStartRows : public ::testing::Test {
protected:
  fs::path claude() const { return home.path() / ".claude/settings.json"; }
  fs::path codex() const { return home.path() / ".codex/hooks.json"; }
  std::vector<inst::StepReport> heal(const std::optional<std::vector<std::string>>& agents) {
    return inst::install_session_start_hook(repo.root(), agents, {.home = home.path()});
  }
  TempRepo repo;
  TempDir home;
};

TEST_F(SessionStartRows, AMissingRowIsRestoredWithTheProgramSetupUsed) {
  write_file(claude(), R"({"model": "x", "hooks": {"PostToolUse": [{"matcher": "Bash", "hooks": [
      {"type": "command", "command": "'/opt/my tools/brenik' attest add --from-hook --agent claude-code"}]}]}})");
  auto reports = heal(std::vector<std::string>{"Claude Code", "claude-code"});
  ASSERT_EQ(reports.size(), 1u);  // one agent, however spelt
  EXPECT_EQ(reports[0].status, inst::Status::changed);
  const Value s = json::loads(read_file(claude()));
  EXPECT_EQ(s["model"], "x");
  EXPECT_EQ(s["hooks"]["SessionStart"][0]["hooks"][0]["command"],
            "'/opt/my tools/brenik' session-start --agent claude-code");
  EXPECT_EQ(s["hooks"]["PostToolUse"].size(), 1u);
  const std::string once = read_file(claude());
  heal(std::vector<std::string>{"claude-code"});
  EXPECT_EQ(read_file(claude()), once);
}

TEST_F(SessionStartRows, FilesSetupWasNotAskedToEditAreNotTouched) {
  // No brenik row: the user never let setup in here.
  const std::string theirs = R"({"hooks": {"SessionStart": [{"hooks": [{"type": "command", "command": "other"}]}]}})";
  write_file(claude(), theirs);
  const std::string broken = "{not json";
  write_file(codex(), broken);
  auto reports = heal(std::vector<std::string>{"claude-code", "codex", "cursor"});
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].status, inst::Status::skipped) << reports[0].detail;
  EXPECT_EQ(reports[1].status, inst::Status::failed) << reports[1].detail;
  EXPECT_NE(reports[1].detail.find("not valid JSON; left untouched"), std::string::npos) << reports[1].detail;
  EXPECT_EQ(read_file(claude()), theirs);
  EXPECT_EQ(read_file(codex()), broken);
  EXPECT_TRUE(heal(std::nullopt).empty());
  EXPECT_TRUE(heal(std::vector<std::string>{}).empty());
  // A harness that is not installed gets no settings file.
  fs::remove_all(home.path() / ".codex");
  heal(std::vector<std::string>{"codex"});
  EXPECT_FALSE(fs::exists(home.path() / ".codex"));
}

}  // namespace
}  // namespace brenik::testing
