// The developer's identity read from git's config files must be what
// `git config --get-regexp` prints, or the question is left to git.
#include "services/git/config_files.hpp"

#include <gtest/gtest.h>

#include <string>

#include "services/git/git.hpp"
#include "services/shared.hpp"
#include "support/temp_repo.hpp"
#include "utils/process.hpp"
#include "utils/text.hpp"

namespace fs = std::filesystem;
namespace tv = brenik::services::tolvern::detail;
using brenik::testing::ScopedEnv;
using brenik::testing::TempDir;
using brenik::testing::TempRepo;
using brenik::testing::write_file;

namespace {

// What detect_git_author has always parsed: git's own answer, stripped.
std::string git_answer(const fs::path& dir) {
  auto r = brenik::utils::run({"git", "config", "--get-regexp", "^user\\.(name|email)$"},
                              {.cwd = dir, .timeout_seconds = 30.0});
  if (!r.ok()) return "";
  return brenik::utils::strip(brenik::utils::decode_utf8_replace(r.out));
}

// A repository whose git sees only the homes of this test.
struct Homes {
  TempRepo repo;
  TempDir home;
  ScopedEnv env;
  Homes() {
    env.set("HOME", home.path().string());
    env.unset("XDG_CONFIG_HOME");
    env.unset("GIT_CONFIG_GLOBAL");
    env.set("GIT_CONFIG_NOSYSTEM", "1");
    repo.git({"config", "--unset", "user.name"});
    repo.git({"config", "--unset", "user.email"});
  }
  bool read_from_files() const {
    auto dirs = tv::locate_git_dirs(repo.root());
    return dirs && tv::read_config_files(*dirs).has_value();
  }
  void expect_as_git(bool from_files_expected) const {
    EXPECT_EQ(read_from_files(), from_files_expected);
    EXPECT_EQ(tv::user_identity_config(repo.root()), git_answer(repo.root()));
    const auto from_files = brenik::services::shared::detect_git_author_from_files(repo.root());
    EXPECT_EQ(from_files.has_value(), from_files_expected);
    if (from_files) {
      EXPECT_EQ(*from_files, brenik::services::shared::detect_git_author(repo.root()));
    }
  }
};

}  // namespace

TEST(ConfigFiles, IdentityFromEachFileInGitsOrder) {
  Homes h;
  h.expect_as_git(true);
  EXPECT_EQ(tv::user_identity_config(h.repo.root()), "");
  EXPECT_TRUE(brenik::services::shared::detect_git_author(h.repo.root()).empty());

  write_file(h.home.path() / ".gitconfig", "[user]\n\tname = Home Name\n\temail = home@example.com\n");
  h.expect_as_git(true);
  write_file(h.home.path() / ".config/git/config", "[user]\n  name = Xdg Name ; a comment\n");
  h.expect_as_git(true);
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", (h.home.path() / "elsewhere").string());
    write_file(h.home.path() / "elsewhere/git/config", "[User]\nNAME=Other Xdg\n");
    h.expect_as_git(true);
  }
  h.repo.git({"config", "user.email", "local@example.com"});
  h.expect_as_git(true);
  const auto author = brenik::services::shared::detect_git_author(h.repo.root());
  EXPECT_EQ(author["git_author_name"], "Home Name");
  EXPECT_EQ(author["git_author_email"], "local@example.com");
  {
    TempDir sys;
    write_file(sys.path() / "gitconfig", "[user]\n\temail = system@example.com\n\tname = System\n");
    ScopedEnv system("GIT_CONFIG_SYSTEM", (sys.path() / "gitconfig").string());
    ScopedEnv on("GIT_CONFIG_NOSYSTEM", "0");
    h.expect_as_git(true);
    ScopedEnv global("GIT_CONFIG_GLOBAL", "/dev/null");
    h.expect_as_git(true);
  }
  {
    TempDir other;
    write_file(other.path() / "global", "[user]\nname = Named Global\n");
    ScopedEnv global("GIT_CONFIG_GLOBAL", (other.path() / "global").string());
    h.expect_as_git(true);
    EXPECT_EQ(brenik::services::shared::detect_git_author(h.repo.root())["git_author_name"], "Named Global");
  }
}

