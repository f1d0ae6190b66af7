// The records of a revision range, from real repositories: what each commit
// changed (against git's own zero-context diff and numstat), joined with the
// log and the archived attestations, and checked back against the repository.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "paths/paths.hpp"
#include "services/ledger/archive_reader.hpp"
#include "services/ledger/commit_records.hpp"
#include "services/export/commit_changes.hpp"
#include "services/export/exporter.hpp"
#include "services/export/records.hpp"
#include "services/export/statements.hpp"
#include "services/export/verify.hpp"
#include "services/git/git.hpp"
#include "support/temp_repo.hpp"

namespace ex = brenik::services::exporting;
namespace tv = brenik::services::tolvern;
namespace paths = brenik::paths;
namespace fs = std::filesystem;
using brenik::json::Value;
using brenik::testing::TempRepo;
using brenik::testing::write_file;

namespace {

std::string lines(int from, int to, const std::string& prefix = "l") {
  std::string s;
  for (int i = from; i <= to; ++i) s += prefix + std::to_string(i) + "\n";
  return s;
}

std::string commit_all(const TempRepo& repo, const std::string& message) {
  repo.git({"add", "-A", "."});
  repo.git({"commit", "-q", "-m", message});
  return repo.head();
}

const ex::FileChange* file_of(const ex::CommitChanges& c, const std::string& path) {
  for (const auto& f : c.files)
    if (f.path == path) return &f;
  return nullptr;
}

// git's own count of added lines per path ("-" for binary files).
std::map<std::string, std::string> numstat(const TempRepo& repo, const std::string& commit) {
  std::map<std::string, std::string> added;
  const std::string out =
      repo.git({"-c", "core.quotePath=false", "show", "--numstat", "-M", "--format=", "-z", commit});
  // -z: "added\tdeleted\tpath\0" or, for a rename, "added\tdeleted\t\0old\0new\0".
  std::size_t i = 0;
  while (i < out.size()) {
    std::size_t t1 = out.find('\t', i), t2 = out.find('\t', t1 + 1);
    if (t1 == std::string::npos || t2 == std::string::npos) break;
    std::string count = out.substr(i, t1 - i);
    while (!count.empty() && count.front() == '\n') count.erase(0, 1);
    std::size_t end = out.find('\0', t2 + 1);
    std::string path = out.substr(t2 + 1, end - t2 - 1);
    if (path.empty()) {  // rename: skip the old name, keep the new one
      std::size_t old_end = out.find('\0', end + 1);
      end = out.find('\0', old_end + 1);
      path = out.substr(old_end + 1, end - old_end - 1);
    }
    added[path] = count;
    i = end + 1;
  }
  return added;
}

void expect_agrees_with_numstat(const TempRepo& repo, const ex::CommitChanges& c) {
  auto counts = numstat(repo, c.commit);
  EXPECT_EQ(counts.size(), c.files.size()) << c.commit;
  for (const auto& f : c.files) {
    ASSERT_TRUE(counts.count(f.path)) << f.path;
    if (f.binary) {
      EXPECT_EQ(counts[f.path], "-") << f.path;
      EXPECT_TRUE(f.added.empty());
      continue;
    }
    std::int64_t total = 0;
    for (const auto& r : f.added) total += r.end_line - r.start_line + 1;
    EXPECT_EQ(std::to_string(total), counts[f.path]) << f.path;
  }
}

// The added ranges per path as `git diff -U0` of the commit against its
// parent prints them, read with a pattern of the test's own.
std::map<std::string, std::vector<ex::LineRange>> diff_u0_ranges(const TempRepo& repo, const std::string& commit) {
  std::map<std::string, std::vector<ex::LineRange>> out;
  const std::string text = repo.git({"-c", "core.quotePath=false", "diff", "-U0", "-M", commit + "^", commit});
  static const std::regex hunk(R"(^@@ -\d+(?:,\d+)? \+(\d+)(?:,(\d+))? @@)");
  std::string path;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.rfind("diff --git ", 0) == 0) path.clear();
    if (line.rfind("+++ b/", 0) == 0) {
      path = line.substr(6);
      if (!path.empty() && path.back() == '\t') path.pop_back();
      out[path];
    }
    std::smatch m;
    if (!path.empty() && std::regex_search(line, m, hunk)) {
      const std::int64_t from = std::stoll(m[1]), count = m[2].matched ? std::stoll(m[2]) : 1;
      if (count > 0) out[path].push_back({from, from + count - 1});
    }
  }
  return out;
}

