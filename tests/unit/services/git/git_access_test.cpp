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

namespace tv = brenik::services::tolvern;
using brenik::testing::ScopedCwd;
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
  auto ident = tv::detail::git_run({"var", "GIT_AUTHOR_IDENT"},
                                   {.cwd = repo.root(), .env = {{"GIT_AUTHOR_NAME", "Ada Run"}}});
  ASSERT_TRUE(ident.ok());
  EXPECT_EQ(ident.out.rfind("Ada Run <", 0), 0u) << ident.out;
  auto bad = tv::detail::git_run({"rev-parse", "--verify", "no-such-ref"},
                                 {.cwd = repo.root(), .capture_stderr = true});
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
                         ::testing::Values("modification", "addition", "deletion", "rename",
                                           "mode_change", "binary", "root_commit"));

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