TEST(ConfigFiles, ValuesAsGitReadsThem) {
  Homes h;
  const char* values[] = {
      "[user]\n\tname =   Spaced   Inside\t \n",
      "[user]\nname=Zoë Ñúñez 李\nemail=zoë@example.org # trailing comment\n",
      "[user]\n\tname\n\temail =\n",
      "[user]\r\n\tname = Windows Line\r\n",
      "# comment\n; another\n\n[core]\n\tbare = false\n[user \"sub\"]\n\tname = Not Mine\n[user]\n\tname = Mine\n",
      "[user]\n\tname = First\n[user]\n\tname = Second\n\tnameless = x\n",
      "[user]\n\tname = Latin \xe9\xff\n",
  };
  for (const char* text : values) {
    write_file(h.home.path() / ".gitconfig", text);
    SCOPED_TRACE(text);
    h.expect_as_git(true);
  }
}

TEST(ConfigFiles, AnythingBeyondThePlainSyntaxIsLeftToGit) {
  Homes h;
  write_file(h.home.path() / "included", "[user]\n\tname = Included\n");
  const std::string doubts[] = {
      "[include]\n\tpath = " + (h.home.path() / "included").string() + "\n",
      "[includeIf \"gitdir:/\"]\n\tpath = " + (h.home.path() / "included").string() + "\n",
      "[user]\n\tname = \"Quoted  Name\"\n",
      "[user]\n\tname = Back\\\\slash\n",
      "[user]\n\tname = Continued \\\n on the next line\n",
      "[user] name = Same Line\n",
      "[user.old]\n\tname = Old Style\n",
      "name = Before Any Section\n",
  };
  for (const auto& text : doubts) {
    write_file(h.home.path() / ".gitconfig", text);
    SCOPED_TRACE(text);
    EXPECT_FALSE(tv::parse_config_text(text).has_value());
    h.expect_as_git(false);
  }
  write_file(h.home.path() / ".gitconfig", "[user]\n\tname = Plain\n");
  h.expect_as_git(true);
  {
    ScopedEnv params("GIT_CONFIG_PARAMETERS", "'user.name'='From Parameters'");
    h.expect_as_git(false);
    EXPECT_EQ(tv::user_identity_config(h.repo.root()), "user.name Plain\nuser.name From Parameters");
  }
  {
    ScopedEnv count("GIT_CONFIG_COUNT", "1");
    ScopedEnv key("GIT_CONFIG_KEY_0", "user.email");
    ScopedEnv value("GIT_CONFIG_VALUE_0", "counted@example.com");
    h.expect_as_git(false);
  }
  {
    ScopedEnv unclear("GIT_CONFIG_NOSYSTEM", "maybe");
    EXPECT_FALSE(h.read_from_files());
  }
  {
    ScopedEnv no_home("HOME", std::nullopt);
    EXPECT_FALSE(h.read_from_files());
  }
  // A file too large, and a folder where the file should be.
  write_file(h.home.path() / ".gitconfig", "[user]\n\tname = Big\n" + std::string(2u << 20, '#') + "\n");
  h.expect_as_git(false);
  fs::remove(h.home.path() / ".gitconfig");
  fs::create_directory(h.home.path() / ".gitconfig");
  EXPECT_FALSE(h.read_from_files());
  fs::remove(h.home.path() / ".gitconfig");
  // A global file reached through a link is read as git reads it.
  write_file(h.home.path() / "dotfiles/gitconfig", "[user]\n\tname = Linked\n");
  fs::create_symlink(h.home.path() / "dotfiles/gitconfig", h.home.path() / ".gitconfig");
  h.expect_as_git(true);
}

TEST(ConfigFiles, WorktreeSettingsOnlyWhenEnabled) {
  Homes h;
  h.repo.commit_file("a.txt", "a\n", "first");
  TempDir outside;
  const fs::path wt = outside.path() / "wt";
  h.repo.git({"worktree", "add", "-q", "-b", "side", wt.string()});
  h.repo.git({"config", "user.name", "Shared"});
  write_file(h.repo.root() / ".git/worktrees/wt/config.worktree", "[user]\n\tname = Worktree Only\n");
  EXPECT_EQ(tv::user_identity_config(wt), git_answer(wt));
  EXPECT_EQ(tv::user_identity_config(wt), "user.name Shared");
  h.repo.git({"config", "extensions.worktreeConfig", "true"});
  EXPECT_EQ(tv::user_identity_config(wt), git_answer(wt));
  EXPECT_EQ(tv::user_identity_config(wt), "user.name Shared\nuser.name Worktree Only");
  // As a hook in that worktree sees it: git names the git directory.
  ScopedEnv dir("GIT_DIR", (h.repo.root() / ".git/worktrees/wt").string());
  auto dirs = tv::locate_git_dirs(h.repo.root());
  ASSERT_TRUE(dirs.has_value());
  EXPECT_EQ(dirs->gitdir, h.repo.root() / ".git/worktrees/wt");
  EXPECT_EQ(tv::user_identity_config(h.repo.root()), git_answer(h.repo.root()));
}