class ExportRecords : public ::testing::Test {
protected:
  TempRepo repo;
  std::string root_commit, change, shrink;

  void SetUp() override {
    write_file(repo.root() / "f.txt", lines(1, 10));
    write_file(repo.root() / "del.txt", "x\ny\n");
    write_file(repo.root() / "old name.txt", lines(1, 20, "old "));
    write_file(repo.root() / "img.bin", std::string("\x89PNG\0\0\x01\x02", 8));
    root_commit = commit_all(repo, "feat: first");

    // Line 3 changed, two lines after 7, line 10 gone; a deletion, a
    // rename with one changed line into a path git must quote, a binary edit.
    write_file(repo.root() / "f.txt", "l1\nl2\nL3\nl4\nl5\nl6\nl7\nn1\nn2\nl8\nl9\n");
    std::filesystem::remove(repo.root() / "del.txt");
    std::filesystem::remove(repo.root() / "old name.txt");
    std::string renamed = lines(1, 20, "old ");
    renamed.replace(renamed.find("old 5\n"), 6, "new 5\n");
    write_file(repo.root() / "dir" / "ne w-\xc3\xa9.txt", renamed);
    write_file(repo.root() / "img.bin", std::string("\x89PNG\0\0\x03\x04", 8));
    change = commit_all(repo, "fix: second");

    // Only a deletion inside a file.
    write_file(repo.root() / "f.txt", "l2\nL3\nl4\nl5\nl6\nl7\nn1\nn2\nl8\nl9\n");
    shrink = commit_all(repo, "chore: third");
  }

  // The record a commit made without an attestation gets (archive and line).
  void record_without_attestation(const std::string& commit) {
    tv::detail::write_commit_record(repo.root(), commit,
                                    {.source = "post_commit",
                                     .agent_name = "unknown",
                                     .agent_provider = std::nullopt,
                                     .session_id = std::nullopt,
                                     .telemetry = std::nullopt,
                                     .task_type = std::nullopt,
                                     .archive_ledger = false});
  }
};

}  // namespace

TEST_F(ExportRecords, LineRangesAreTheAdditionsOfTheZeroContextDiff) {
  auto commits = ex::read_commit_changes(repo.root(), "HEAD", 60);
  ASSERT_TRUE(commits);
  ASSERT_EQ(commits->size(), 3u);
  // git log order: newest first.
  EXPECT_EQ((*commits)[0].commit, shrink);
  EXPECT_EQ((*commits)[1].commit, change);
  EXPECT_EQ((*commits)[2].commit, root_commit);
  for (const auto& c : *commits) expect_agrees_with_numstat(repo, c);

  const auto oracle = diff_u0_ranges(repo, change);
  ASSERT_EQ(oracle.size(), 2u);  // the binary and the deleted file have no +++ side
  ASSERT_EQ(oracle.at("f.txt").size(), 2u);
  for (const std::string& c : {change, shrink})
    for (const auto& [path, ranges] : diff_u0_ranges(repo, c)) {
      const auto& changes = c == change ? (*commits)[1] : (*commits)[0];
      const auto* f = file_of(changes, path);
      ASSERT_TRUE(f) << path;
      EXPECT_EQ(f->added, ranges) << path;
    }

  const auto& second = (*commits)[1];
  const auto* f = file_of(second, "f.txt");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->added, (std::vector<ex::LineRange>{{3, 3}, {8, 9}}));
  const auto* del = file_of(second, "del.txt");
  ASSERT_TRUE(del);
  EXPECT_TRUE(del->deleted);
  EXPECT_TRUE(del->added.empty());
  const auto* moved = file_of(second, "dir/ne w-\xc3\xa9.txt");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->old_path, "old name.txt");
  EXPECT_EQ(moved->added, (std::vector<ex::LineRange>{{5, 5}}));
  const auto* bin = file_of(second, "img.bin");
  ASSERT_TRUE(bin);
  EXPECT_TRUE(bin->binary);
  EXPECT_TRUE(bin->added.empty());

  const auto* shrunk = file_of((*commits)[0], "f.txt");
  ASSERT_TRUE(shrunk);
  EXPECT_TRUE(shrunk->added.empty());
  const auto* first = file_of((*commits)[2], "f.txt");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->added, (std::vector<ex::LineRange>{{1, 10}}));
  EXPECT_TRUE(file_of((*commits)[2], "img.bin")->binary);
}

