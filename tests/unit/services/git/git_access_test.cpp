// Git access on real repositories, SHA-1 and SHA-256, and the agreement
// between the staged hash an agent computes and the commit's diff hash.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "services/git/git.hpp"
#include "services/shared.hpp"
#include "support/cwd.hpp"
#include "support/temp_repo.hpp"
#include "utils/process.hpp"
#include "utils/sha256.hpp"
#include "utils/text.hpp"

namespace tv = brenik::services::tolvern;
using brenik::testing::ScopedCwd;
using brenik::testing::ScopedEnv;
using brenik::testing::TempDir;
using brenik::testing::TempRepo;
using brenik::testing::write_file;

class GitAccess : public ::testing::TestWithParam<std::string> {};

INSTANTIATE_TEST_SUITE_P(ObjectFormats, GitAccess, ::testing::Values("sha1", "sha256"));

TEST_P(GitAccess, LookupsAnswerForTheGivenDirectoryOnly) {
  TempRepo repo(GetParam());
  const auto head = repo.commit_file("a.txt", "one\n", "first");
  const std::size_t id_len = GetParam() == "sha1" ? 40 : 64;
  ASSERT_EQ(head.size(), id_len);
  EXPECT_EQ(tv::detail::git_rev_parse({"HEAD"}, {.cwd = repo.root()}), head);
  EXPECT_EQ(tv::detail::git_rev_parse({"--abbrev-ref", "HEAD"}, {.cwd = repo.root()}), "main");
  // A directory that does not exist is never answered for by the repository
  // the process happens to run in.
  ScopedCwd inside(repo.root());
  EXPECT_EQ(tv::detail::git_rev_parse({"HEAD"}, {.cwd = repo.root() / "missing"}), "unknown");
  TempDir plain;
  EXPECT_EQ(tv::detail::git({"rev-parse", "HEAD"}, {.cwd = plain.path()}), "");
  EXPECT_EQ(tv::detail::git({"log", "-1", "--format=%s%n%n"}, {.cwd = repo.root()}), "first");
}

TEST_P(GitAccess, RunGivesRawOutputStderrAndTheGivenEnvironment) {
  TempRepo repo(GetParam());
  repo.commit_file("a.txt", "one\n", "first");
  // Raw: the trailing newline git prints is kept.
  auto log = tv::detail::git_run({"log", "-1", "--format=%s"}, {.cwd = repo.root()});
  ASSERT_TRUE(log.ok());
  EXPECT_EQ(log.out, "first\n");
  // The environment given reaches git, and its stderr is captured on request.
  auto ident =
      tv::detail::git_run({"var", "GIT_AUTHOR_IDENT"}, {.cwd = repo.root(), .env = {{"GIT_AUTHOR_NAME", "Ada Run"}}});
  ASSERT_TRUE(ident.ok());
  EXPECT_EQ(ident.out.rfind("Ada Run <", 0), 0u) << ident.out;
  auto bad =
      tv::detail::git_run({"rev-parse", "--verify", "no-such-ref"}, {.cwd = repo.root(), .capture_stderr = true});
  EXPECT_FALSE(bad.ok());
  EXPECT_FALSE(bad.err.empty());
  auto quiet = tv::detail::git_run({"rev-parse", "--verify", "no-such-ref"}, {.cwd = repo.root()});
  EXPECT_TRUE(quiet.err.empty());
}

TEST_P(GitAccess, ResolvesShortIdsAndRejectsWhatIsNotACommit) {
  TempRepo repo(GetParam());
  const auto head = repo.commit_file("a.txt", "one\n", "first");
  EXPECT_EQ(tv::detail::resolve_full_sha(repo.root(), head.substr(0, 7)), head);
  EXPECT_EQ(tv::detail::resolve_full_sha(repo.root(), "HEAD"), head);
  EXPECT_EQ(tv::detail::resolve_full_sha(repo.root(), "main"), head);
  EXPECT_EQ(tv::detail::resolve_full_sha(repo.root(), "nosuchref"), std::nullopt);
  auto tree = brenik::utils::strip(repo.git({"rev-parse", "HEAD^{tree}"}));
  EXPECT_EQ(tv::detail::resolve_full_sha(repo.root(), tree), std::nullopt);
  EXPECT_EQ(tv::detail::resolve_full_sha(repo.root() / "missing", "HEAD"), std::nullopt);
}

