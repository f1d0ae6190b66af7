// Installer pieces: hook-row merging, ignore entries, hook chaining.
#include <gtest/gtest.h>

#include "hooks/installer.hpp"
#include "support/temp_repo.hpp"
#include "utils/errors.hpp"
#include "utils/json.hpp"

namespace brenik::testing {
namespace {

namespace inst = hooks::installer;

TEST(InstallerMerge, OurRowIsAddedOnceAndAStalePathIsUpdatedInPlace) {
  json::Value s = json::loads(R"({"hooks": {"PostToolUse": [{"matcher": "Bash", "hooks": [
      {"type": "command", "command": "'/old dir/brenik' attest add --from-hook --agent codex"},
      {"type": "command", "command": "other-tool"}]}]}})");
  const auto rows = inst::codex_rows("/new/brenik");
  EXPECT_TRUE(inst::merge_hook_rows(s, rows));
  ASSERT_EQ(s["hooks"]["PostToolUse"].size(), 1u);
  EXPECT_EQ(s["hooks"]["PostToolUse"][0]["hooks"][0]["command"], "/new/brenik attest add --from-hook --agent codex");
  EXPECT_EQ(s["hooks"]["PostToolUse"][0]["hooks"][1]["command"], "other-tool");
  EXPECT_FALSE(s["hooks"]["SessionStart"][0].contains("matcher"));
  const json::Value after = s;
  EXPECT_FALSE(inst::merge_hook_rows(s, rows));
  EXPECT_EQ(s, after);
  // A look-alike program is not ours.
  json::Value t = json::loads(
      R"({"hooks": {"SessionStart": [{"hooks": [{"type": "command", "command": "notbrenik session-start --agent codex"}]}]}})");
  EXPECT_TRUE(inst::merge_hook_rows(t, rows));
  EXPECT_EQ(t["hooks"]["SessionStart"].size(), 2u);
}

TEST(InstallerMerge, ShapesWeMustNotTouchAreRefused) {
  for (const char* text : {R"([1])", R"({"hooks": []})", R"({"hooks": {"PostToolUse": {}}})"}) {
    json::Value s = json::loads(text);
    EXPECT_THROW(inst::merge_hook_rows(s, inst::claude_code_rows("brenik")), ValueError) << text;
  }
}

TEST(InstallerQuote, PathsWithSpacesAndQuotesSurviveTheShell) {
  EXPECT_EQ(inst::shell_quote("/usr/bin/brenik"), "/usr/bin/brenik");
  const std::string odd = "/tmp/it's here/brenik";
  auto r = utils::run({"sh", "-c", "printf %s " + inst::shell_quote(odd)});
  EXPECT_EQ(r.out, odd);
}

TEST(InstallerHook, ThePostCommitHookNamesBrenikOnItsFirstLineOnlyWhereThatLineHoldsIt) {
  auto first_line = [](const std::string& program) {
    const std::string s = inst::post_commit_script(program);
    return s.substr(0, s.find('\n'));
  };
  EXPECT_EQ(first_line("/usr/local/bin/brenik"), "#!/usr/local/bin/brenik --post-commit-hook");
  EXPECT_EQ(first_line("/home/a.b/.local/bin/brenik-0.1_x+y@z"),
            "#!/home/a.b/.local/bin/brenik-0.1_x+y@z --post-commit-hook");
  // The kernel splits a #! line at blanks and reads no quotes; PATH's brenik
  // and a relative path have no line of their own either.
  for (const std::string& program :
       std::vector<std::string>{"/opt/my tools/brenik", "/opt/it's/brenik", "/opt/tab\there/brenik", "", "brenik",
                                "bin/brenik", "/" + std::string(220, 'x')})
    EXPECT_EQ(first_line(program), "#!/bin/sh") << program;
}

TEST(InstallerGitignore, KnownEntriesAreNotRepeated) {
  TempRepo repo;
  write_file(repo.root() / ".gitignore", "node_modules\n.brenik/.platform\n/.brenik/ledger/");
  auto r = inst::ensure_gitignore(repo.root());
  EXPECT_EQ(r.status, inst::Status::changed);
  const std::string text = read_file(repo.root() / ".gitignore");
  EXPECT_EQ(text.find("/.brenik/.platform/"), std::string::npos);
  EXPECT_EQ(text.rfind("/.brenik/ledger/"), text.find("/.brenik/ledger/"));
  EXPECT_EQ(text.rfind("node_modules\n.brenik/.platform\n/.brenik/ledger/\n", 0), 0u);
  EXPECT_EQ(inst::ensure_gitignore(repo.root()).status, inst::Status::unchanged);
  // The whole folder ignored covers the entries inside it, not the
  // installer's stray folder outside it.
  write_file(repo.root() / ".gitignore", ".brenik/\n");
  EXPECT_EQ(inst::ensure_gitignore(repo.root()).status, inst::Status::changed);
  EXPECT_EQ(read_file(repo.root() / ".gitignore"),
            ".brenik/\n\n# brenik: local state, never committed (added by `brenik setup`)\n/agent/skills/\n");
  EXPECT_EQ(inst::ensure_gitignore(repo.root()).status, inst::Status::unchanged);
}

TEST(InstallerHook, AHookThatReplacedOursIsChainedAndTheOldChainSetAside) {
  TempRepo repo;
  const fs::path dir = repo.root() / ".git/hooks";
  write_file(dir / "post-commit", "#!/bin/sh\necho first\n");
  inst::install_post_commit_hook(repo.root(), "/x/brenik");
  // Another tool writes its own file over ours.
  write_file(dir / "post-commit", "#!/bin/sh\necho second\n");
  auto r = inst::install_post_commit_hook(repo.root(), "/x/brenik");
  EXPECT_EQ(read_file(dir / "post-commit.brenik-chained"), "#!/bin/sh\necho second\n");
  EXPECT_EQ(read_file(dir / "post-commit.brenik-chained.old"), "#!/bin/sh\necho first\n");
  std::string notes;
  for (const auto& n : r.notes) notes += n + "\n";
  EXPECT_NE(notes.find("set aside as post-commit.brenik-chained.old"), std::string::npos) << notes;
  EXPECT_EQ(inst::install_post_commit_hook(repo.root(), "/x/brenik").status, inst::Status::unchanged);
}

}  // namespace
}  // namespace brenik::testing