TEST_F(ExportRecords, UserConfigurationDoesNotChangeWhatIsRead) {
  for (const char* kv :
       {"diff.noprefix=true", "diff.mnemonicPrefix=true", "color.ui=always", "core.quotePath=false",
        "log.showSignature=true", "diff.renames=false", "log.showRoot=false", "diff.interHunkContext=10"}) {
    std::string s = kv;
    auto eq = s.find('=');
    repo.git({"config", s.substr(0, eq), s.substr(eq + 1)});
  }
  auto commits = ex::read_commit_changes(repo.root(), change + "^.." + change, 60);
  ASSERT_TRUE(commits);
  ASSERT_EQ(commits->size(), 1u);
  const auto* moved = file_of((*commits)[0], "dir/ne w-\xc3\xa9.txt");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->added, (std::vector<ex::LineRange>{{5, 5}}));
  ASSERT_TRUE(file_of((*commits)[0], "f.txt"));
  // Hunks four lines apart stay apart: the lines between are not the commit's.
  EXPECT_EQ(file_of((*commits)[0], "f.txt")->added, (std::vector<ex::LineRange>{{3, 3}, {8, 9}}));
  auto root = ex::read_commit_changes(repo.root(), root_commit, 60);
  ASSERT_TRUE(root);
  ASSERT_EQ(root->size(), 1u);
  ASSERT_TRUE(file_of((*root)[0], "f.txt"));
  EXPECT_EQ(file_of((*root)[0], "f.txt")->added, (std::vector<ex::LineRange>{{1, 10}}));
}

