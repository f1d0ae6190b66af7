// The small repository reads the command line makes through the library:
// on real repositories, and the empty answers when git has none.
#include <gtest/gtest.h>

#include "services/git/repo_reads.hpp"
#include "support/temp_repo.hpp"

namespace tv = brenik::services::tolvern;
using brenik::testing::ScopedEnv;
using brenik::testing::TempDir;
using brenik::testing::TempRepo;

TEST(RepoReads, TrackedFilesAreTheTrackedOnesUnderTheFolderOnly) {
  TempRepo repo;
  repo.commit_file(".brenik/.platform/log.jsonl", "{}\n", "log");
  repo.commit_file(".brenik/.platform/odd name\nwith break", "x", "odd");
  repo.commit_file(".brenik/config.yaml", "a: 1\n", "config");
  brenik::testing::write_file(repo.root() / ".brenik/.platform/untracked.txt", "y");
  EXPECT_EQ(tv::tracked_files(repo.root(), ".brenik/.platform"),
            (std::vector<std::string>{".brenik/.platform/log.jsonl", ".brenik/.platform/odd name\nwith break"}));
  EXPECT_TRUE(tv::tracked_files(repo.root(), "missing").empty());
  TempDir plain;
  EXPECT_TRUE(tv::tracked_files(plain.path(), ".").empty());
}

TEST(RepoReads, HeadCommitTimeIsTheCommitterTime) {
  TempRepo repo;
  EXPECT_FALSE(tv::head_commit_time(repo.root()).has_value());  // no commit yet
  {
    ScopedEnv date("GIT_COMMITTER_DATE", "@1700000000 +0200");
    repo.commit_file("a.txt", "one\n", "first");
  }
  EXPECT_EQ(tv::head_commit_time(repo.root()), 1700000000);
  TempDir plain;
  EXPECT_FALSE(tv::head_commit_time(plain.path()).has_value());
}

TEST(RepoReads, ConfigValueComesAsGitGivesIt) {
  TempRepo repo;
  EXPECT_FALSE(tv::git_config_value(repo.root(), "core.pager").has_value());
  repo.git({"config", "core.pager", "less -R"});
  EXPECT_EQ(tv::git_config_value(repo.root(), "core.pager"), "less -R\n");
  repo.git({"config", "core.pager", ""});
  EXPECT_EQ(tv::git_config_value(repo.root(), "core.pager"), "\n");
}