TEST_P(GitAccess, DiffHashFindsRootCommitsNewestTwinsAndOnlyTheWindow) {
  TempRepo repo(GetParam());
  ScopedCwd inside(repo.root());
  const auto root = repo.commit_file("a.txt", "one\n", "root");
  auto hash_of = [&](const std::string& id) {
    auto r = brenik::utils::run({"git", "diff-tree", "-p", "-M", "--no-commit-id", id}, {});
    if (brenik::utils::strip(r.out).empty()) {
      const char* empty = id.size() == 64 ? tv::detail::GIT_EMPTY_TREE_SHA256 : tv::detail::GIT_EMPTY_TREE_SHA;
      r = brenik::utils::run({"git", "diff", empty, id}, {});
    }
    return tv::detail::patch_hash(r.out);
  };
  EXPECT_EQ(tv::detail::find_commit_by_diff_hash(hash_of(root)), root);
  EXPECT_EQ(tv::detail::find_commit_by_diff_hash(std::nullopt), std::nullopt);
  EXPECT_EQ(tv::detail::find_commit_by_diff_hash(std::string()), std::nullopt);

  // Two commits with byte-identical patches: the newer one wins.
  repo.commit_file("b.txt", "same\n", "add b");
  repo.git({"rm", "-q", "b.txt"});
  repo.git({"commit", "-q", "-m", "remove b"});
  const auto twin = repo.commit_file("b.txt", "same\n", "add b again");
  EXPECT_EQ(tv::detail::find_commit_by_diff_hash(hash_of(twin)), twin);

  // Outside the window of the newest commits nothing is found.
  for (int i = 0; i < 3; ++i) repo.commit_file("c.txt", std::to_string(i) + "\n", "c" + std::to_string(i));
  EXPECT_EQ(tv::detail::find_commit_by_diff_hash(hash_of(root), 3), std::nullopt);
  EXPECT_EQ(tv::detail::find_commit_by_diff_hash(hash_of(root)), root);
}

TEST(GitAccessPatchHash, CrLfPatchHashesLikeItsLfForm) {
  EXPECT_EQ(tv::detail::patch_hash("a\r\nb\r\n"), tv::detail::patch_hash("a\nb\n"));
  EXPECT_EQ(tv::detail::patch_hash("a\r\nb\n"), brenik::utils::sha256_hex("a\nb\n"));
  EXPECT_NE(tv::detail::patch_hash("a\rb"), brenik::utils::sha256_hex("ab"));
}

TEST(GitAccessPatchHash, CrLfContentStillMatchesItsCommit) {
  TempRepo repo;
  ScopedCwd inside(repo.root());
  repo.commit_file("base.txt", "base\n", "base");
  write_file(repo.root() / "dos.txt", "line one\r\nline two\r\n");
  repo.git({"add", "dos.txt"});
  const auto staged = brenik::services::shared::get_staged_diff_hash(repo.root());
  repo.git({"commit", "-q", "-m", "dos"});
  EXPECT_EQ(tv::detail::find_commit_by_diff_hash(staged), repo.head());
}

TEST(GitAccessOutsideRepository, FindsNothing) {
  TempDir plain;
  ScopedCwd inside(plain.path());
  EXPECT_EQ(tv::detail::find_commit_by_diff_hash(std::string(64, 'a')), std::nullopt);
}

// For every kind of staged change, the hash taken before the commit (the
// way `git diff --staged | shasum -a 256` takes it) is the diff hash of the
// commit it became.
struct StagedCase {
  std::string name;
  std::function<void(TempRepo&)> stage;
};

class StagedHashAgreement : public ::testing::TestWithParam<std::string> {};

INSTANTIATE_TEST_SUITE_P(Changes, StagedHashAgreement,
                         ::testing::Values("modification", "addition", "deletion", "rename", "mode_change", "binary",
                                           "root_commit"));

TEST_P(StagedHashAgreement, StagedHashEqualsTheCommitsDiffHash) {
  TempRepo repo;
  ScopedCwd inside(repo.root());
  const std::string kind = GetParam();
  std::string body;
  for (int i = 0; i < 40; ++i) body += "line " + std::to_string(i) + " of a file long enough to rename\n";
  if (kind != "root_commit") {
    write_file(repo.root() / "keep.txt", body);
    write_file(repo.root() / "gone.txt", "to be deleted\n");
    repo.git({"add", "."});
    repo.git({"commit", "-q", "-m", "base"});
  }
  if (kind == "modification") {
    write_file(repo.root() / "keep.txt", body + "one more\n");
  } else if (kind == "addition" || kind == "root_commit") {
    write_file(repo.root() / "new.txt", "brand new\n");
  } else if (kind == "deletion") {
    repo.git({"rm", "-q", "gone.txt"});
  } else if (kind == "rename") {
    repo.git({"mv", "keep.txt", "moved.txt"});
  } else if (kind == "mode_change") {
    ::chmod((repo.root() / "keep.txt").c_str(), 0755);
  } else if (kind == "binary") {
    write_file(repo.root() / "blob.bin", std::string("\x00\x01\x02\xff binary", 11));
  }
  repo.git({"add", "-A"});
  const auto staged = brenik::services::shared::get_staged_diff_hash(repo.root());
  auto piped = brenik::utils::run({"sh", "-c", "git diff --staged | sha256sum | cut -d' ' -f1"}, {});
  EXPECT_EQ(brenik::utils::strip(piped.out), staged);
  repo.git({"commit", "-q", "-m", kind});
  EXPECT_EQ(tv::detail::find_commit_by_diff_hash(staged), repo.head()) << kind;
}