TEST_F(ExportRecords, UnknownRangeIsNoAnswerAndAnOptionIsNotTakenForOne) {
  EXPECT_FALSE(ex::read_commit_changes(repo.root(), "no-such-branch", 60));
  // Handed to git after --end-of-options: a revision, never an option.
  const auto out = repo.root() / "written-by-git";
  EXPECT_FALSE(ex::read_commit_changes(repo.root(), "--output=" + out.string(), 60));
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(ExportRecords, JoinsTheLogAndArchiveOfEachKindOfRecord) {
  const fs::path root = repo.root();
  // Attested: the agent's attestation, with the diff hash of its commit.
  const std::string hash = tv::detail::patch_hash(*tv::detail::commit_patch(change, root));
  Value att{{"staged_diff_hash", hash}, {"timestamp", "2026-01-02T03:04:05Z"}, {"agent_model", "claude-opus-4-6"},
            {"agent", "claude-code"},   {"agent_provider", "anthropic"},       {"agent_session_id", "sess-1"},
            {"task_type", "bug-fix"},   {"rules", {{"checked", true}}},        {"summary", "Second change"}};
  tv::detail::log_attestation(paths::log_jsonl(root), paths::attestations_dir(root), att,
                              {.commit_override = change, .repo_root = root, .archive_ledger = false});
  // Backfilled: a session's agent and model, recorded after the fact.
  tv::detail::write_commit_record(root, root_commit,
                                  {.source = "backfill",
                                   .agent_name = "codex",
                                   .agent_provider = "openai",
                                   .session_id = "sess-0",
                                   .telemetry = Value{{"model", "gpt-5"}},
                                   .task_type = std::nullopt,
                                   .archive_ledger = false});
  // The third commit stays without a record; a line of another repository's
  // commit is ignored.
  write_file(paths::log_jsonl(root).string() + "", brenik::testing::read_file(paths::log_jsonl(root)) +
                                                       "{\"commit\": \"" + std::string(40, 'e') + "\"}\nnot json\n");

  auto lookup = ex::lookup_records(root, "HEAD");
  ASSERT_TRUE(lookup);
  EXPECT_EQ(lookup->without_record, 1u);
  EXPECT_EQ(lookup->unreadable, 0u);
  ASSERT_EQ(lookup->records.size(), 2u);
  EXPECT_EQ(lookup->records[0].changes.commit, change);
  EXPECT_EQ(lookup->records[1].changes.commit, root_commit);
  EXPECT_EQ(lookup->records[0].attestation, att);
  EXPECT_EQ(lookup->records[0].log_line["summary"], "Second change");

  auto docs = ex::export_documents(lookup->records, ex::ExportFormat::agent_trace, "9.9.9");
  ASSERT_EQ(docs.size(), 2u);
  Value attested = brenik::json::loads(docs[0]);
  Value backfilled = brenik::json::loads(docs[1]);
  EXPECT_EQ(attested["files"][0]["conversations"][0]["contributor"],
            (Value{{"type", "ai"}, {"model_id", "anthropic/claude-opus-4-6"}}));
  EXPECT_EQ(attested["metadata"]["dev.brenik"]["diff_hash"], hash);
  EXPECT_EQ(backfilled["files"][0]["conversations"][0]["contributor"],
            (Value{{"type", "ai"}, {"model_id", "openai/gpt-5"}}));
  EXPECT_EQ(backfilled["files"][0]["conversations"][0]["related"][0]["url"], "urn:brenik:session:sess-0");

  auto statements = ex::export_documents(lookup->records, ex::ExportFormat::in_toto, "9.9.9");
  Value s = brenik::json::loads(statements[1]);
  EXPECT_EQ(s["subject"][0]["digest"]["gitCommit"], root_commit);
  EXPECT_EQ(s["predicate"]["attestation"]["provenance"]["ref"], "backfill");
  EXPECT_EQ(s["predicate"]["log_line"]["agent"], "codex");

  // The records as they are still hold.
  auto checked = ex::verify_records(root, lookup->records);
  ASSERT_EQ(checked.size(), 2u);
  EXPECT_EQ(checked[0].status, ex::VerifyStatus::ok);
  EXPECT_EQ(checked[1].status, ex::VerifyStatus::ok);
}

TEST_F(ExportRecords, AnAmendedCommitIsLeftOutAndItsOldRecordIsNotExported) {
  const fs::path root = repo.root();
  record_without_attestation(shrink);
  repo.git({"commit", "-q", "--amend", "-m", "chore: third, reworded"});
  auto lookup = ex::lookup_records(root, "HEAD~1..HEAD");
  ASSERT_TRUE(lookup);
  EXPECT_EQ(lookup->records.size(), 0u);
  EXPECT_EQ(lookup->without_record, 1u);
}

TEST_F(ExportRecords, ClaimsAreCheckedAgainstTheRepositoryAsItIsNow) {
  const fs::path root = repo.root();
  const std::string hash = tv::detail::patch_hash(*tv::detail::commit_patch(change, root));
  EXPECT_EQ(ex::check_claim(root, {change, hash}), ex::VerifyStatus::ok);
  EXPECT_EQ(ex::check_claim(root, {root_commit, std::nullopt}), ex::VerifyStatus::ok);
  EXPECT_EQ(ex::check_claim(root, {std::string(40, 'f'), std::nullopt}), ex::VerifyStatus::commit_missing);
  EXPECT_EQ(ex::check_claim(root, {change.substr(0, 12), std::nullopt}), ex::VerifyStatus::commit_missing);
  EXPECT_EQ(ex::check_claim(root, {change, std::string(64, '0')}), ex::VerifyStatus::diff_changed);
  // Rewritten in place: the same id now shows other content.
  repo.git({"replace", change, shrink});
  EXPECT_EQ(ex::check_claim(root, {change, hash}), ex::VerifyStatus::diff_changed);
}

TEST_F(ExportRecords, ArchivesReachedThroughLinksAreNotRead) {
  const fs::path root = repo.root();
  record_without_attestation(change);
  brenik::testing::TempDir outside;
  write_file(outside.path() / "secret.yaml", "secret: value\n");
  const fs::path archived = paths::attestations_dir(root) / (change + ".yaml");
  fs::remove(archived);
  fs::create_symlink(outside.path() / "secret.yaml", archived);
  auto lookup = ex::lookup_records(root, "HEAD");
  ASSERT_TRUE(lookup);
  ASSERT_EQ(lookup->records.size(), 1u);
  EXPECT_TRUE(lookup->records[0].attestation.is_null());
  EXPECT_EQ(lookup->unreadable, 1u);
  EXPECT_EQ(lookup->records[0].log_line["commit"], change);  // the line still counts

  // The whole folder a link: nothing in it is read either.
  fs::remove(archived);
  write_file(outside.path() / (change + ".yaml"), "secret: value\n");
  fs::remove_all(paths::attestations_dir(root));
  fs::create_directory_symlink(outside.path(), paths::attestations_dir(root));
  EXPECT_EQ(ex::read_archived_attestation(root, change), std::nullopt);

  // .brenik/ itself a link to a folder that holds a log and an archive.
  fs::remove(paths::attestations_dir(root));
  fs::create_directories(outside.path() / "b" / ".platform");
  fs::copy_file(paths::log_jsonl(root), outside.path() / "b" / ".platform" / "log.jsonl");
  fs::create_directories(outside.path() / "b" / "attestations");
  write_file(outside.path() / "b" / "attestations" / (change + ".yaml"), "secret: value\n");
  fs::remove_all(paths::brenik_dir(root));
  fs::create_directory_symlink(outside.path() / "b", paths::brenik_dir(root));
  lookup = ex::lookup_records(root, "HEAD");
  ASSERT_TRUE(lookup);
  EXPECT_EQ(lookup->records.size(), 0u);
  // Said, not read: with the folder out of reach no commit's evidence can be
  // told apart, so each one counts as unreadable rather than as unrecorded.
  const auto commits = std::stoul(repo.git({"rev-list", "--count", "HEAD"}));
  EXPECT_EQ(lookup->unreadable, commits);
  EXPECT_EQ(lookup->without_record, 0u);
}

// An archive far larger than any pending attestation could make is not
// loaded: it counts as unreadable, and the commit's line still counts.
TEST_F(ExportRecords, AnArchivePastTheSizeCapIsNotLoaded) {
  const fs::path root = repo.root();
  record_without_attestation(change);
  write_file(paths::attestations_dir(root) / (change + ".yaml"),
             "summary: " + std::string(tv::MAX_ARCHIVE_BYTES, 'x') + "\n");
  auto lookup = ex::lookup_records(root, "HEAD");
  ASSERT_TRUE(lookup);
  ASSERT_EQ(lookup->records.size(), 1u);
  EXPECT_TRUE(lookup->records[0].attestation.is_null());
  EXPECT_EQ(lookup->unreadable, 1u);
  EXPECT_EQ(ex::read_archived_attestation(root, change), std::nullopt);
}

TEST(ExportHistory, MergesCarryNoFilesAndSha256RepositoriesWork) {
  TempRepo repo("sha256");
  const std::string base = repo.commit_file("a.txt", "a\n", "base");
  repo.git({"checkout", "-q", "-b", "side"});
  const std::string side = repo.commit_file("b.txt", "b1\nb2\n", "side");
  repo.git({"checkout", "-q", "main"});
  repo.commit_file("c.txt", "c\n", "main");
  repo.git({"merge", "-q", "--no-ff", "-m", "merge side", "side"});
  const std::string merge = repo.head();
  ASSERT_EQ(merge.size(), 64u);

  auto commits = ex::read_commit_changes(repo.root(), "HEAD", 60);
  ASSERT_TRUE(commits);
  ASSERT_EQ(commits->size(), 4u);
  EXPECT_EQ((*commits)[0].commit, merge);
  EXPECT_TRUE((*commits)[0].files.empty());
  bool seen_side = false;
  for (const auto& c : *commits)
    if (c.commit == side) {
      seen_side = true;
      ASSERT_EQ(c.files.size(), 1u);
      EXPECT_EQ(c.files[0].added, (std::vector<ex::LineRange>{{1, 2}}));
    }
  EXPECT_TRUE(seen_side);

  const std::string hash = tv::detail::patch_hash(*tv::detail::commit_patch(base, repo.root()));
  EXPECT_EQ(ex::check_claim(repo.root(), {base, hash}), ex::VerifyStatus::ok);
  EXPECT_EQ(ex::check_claim(repo.root(), {std::string(64, 'a'), std::nullopt}), ex::VerifyStatus::commit_missing);
}

TEST_F(ExportRecords, FilesWithOnlyAHeaderAreListedUnderTheirOwnName) {
  // An empty new file under a name git quotes, a mode change, and an empty
  // file under a plain name with a space: no hunks, only the diff header.
  write_file(repo.root() / "emp ty\xc3\xa9.txt", "");
  write_file(repo.root() / "plain space.txt", "");
  fs::permissions(repo.root() / "f.txt", fs::perms::owner_exec, fs::perm_options::add);
  const std::string c = commit_all(repo, "chore: headers");
  auto commits = ex::read_commit_changes(repo.root(), c + "~1.." + c, 60);
  ASSERT_TRUE(commits);
  ASSERT_EQ(commits->size(), 1u);
  const auto& files = (*commits)[0].files;
  ASSERT_EQ(files.size(), 3u);
  for (const char* path : {"emp ty\xc3\xa9.txt", "plain space.txt", "f.txt"}) {
    const auto* f = file_of((*commits)[0], path);
    ASSERT_TRUE(f) << path;
    EXPECT_TRUE(f->added.empty());
    EXPECT_FALSE(f->binary);
  }
  expect_agrees_with_numstat(repo, (*commits)[0]);
}
