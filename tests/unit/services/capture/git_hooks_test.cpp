// The git hooks' pure parts: reading post-rewrite's input, and finding the
// main worktree whose state a linked worktree shares.
#include <gtest/gtest.h>

#include "services/capture/git_hooks.hpp"
#include "services/shared.hpp"
#include "services/git/worktree_discovery.hpp"
#include "support/temp_repo.hpp"

namespace brenik::testing {
namespace {

namespace hooks = services::tolvern::git_hooks;

const std::string A(40, 'a'), B(40, 'b'), C(40, 'c'), D(40, 'd');

TEST(RewriteInput, GroupsSquashedCommitsUnderTheirNewCommitInOrder) {
  auto r = hooks::parse_rewrite_input(A + " " + C + "\n" + B + " " + C + "\n" + D + " " + A + " extra\n");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].new_commit, C);
  EXPECT_EQ(r[0].old_commits, (std::vector<std::string>{A, B}));
  EXPECT_EQ(r[1].new_commit, A);
  EXPECT_EQ(r[1].old_commits, (std::vector<std::string>{D}));
}

TEST(RewriteInput, SkipsWhatIsNotTwoCommitIds) {
  auto r = hooks::parse_rewrite_input("\n" + A + "\n" + A + " HEAD\n../x " + B + "\n" + A.substr(1) + " " + B + "\n" +
                                      A + " " + B + "\r\n" + A + " " + B + "\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].new_commit, B);
  EXPECT_EQ(r[0].old_commits, (std::vector<std::string>{A}));
}

TEST(MainWorktree, FoundForALinkedWorktreeOnlyAndStateFollowsTheSetUpOne) {
  TempRepo repo;
  repo.commit_file("f", "1\n", "init");
  TempDir outside;
  const fs::path wt = outside.path() / "wt";
  repo.git({"worktree", "add", "-q", "-b", "w", wt.string()});
  namespace sd = services::shared::detail;
  EXPECT_FALSE(sd::main_worktree_of(repo.root()));
  auto main = sd::main_worktree_of(wt);
  ASSERT_TRUE(main);
  EXPECT_TRUE(fs::equivalent(*main, repo.root()));
  // Not set up anywhere: each worktree is its own.
  EXPECT_EQ(services::shared::brenik_root(wt), wt);
  write_file(repo.root() / ".brenik/.platform/config.yaml", "agents: []\n");
  EXPECT_TRUE(fs::equivalent(services::shared::brenik_root(wt), repo.root()));
  // A worktree set up on its own keeps its own state.
  write_file(wt / ".brenik/.platform/config.yaml", "agents: []\n");
  EXPECT_EQ(services::shared::brenik_root(wt), wt);
}

TEST(MainWorktree, NoneForASubmoduleOrAForgedCommonDir) {
  TempRepo sub_source;
  sub_source.commit_file("s", "1\n", "init");
  TempRepo repo;
  repo.commit_file("f", "1\n", "init");
  repo.git({"-c", "protocol.file.allow=always", "submodule", "add", "-q", sub_source.root().string(), "sub"});
  EXPECT_FALSE(services::shared::detail::main_worktree_of(repo.root() / "sub"));

  // A .git file naming a git directory whose commondir points at a folder
  // that is not that main worktree's .git.
  TempDir forged;
  fs::create_directories(forged.path() / "gd");
  write_file(forged.path() / "gd/HEAD", "ref: refs/heads/main\n");
  write_file(forged.path() / "gd/commondir", (repo.root() / "sub").string() + "\n");
  write_file(forged.path() / "tree/.git", "gitdir: " + (forged.path() / "gd").string() + "\n");
  EXPECT_FALSE(services::shared::detail::main_worktree_of(forged.path() / "tree"));
}

}  // namespace
}  // namespace brenik::testing