TEST_P(GitAccess, CommitMetadataResolvesAndReadsInOneCall) {
  TempRepo repo(GetParam());
  repo.commit_file("a.txt", "one\n", "first");
  const auto head = repo.commit_file("a.txt", "two\n", "second line\n\nbody text");
  auto m = tv::detail::commit_metadata(repo.root(), "HEAD");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->id, head);
  EXPECT_EQ(m->subject, "second line");
  EXPECT_EQ(m->author_name, brenik::utils::strip(repo.git({"log", "-1", "--format=%an"})));
  EXPECT_EQ(m->author_email, brenik::utils::strip(repo.git({"log", "-1", "--format=%ae"})));
  EXPECT_EQ(m->author_date, brenik::utils::strip(repo.git({"log", "-1", "--format=%aI"})));
  EXPECT_FALSE(m->author_name.empty());
  // A short id and an annotated tag both name the commit.
  auto short_id = tv::detail::commit_metadata(repo.root(), head.substr(0, 10));
  ASSERT_TRUE(short_id);
  EXPECT_EQ(short_id->id, head);
  repo.git({"tag", "-a", "-m", "tagged", "v1", "HEAD~1"});
  auto tagged = tv::detail::commit_metadata(repo.root(), "v1");
  ASSERT_TRUE(tagged);
  EXPECT_EQ(tagged->id, brenik::utils::strip(repo.git({"rev-parse", "HEAD~1"})));
  EXPECT_EQ(tagged->subject, "first");
  // What names no commit gives nothing: a tree, an unknown name, an option.
  EXPECT_FALSE(tv::detail::commit_metadata(repo.root(), "HEAD^{tree}"));
  EXPECT_FALSE(tv::detail::commit_metadata(repo.root(), "no-such-ref"));
  EXPECT_FALSE(tv::detail::commit_metadata(repo.root(), "--all"));
  EXPECT_FALSE(tv::detail::commit_metadata(repo.root(), ""));
  // A file named like a revision does not turn it into a path.
  write_file(repo.root() / "HEAD~1", "x\n");
  auto beside_file = tv::detail::commit_metadata(repo.root(), "HEAD~1");
  ASSERT_TRUE(beside_file);
  EXPECT_EQ(beside_file->id, brenik::utils::strip(repo.git({"rev-parse", "HEAD~1"})));
}

TEST_P(GitAccess, CommitMetadataKeepsEmptyFieldsInPlace) {
  TempRepo repo(GetParam());
  repo.commit_file("a.txt", "one\n", "first");
  repo.git(
      {"-c", "user.email=", "commit", "--allow-empty", "--allow-empty-message", "-m", "", "--author", "Nobody <>"});
  auto m = tv::detail::commit_metadata(repo.root(), "HEAD");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->id, repo.head());
  EXPECT_EQ(m->author_name, "Nobody");
  EXPECT_EQ(m->author_email, "");
  EXPECT_EQ(m->subject, "");
  EXPECT_EQ(m->author_date, brenik::utils::strip(repo.git({"log", "-1", "--format=%aI"})));
}

// The branch of HEAD: the same answer as `git rev-parse --abbrev-ref HEAD`,
// read from the files when certain. With git off the PATH only the files can
// answer, so those checks show which way each answer came.
class HeadBranch : public ::testing::Test {
protected:
  static std::string git_answer(const std::filesystem::path& dir) {
    return tv::detail::git_rev_parse({"--abbrev-ref", "HEAD"}, {.cwd = dir});
  }
  static std::string files_answer(const std::filesystem::path& dir) {
    ScopedEnv no_git("PATH", std::string("/nonexistent"));
    return tv::detail::head_branch(dir);
  }
};

