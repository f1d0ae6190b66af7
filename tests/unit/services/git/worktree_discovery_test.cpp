// Finding the worktree root without git must give git's own answer, or
// leave the question to git; never another answer.
#include <gtest/gtest.h>

#include "services/shared.hpp"
#include "services/git/worktree_discovery.hpp"
#include "support/temp_repo.hpp"
#include "utils/process.hpp"

namespace fs = std::filesystem;
using brenik::services::shared::detail::discover_worktree_root;
using brenik::testing::ScopedEnv;
using brenik::testing::TempDir;
using brenik::testing::TempRepo;

namespace {

std::optional<fs::path> git_toplevel(const fs::path& dir) {
  auto r = brenik::utils::run({"git", "rev-parse", "--show-toplevel"}, {.cwd = dir, .timeout_seconds = 30.0});
  if (!r.ok()) return std::nullopt;
  std::string out = r.out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return fs::path(out);
}

// Where the walk answers, it answers as git does; get_repo_root always does.
void expect_as_git(const fs::path& dir, bool walk_answers) {
  const auto walked = discover_worktree_root(dir);
  EXPECT_EQ(walked.has_value(), walk_answers) << dir;
  const auto git = git_toplevel(dir);
  if (walked) {
    ASSERT_TRUE(git) << dir;
    EXPECT_EQ(*walked, *git) << dir;
  }
  if (git) {
    EXPECT_EQ(brenik::services::shared::get_repo_root(dir), *git) << dir;
  }
}

}  // namespace

TEST(WorktreeDiscovery, PlainRepositoriesLinkedWorktreesAndLinkedPaths) {
  TempRepo repo;
  repo.commit_file("src/deep/a.txt", "a\n", "first");
  expect_as_git(repo.root(), true);
  expect_as_git(repo.root() / "src" / "deep", true);

  TempDir other;
  const fs::path linked = other.path() / "wt";
  repo.git({"worktree", "add", "-q", linked.string()});
  expect_as_git(linked, true);

  const fs::path alias = other.path() / "alias";
  fs::create_directory_symlink(repo.root() / "src", alias);
  expect_as_git(alias, true);  // git answers with the resolved path, and so do we

  // A repository nested inside another one's worktree is its own root.
  const fs::path inner = repo.root() / "vendor" / "inner";
  fs::create_directories(inner.parent_path());
  brenik::testing::git(repo.root(), {"init", "-q", inner.string()});
  expect_as_git(inner, true);
}

// git names the git directory to the hooks of a linked worktree: the
// directory git runs in is then the top of the worktree, as git says.
TEST(WorktreeDiscovery, NamedGitDirectoryAnswersAsGit) {
  TempRepo repo;
  repo.commit_file("src/deep/a.txt", "a\n", "first");
  TempDir other;
  const fs::path linked = other.path() / "wt";
  repo.git({"worktree", "add", "-q", linked.string()});
  {
    ScopedEnv git_dir("GIT_DIR", (repo.root() / ".git").string());
    expect_as_git(repo.root(), true);
    expect_as_git(repo.root() / "src" / "deep", true);
    expect_as_git(linked, true);
  }
  {
    ScopedEnv git_dir("GIT_DIR", (repo.root() / ".git" / "worktrees" / "wt").string());
    expect_as_git(linked, true);
    expect_as_git(linked / "src", true);
    EXPECT_EQ(*discover_worktree_root(linked / "src"), fs::canonical(linked / "src"));
  }
  {
    ScopedEnv git_dir("GIT_DIR", ".git");
    expect_as_git(repo.root(), true);
  }
  {
    ScopedEnv git_dir("GIT_DIR", (other.path() / "not-a-git-dir").string());
    EXPECT_FALSE(discover_worktree_root(repo.root()));
  }
  // The shared configuration makes the repository bare: git decides.
  repo.git({"config", "core.bare", "true"});
  ScopedEnv git_dir("GIT_DIR", (repo.root() / ".git" / "worktrees" / "wt").string());
  EXPECT_FALSE(discover_worktree_root(linked));
}

TEST(WorktreeDiscovery, LeavesEveryUnusualCaseToGit) {
  TempRepo repo;
  repo.commit_file("a.txt", "a\n", "first");
  expect_as_git(repo.root() / ".git", false);  // inside the git directory
  expect_as_git(repo.root() / ".git" / "objects", false);

  TempDir bare_parent;
  const fs::path bare = bare_parent.path() / "bare.git";
  brenik::testing::git(bare_parent.path(), {"init", "-q", "--bare", bare.string()});
  expect_as_git(bare, false);

  TempDir elsewhere;
  repo.git({"config", "core.worktree", elsewhere.path().string()});
  EXPECT_FALSE(discover_worktree_root(repo.root()));
  {
    ScopedEnv git_dir("GIT_DIR", (repo.root() / ".git").string());
    EXPECT_FALSE(discover_worktree_root(repo.root()));
  }
  repo.git({"config", "--unset", "core.worktree"});
  repo.git({"config", "core.bare", "true"});
  EXPECT_FALSE(discover_worktree_root(repo.root()));
  repo.git({"config", "core.bare", "false"});
  expect_as_git(repo.root(), true);

  TempDir plain;
  EXPECT_FALSE(discover_worktree_root(plain.path()) && git_toplevel(plain.path()));
  EXPECT_FALSE(discover_worktree_root(plain.path() / "missing"));
}
