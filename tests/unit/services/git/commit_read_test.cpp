// Reading a commit from its object file must print exactly what
// `git show -s --format=...` prints for it, or leave the question to git.
#include "services/git/commit_read.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "services/git/git.hpp"
#include "support/temp_repo.hpp"
#include "utils/process.hpp"

namespace fs = std::filesystem;
namespace tv = brenik::services::tolvern::detail;
using brenik::testing::ScopedEnv;
using brenik::testing::TempRepo;

namespace {

const char* const FORMAT = "--format=%H%n%aI%n%an%n%ae%n%s";
const char* const TREE = "4b825dc642cb6eb9a060e54bf8d69288fbee4904";  // the empty tree

std::string git_show(const fs::path& dir, const std::string& revision) {
  auto r = brenik::utils::run({"git", "show", "-s", "--no-show-signature", FORMAT, revision + "^{commit}", "--"},
                              {.cwd = dir, .timeout_seconds = 30.0});
  EXPECT_TRUE(r.ok()) << r.err;
  return r.out;
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// Writes a commit object as given, byte for byte, and returns its id.
std::string write_commit_object(const TempRepo& repo, const std::string& text) {
  auto r = brenik::utils::run({"git", "hash-object", "-t", "commit", "-w", "--literally", "--stdin"},
                              {.cwd = repo.root(), .timeout_seconds = 30.0, .stdin_data = text});
  EXPECT_TRUE(r.ok()) << r.err;
  return trimmed(r.out);
}

// Read from the files, and the same as git; the metadata agrees too.
void expect_read_as_git(const fs::path& dir, const std::string& revision) {
  const auto read = tv::show_commit_from_files(dir, revision);
  ASSERT_TRUE(read.has_value()) << "not read from the files: " << revision << "\n" << git_show(dir, revision);
  EXPECT_EQ(*read, git_show(dir, revision)) << revision;
}

// Left to git, and commit_metadata still gives git's answer.
void expect_left_to_git(const fs::path& dir, const std::string& revision) {
  EXPECT_FALSE(tv::show_commit_from_files(dir, revision).has_value()) << revision;
  const auto shown = git_show(dir, revision);
  const auto meta = tv::commit_metadata(dir, revision);
  ASSERT_TRUE(meta.has_value());
  EXPECT_EQ(meta->id + "\n", shown.substr(0, shown.find('\n') + 1));
}

}  // namespace

TEST(CommitRead, CommitsMadeByGitReadAsGitShowsThem) {
  TempRepo repo;
  struct Case {
    std::string name, email, date, message;
  };
  const std::vector<Case> cases = {
      {"Ada Lovelace", "ada@example.com", "1700000000 +0000", "plain subject"},
      {"Zoë Ñúñez 李", "zoë@exämple.org", "1700000001 -0330", "UTF-8 subject: ça va? 日本"},
      {"  Spaced   Name ", "odd email with spaces@x", "1700000002 +0545", "half and quarter hours"},
      {"N", "", "1700000003 +1400", "empty email"},
      {"Late", "late@example.com", "1700000004 -1200", "first line\nsecond line of the same paragraph\n\nbody"},
      {"Tabs", "t@example.com", "1234567890 +0100", "tab\tinside   and trailing   \nnext\t\n\nbody"},
      {"Old", "old@example.com", "100000000 -0100", "early in 1973"},
  };
  int n = 0;
  for (const auto& c : cases) {
    brenik::testing::write_file(repo.root() / "f.txt", std::to_string(n++));
    repo.git({"add", "f.txt"});
    auto r = brenik::utils::run(
        {"git", "commit", "-q", "--cleanup=verbatim", "-m", c.message},
        {.cwd = repo.root(),
         .timeout_seconds = 30.0,
         .env = {{"GIT_AUTHOR_NAME", c.name}, {"GIT_AUTHOR_EMAIL", c.email}, {"GIT_AUTHOR_DATE", c.date}}});
    ASSERT_TRUE(r.ok()) << r.err;
    expect_read_as_git(repo.root(), "HEAD");
    expect_read_as_git(repo.root(), repo.head());
    const auto meta = tv::commit_metadata(repo.root(), "HEAD");
    ASSERT_TRUE(meta.has_value());
    EXPECT_EQ(meta->id, repo.head());
  }
  // An empty message, allowed on purpose.
  auto r = brenik::utils::run({"git", "commit", "-q", "--allow-empty", "--allow-empty-message", "-m", ""},
                              {.cwd = repo.root(), .timeout_seconds = 30.0});
  ASSERT_TRUE(r.ok()) << r.err;
  expect_read_as_git(repo.root(), "HEAD");
  EXPECT_EQ(tv::commit_metadata(repo.root(), "HEAD")->subject, "");
}

TEST(CommitRead, CraftedObjectsReadAsGitShowsThem) {
  TempRepo repo;
  const std::string parent = repo.commit_file("a.txt", "a\n", "base");
  const std::string committer = "committer C <c@example.com> 1700000000 +0000\n";
  const std::vector<std::string> objects = {
      // Leading blank lines (also ones holding white space) before the subject.
      "tree " + std::string(TREE) + "\nauthor A <a@x> 1700000000 +0200\n" + committer +
          "\n\n  \n\t\nsubject after blanks\nsame paragraph   \n\nbody\n",
      // A signed commit: its signature header spans lines.
      "tree " + std::string(TREE) + "\nparent " + parent + "\nauthor Signed One <s@x> 1700000000 -0700\n" + committer +
          "gpgsig -----BEGIN PGP SIGNATURE-----\n \n iQEzBAABCAAdFiEE\n author Not Me <no@x> 1 +0000\n "
          "-----END PGP SIGNATURE-----\n\nsigned subject\n",
      // An explicit UTF-8 encoding header, in git's other spelling.
      "tree " + std::string(TREE) + "\nauthor E <e@x> 1700000000 +0000\n" + committer +
          "encoding utf8\n\nencoded ünicode\n",
      // A zero offset written with a minus sign, a message without a newline.
      "tree " + std::string(TREE) + "\nauthor Z <z@x> 1700000000 -0000\n" + committer + "\nno newline at the end",
      // CR LF line ends in the message, bytes that are not UTF-8.
      "tree " + std::string(TREE) + "\nauthor R <r@x> 1700000000 +0930\n" + committer +
          "\nwindows line\r\nsecond\r\n\r\nbody\r\n",
      "tree " + std::string(TREE) + "\nauthor Bad \xff\xfe <b\xc3@x> 1700000000 +0000\n" + committer +
          "\nlatin \xe9t\xe9\n",
      // Only a message of blank lines, and no message at all.
      "tree " + std::string(TREE) + "\nauthor B <b@x> 1700000000 +0000\n" + committer + "\n\n   \n\n",
      "tree " + std::string(TREE) + "\nauthor B <b@x> 1700000000 +0000\n" + committer + "\n",
      // A name with no name, an email with no email.
      "tree " + std::string(TREE) + "\nauthor <> 1700000000 +0000\n" + committer + "\nanonymous\n",
      // A merge commit.
      "tree " + std::string(TREE) + "\nparent " + parent + "\nparent " + parent +
          "\nauthor M <m@x> 1700000000 +0100\n" + committer + "\nMerge branch 'x'\n",
  };
  for (const auto& text : objects) {
    const std::string id = write_commit_object(repo, text);
    ASSERT_EQ(id.size(), 40u);
    expect_read_as_git(repo.root(), id);
    repo.git({"update-ref", "refs/heads/main", id});
    expect_read_as_git(repo.root(), "HEAD");
  }
}

TEST(CommitRead, WhatIsNotPlainIsLeftToGit) {
  TempRepo repo;
  repo.commit_file("a.txt", "a\n", "base");
  const std::string committer = "committer C <c@example.com> 1700000000 +0000\n";
  const std::vector<std::string> objects = {
      // Another encoding: git converts the message.
      "tree " + std::string(TREE) + "\nauthor L <l@x> 1700000000 +0000\n" + committer +
          "encoding ISO-8859-1\n\nlatin \xe9t\xe9\n",
      // Two author lines, an author line git reads another way, an odd offset.
      "tree " + std::string(TREE) + "\nauthor A <a@x> 1 +0000\nauthor B <b@x> 2 +0000\n" + committer + "\ns\n",
      "tree " + std::string(TREE) + "\nauthor A <a@x>  1700000000 +0000\n" + committer + "\ns\n",
      "tree " + std::string(TREE) + "\nauthor A <a@x> 1700000000 +0075\n" + committer + "\ns\n",
      "tree " + std::string(TREE) + "\nauthor A <a> x@y> 1700000000 +0000\n" + committer + "\ns\n",
      // No blank line before the message: git finds none.
      "tree " + std::string(TREE) + "\nauthor A <a@x> 1700000000 +0000\n" + committer + "\r\nnot a message\r\n",
      // Before 1970 in the author's own zone: git refuses to show it.
      "tree " + std::string(TREE) + "\nauthor A <a@x> 60 -0100\n" + committer + "\ns\n",
  };
  for (const auto& text : objects) {
    const std::string id = write_commit_object(repo, text);
    EXPECT_FALSE(tv::show_commit_from_files(repo.root(), id).has_value()) << text;
  }
  const std::string latin = write_commit_object(repo, objects[0]);
  expect_left_to_git(repo.root(), latin);
  EXPECT_EQ(tv::commit_metadata(repo.root(), latin)->subject, "latin \xc3\xa9t\xc3\xa9");
  // A revision other than HEAD or a full id; an id in capitals.
  EXPECT_FALSE(tv::show_commit_from_files(repo.root(), "main").has_value());
  EXPECT_FALSE(tv::show_commit_from_files(repo.root(), "HEAD~0").has_value());
  std::string upper = repo.head();
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_FALSE(tv::show_commit_from_files(repo.root(), upper).has_value());
}

TEST(CommitRead, RefsAndWorktreesAsGitResolvesThem) {
  TempRepo repo;
  repo.commit_file("a.txt", "a\n", "first");
  const std::string second = repo.commit_file("a.txt", "b\n", "second");
  // Packed refs: the branch is found in packed-refs, the object is loose.
  repo.git({"pack-refs", "--all"});
  ASSERT_FALSE(fs::exists(repo.root() / ".git/refs/heads/main"));
  expect_read_as_git(repo.root(), "HEAD");
  // A detached HEAD.
  repo.git({"checkout", "-q", "--detach", "HEAD~1"});
  expect_read_as_git(repo.root(), "HEAD");
  repo.git({"checkout", "-q", "main"});
  // A linked worktree with a commit of its own, read as the hook reads it:
  // from the worktree, and with the GIT_DIR git gives its hooks.
  brenik::testing::TempDir outside;
  const fs::path wt = outside.path() / "wt";
  repo.git({"worktree", "add", "-q", "-b", "side", wt.string()});
  brenik::testing::write_file(wt / "w.txt", "w\n");
  brenik::testing::git(wt, {"add", "w.txt"});
  brenik::testing::git(wt, {"commit", "-q", "-m", "in the worktree"});
  expect_read_as_git(wt, "HEAD");
  EXPECT_NE(*tv::show_commit_from_files(wt, "HEAD"), *tv::show_commit_from_files(repo.root(), "HEAD"));
  {
    ScopedEnv env("GIT_DIR", trimmed(brenik::testing::git(wt, {"rev-parse", "--absolute-git-dir"})));
    expect_read_as_git(wt, "HEAD");
  }
  // Packed objects: git reads them.
  repo.git({"gc", "-q"});
  expect_left_to_git(repo.root(), "HEAD");
  EXPECT_EQ(tv::commit_metadata(repo.root(), "HEAD")->id, second);
}

TEST(CommitRead, RepositorySettingsThatChangeTheAnswerLeaveItToGit) {
  TempRepo repo;
  const std::string first = repo.commit_file("a.txt", "a\n", "first");
  const std::string second = repo.commit_file("a.txt", "b\n", "second");
  expect_read_as_git(repo.root(), "HEAD");
  // A replacement object: git shows another commit's fields.
  repo.git({"replace", second, first});
  expect_left_to_git(repo.root(), "HEAD");
  EXPECT_EQ(tv::commit_metadata(repo.root(), "HEAD")->subject, "first");
  {
    ScopedEnv env("GIT_NO_REPLACE_OBJECTS", "1");
    expect_read_as_git(repo.root(), "HEAD");
  }
  repo.git({"replace", "-d", second});
  // The replacement listed only in packed-refs.
  repo.git({"replace", second, first});
  repo.git({"pack-refs", "--all"});
  fs::remove_all(repo.root() / ".git/refs/replace");
  expect_left_to_git(repo.root(), "HEAD");
  repo.git({"replace", "-d", second});
  expect_read_as_git(repo.root(), "HEAD");
  // Output re-encoded, settings passed on the command line, an include.
  repo.git({"config", "i18n.logOutputEncoding", "ISO-8859-1"});
  expect_left_to_git(repo.root(), "HEAD");
  repo.git({"config", "--unset", "i18n.logOutputEncoding"});
  {
    ScopedEnv env("GIT_CONFIG_PARAMETERS", "'i18n.logoutputencoding'='ISO-8859-1'");
    expect_left_to_git(repo.root(), "HEAD");
  }
  // A repository format git would refuse, or an extension it may not know.
  const fs::path config = repo.root() / ".git/config";
  const std::string plain = brenik::testing::read_file(config);
  brenik::testing::write_file(config, plain + "[core]\n\trepositoryformatversion = 2\n");
  EXPECT_FALSE(tv::show_commit_from_files(repo.root(), "HEAD").has_value());
  EXPECT_FALSE(tv::commit_metadata(repo.root(), "HEAD").has_value());  // git refuses it
  brenik::testing::write_file(config, plain + "[core]\n\trepositoryformatversion = 1\n[extensions]\n\tfuture\n");
  EXPECT_FALSE(tv::show_commit_from_files(repo.root(), "HEAD").has_value());
  brenik::testing::write_file(config, plain);
  expect_read_as_git(repo.root(), "HEAD");
  repo.git({"config", "include.path", "other"});
  expect_left_to_git(repo.root(), "HEAD");
  repo.git({"config", "--unset", "include.path"});
  {
    ScopedEnv env("GIT_OBJECT_DIRECTORY", (repo.root() / ".git/objects").string());
    EXPECT_FALSE(tv::show_commit_from_files(repo.root(), "HEAD").has_value());
  }
  expect_read_as_git(repo.root(), "HEAD");
}

TEST(CommitRead, Sha256RepositoriesAreLeftToGit) {
  TempRepo repo("sha256");
  const std::string head = repo.commit_file("a.txt", "a\n", "first");
  expect_left_to_git(repo.root(), "HEAD");
  EXPECT_EQ(tv::commit_metadata(repo.root(), "HEAD")->id, head);
}

TEST(CommitRead, DatesAndObjectsAtTheirLimits) {
  EXPECT_EQ(tv::iso8601_strict("0", "+0000"), "1970-01-01T00:00:00+00:00");
  EXPECT_EQ(tv::iso8601_strict("1700000000", "-0330"), "2023-11-14T18:43:20-03:30");
  EXPECT_EQ(tv::iso8601_strict("1700000000", "-0000"), "2023-11-14T22:13:20+00:00");
  EXPECT_EQ(tv::iso8601_strict("253402300799", "+0000"), "9999-12-31T23:59:59+00:00");
  EXPECT_FALSE(tv::iso8601_strict("253402300800", "+0000").has_value());
  // Leap days, century years and year ends, against the C library's calendar.
  for (long long t : {951782400LL, 951868799LL, 4107542400LL, 4102444799LL, 1078012800LL, 1709251199LL, 86399LL,
                      1700000000LL + 86400LL * 400}) {
    std::time_t at = static_cast<std::time_t>(t);
    std::tm tm{};
    ASSERT_TRUE(::gmtime_r(&at, &tm));
    char want[96];
    std::snprintf(want, sizeof want, "%04d-%02d-%02dT%02d:%02d:%02d+00:00", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    EXPECT_EQ(tv::iso8601_strict(std::to_string(t), "+0000"), std::string(want)) << t;
  }
  EXPECT_FALSE(tv::iso8601_strict("10", "+000").has_value());
  EXPECT_FALSE(tv::iso8601_strict("10", "0000").has_value());
  EXPECT_FALSE(tv::iso8601_strict("-10", "+0000").has_value());
  // Not zlib, and more than the cap once inflated.
  EXPECT_FALSE(tv::inflate_object("not a zlib stream", 100).has_value());
  TempRepo repo;
  const std::string head = repo.commit_file("a.txt", "a\n", std::string(200, 'x'));
  const auto compressed = brenik::testing::read_file(repo.root() / ".git/objects" / head.substr(0, 2) / head.substr(2));
  ASSERT_TRUE(tv::inflate_object(compressed, 1000).has_value());
  EXPECT_EQ(tv::inflate_object(compressed, 1000)->rfind("commit ", 0), 0u);
  EXPECT_FALSE(tv::inflate_object(compressed, 100).has_value());
  // A truncated object file, and a link where the object should be.
  const fs::path object = repo.root() / ".git/objects" / head.substr(0, 2) / head.substr(2);
  fs::permissions(object, fs::perms::owner_write, fs::perm_options::add);
  brenik::testing::write_file(object, compressed.substr(0, compressed.size() / 2));
  EXPECT_FALSE(tv::show_commit_from_files(repo.root(), "HEAD").has_value());
  fs::remove(object);
  brenik::testing::write_file(repo.root() / "elsewhere", compressed);
  fs::create_symlink(repo.root() / "elsewhere", object);
  EXPECT_FALSE(tv::show_commit_from_files(repo.root(), "HEAD").has_value());
}