TEST_F(HeadBranch, ReadFromTheFilesForLooseAndPackedBranchesWithSlashes) {
  TempRepo repo;
  repo.commit_file("a.txt", "one\n", "first");
  EXPECT_EQ(tv::detail::head_branch(repo.root()), "main");
  EXPECT_EQ(files_answer(repo.root()), "main");
  repo.git({"checkout", "-q", "-b", "feature/deep/name"});
  EXPECT_EQ(git_answer(repo.root()), "feature/deep/name");
  EXPECT_EQ(tv::detail::head_branch(repo.root()), "feature/deep/name");
  EXPECT_EQ(files_answer(repo.root()), "feature/deep/name");
  // Packed: no loose file left for the branch.
  repo.git({"pack-refs", "--all", "--prune"});
  ASSERT_FALSE(std::filesystem::exists(repo.root() / ".git/refs/heads/feature/deep/name"));
  EXPECT_EQ(files_answer(repo.root()), "feature/deep/name");
  EXPECT_EQ(tv::detail::head_branch(repo.root()), git_answer(repo.root()));
}

TEST_F(HeadBranch, LinkedWorktreeReadsItsOwnHeadWithOrWithoutGitDirSet) {
  TempRepo repo;
  repo.commit_file("a.txt", "one\n", "first");
  TempDir outside;
  const auto wt = outside.path() / "linked";
  repo.git({"worktree", "add", "-q", "-b", "wt/topic", wt.string()});
  EXPECT_EQ(git_answer(wt), "wt/topic");
  EXPECT_EQ(tv::detail::head_branch(wt), "wt/topic");
  EXPECT_EQ(files_answer(wt), "wt/topic");
  EXPECT_EQ(files_answer(repo.root()), "main");
  // git sets GIT_DIR for hooks run in a linked worktree.
  ScopedEnv gitdir("GIT_DIR", brenik::utils::strip(brenik::testing::git(wt, {"rev-parse", "--absolute-git-dir"})));
  EXPECT_EQ(files_answer(wt), "wt/topic");
  EXPECT_EQ(tv::detail::head_branch(wt), "wt/topic");
}

TEST_F(HeadBranch, DetachedUnbornAndAmbiguousAreLeftToGit) {
  TempRepo repo;
  repo.commit_file("a.txt", "one\n", "first");
  // Detached.
  repo.git({"checkout", "-q", "--detach"});
  EXPECT_EQ(tv::detail::head_branch(repo.root()), "HEAD");
  EXPECT_EQ(files_answer(repo.root()), "unknown");
  // A tag of the branch's name: git names the branch heads/<name>.
  repo.git({"checkout", "-q", "main"});
  repo.git({"tag", "main"});
  EXPECT_EQ(git_answer(repo.root()), "heads/main");
  EXPECT_EQ(tv::detail::head_branch(repo.root()), "heads/main");
  EXPECT_EQ(files_answer(repo.root()), "unknown");
  // The same with the tag packed.
  repo.git({"pack-refs", "--all", "--prune"});
  EXPECT_EQ(tv::detail::head_branch(repo.root()), "heads/main");
  EXPECT_EQ(files_answer(repo.root()), "unknown");
  // Unborn: no commit on the branch yet, so git has no short name for it.
  repo.git({"checkout", "-q", "--orphan", "fresh/start"});
  EXPECT_EQ(tv::detail::head_branch(repo.root()), git_answer(repo.root()));
  EXPECT_EQ(tv::detail::head_branch(repo.root()), "unknown");
  EXPECT_EQ(files_answer(repo.root()), "unknown");
}

TEST_F(HeadBranch, ABranchPointingAtAnotherRefOrAPlantedHeadIsLeftToGit) {
  TempRepo repo;
  repo.commit_file("a.txt", "one\n", "first");
  repo.git({"branch", "target"});
  repo.git({"symbolic-ref", "refs/heads/alias", "refs/heads/target"});
  repo.git({"symbolic-ref", "HEAD", "refs/heads/alias"});
  EXPECT_EQ(tv::detail::head_branch(repo.root()), git_answer(repo.root()));
  EXPECT_EQ(files_answer(repo.root()), "unknown");
  repo.git({"symbolic-ref", "HEAD", "refs/heads/main"});
  // HEAD as a link (a hostile clone) is not followed by the reader.
  TempDir elsewhere;
  write_file(elsewhere.path() / "HEAD", "ref: refs/heads/main\n");
  std::filesystem::remove(repo.root() / ".git/HEAD");
  std::filesystem::create_symlink(elsewhere.path() / "HEAD", repo.root() / ".git/HEAD");
  EXPECT_EQ(files_answer(repo.root()), "unknown");
}
