// The attestation log: classification, the appender, the two rewriters and
// the presence test, including what survives concurrent writers.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <set>

#include "services/ledger/log_store.hpp"
#include "support/temp_repo.hpp"
#include "utils/errors.hpp"

namespace tv = brenik::services::tolvern;
using brenik::json::Value;
using brenik::testing::read_file;
using brenik::testing::TempDir;
using brenik::testing::write_file;

namespace {

const std::string A = std::string(40, 'a');
const std::string B = std::string(40, 'b');
const std::string C = std::string(64, 'c');
const std::string D = std::string(40, 'd');

std::string line(const std::string& commit, bool synced, const std::string& extra = "") {
  return "{\"commit\": \"" + commit +
         "\", \"branch\": \"main\", \"timestamp\": \"\", \"agent\": \"x\", "
         "\"summary\": \"s\", \"synced\": " +
         (synced ? "true" : "false") + extra + "}";
}

Value entry(const std::string& commit) {
  Value e = Value::object();
  e["commit"] = commit;
  e["branch"] = "main";
  e["summary"] = "caf\u00e9 \U0001F600";
  e["synced"] = false;
  return e;
}

std::size_t count_lines_with(const std::string& text, const std::string& needle) {
  std::size_t n = 0, pos = 0;
  while ((pos = text.find(needle, pos)) != std::string::npos) {
    ++n;
    pos += needle.size();
  }
  return n;
}

}  // namespace

TEST(LogStoreRead, ClassifiesAMixedLogIntoExactCounts) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  write_file(log, std::string("\n") + "not json at all\n" +                                  // corrupt
                      "[1, 2, 3]\n" +                                                        // corrupt (array)
                      "   \n" +                                                              // blank
                      line(A, false) + "\n" +                                                // pending, attested
                      line(B, true) + "\n" +                                                 // uploaded
                      line(C, false, ", \"uploaded\": true") + "\n" +                        // legacy uploaded
                      line("unknown", false) + "\n" +                                        // unaddressable
                      line("abcdef1", false, ", \"event\": \"commit_unattested\"") + "\n" +  // short id
                      line(D, false, ", \"event\": \"commit_unattested\"") + "\n" +          // pending, unattested
                      line(std::string(40, 'e'), false, ", \"event\": \"attestation_skipped\"") + "\n" +
                      "{\"commit\": 12, \"synced\": false}\n");  // non-text commit
  auto r = tv::read_attestation_log(log);
  EXPECT_EQ(r.corrupt, 2u);
  EXPECT_EQ(r.uploaded, 2u);
  EXPECT_EQ(r.unaddressable, 3u);
  EXPECT_EQ(r.skipped, 1u);
  EXPECT_EQ(r.unattested, 2u);
  EXPECT_EQ(r.attested, 5u);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r.pending[0]["commit"], A);
  EXPECT_EQ(r.pending[1]["commit"], D);
  EXPECT_EQ(r.pending[2]["event"], "attestation_skipped");
  // Members come back in their written order.
  EXPECT_EQ(r.pending[0].begin().key(), "commit");
  EXPECT_TRUE(static_cast<bool>(r));
}

TEST(LogStoreRead, MissingOrBlankLogIsEmpty) {
  TempDir dir;
  auto missing = tv::read_attestation_log(dir.path() / "nope.jsonl");
  EXPECT_FALSE(static_cast<bool>(missing));
  EXPECT_EQ(missing.corrupt + missing.uploaded + missing.unaddressable + missing.attested, 0u);
  write_file(dir.path() / "blank.jsonl", "\n\n   \n\t\n");
  auto blank = tv::read_attestation_log(dir.path() / "blank.jsonl");
  EXPECT_EQ(blank.size() + blank.corrupt + blank.attested, 0u);
  EXPECT_FALSE(tv::detail::commit_already_logged(dir.path() / "nope.jsonl", A));
}

TEST(LogStoreRead, PythonOnlyJsonAndBadUtf8) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  // NaN is valid for the log's other writers; a line that is not UTF-8 is not.
  write_file(log, line(A, false, ", \"cost\": NaN") + "\n" + line(B, false, ", \"x\": \"\xff\"") + "\n");
  auto r = tv::read_attestation_log(log);
  EXPECT_EQ(r.size(), 1u);
  EXPECT_EQ(r.corrupt, 1u);
}

TEST(LogStoreRead, RepeatedKeysReadAndRewriteAsJsonLoadsAndDumpsDo) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  // json.loads keeps a repeated key once, in its first place, with its last
  // value; also past the keys a small object holds inline.
  std::string many;
  for (int i = 0; i < 40; ++i) many += ", \"k" + std::to_string(i) + "\": " + std::to_string(i);
  write_file(log, "{\"commit\": \"" + A + "\", \"synced\": true, \"x\": 1, \"synced\": false, \"x\": 2}\n" +
                      "{\"commit\": \"" + B + "\", \"synced\": false" + many + ", \"k3\": \"again\"}\n");
  auto r = tv::read_attestation_log(log);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(brenik::json::dumps(r.pending[0]), "{\"commit\": \"" + A + "\", \"synced\": false, \"x\": 2}");
  EXPECT_EQ(r.pending[1].size(), 42u);
  EXPECT_EQ(r.pending[1]["k3"], "again");

  tv::detail::mark_synced(log, {Value({{"commit", D}})});  // rewrites both lines as json.dumps would
  const auto text = read_file(log);
  EXPECT_EQ(text.substr(0, text.find('\n')), "{\"commit\": \"" + A + "\", \"synced\": false, \"x\": 2}");
  EXPECT_EQ(count_lines_with(text, "\"k3\""), 1u);
  EXPECT_EQ(tv::read_attestation_log(log).size(), 2u);
}

TEST(LogStoreAppend, CreatesDirectoryAndWritesPythonLayout) {
  TempDir dir;
  auto log = dir.path() / "a" / "b" / "log.jsonl";
  tv::detail::append_log_entry(log, entry(A));
  EXPECT_EQ(read_file(log), "{\"commit\": \"" + A +
                                "\", \"branch\": \"main\", \"summary\": \"caf\\u00e9 \\ud83d\\ude00\", "
                                "\"synced\": false}\n");
}

TEST(LogStoreAppend, NeverGluesOntoAnUnfinishedLine) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  write_file(log, line(A, false));  // no final newline: a writer died mid-line
  tv::detail::append_log_entry(log, entry(B));
  auto r = tv::read_attestation_log(log);
  EXPECT_EQ(r.size(), 2u);
  EXPECT_EQ(r.corrupt, 0u);
}

TEST(LogStoreReplace, RewritesOnlyTheFirstLineOfTheCommitAndKeepsTheRest) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  EXPECT_FALSE(tv::detail::replace_log_entry(log, entry(A)));
  EXPECT_FALSE(std::filesystem::exists(log));
  const std::string original = "\n" + std::string("garbage {\n") + "[\"" + A + "\"]\n" + "{\"commit\":\"" + A +
                               "\",\"synced\":true}\n" + line(B, true) + "\n" + line(A, true) + "\n";
  write_file(log, original);
  Value upgraded = entry(A);
  ASSERT_TRUE(tv::detail::replace_log_entry(log, upgraded));
  const std::string expected = "\n" + std::string("garbage {\n") + "[\"" + A + "\"]\n" + brenik::json::dumps(upgraded) +
                               "\n" + line(B, true) + "\n" + line(A, true) + "\n";
  EXPECT_EQ(read_file(log), expected);
  EXPECT_FALSE(tv::detail::replace_log_entry(log, entry(D)));
  EXPECT_EQ(read_file(log), expected);
}

TEST(LogStoreMarkSynced, FlipsEveryLineOfTheBatchAndKeepsWhatIsNotARecord) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  write_file(log, "\n\n" + line(A, false, ", \"uploaded\": true") + "\nnot json\n[1]\n" + line(B, false) + "\n" +
                      line(A, false) + "\n{\"commit\":\"" + D + "\",\"synced\":false}\n\n");
  Value b1 = Value::object();
  b1["commit"] = A;
  tv::detail::mark_synced(log, {b1});
  const std::string expected =
      "{\"commit\": \"" + A +
      "\", \"branch\": \"main\", \"timestamp\": \"\", \"agent\": \"x\", \"summary\": \"s\", \"synced\": true}\n"
      "not json\n[1]\n" +
      line(B, false) + "\n" + line(A, true) + "\n{\"commit\": \"" + D + "\", \"synced\": false}\n";
  EXPECT_EQ(read_file(log), expected);
  auto r = tv::read_attestation_log(log);
  EXPECT_EQ(r.uploaded, 2u);
  EXPECT_EQ(r.size(), 2u);
}

TEST(LogStoreMarkSynced, AcceptedBatchFlipsLegacyLinesAndKeepsLinesUpgradedMeanwhile) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  // A's pending line was sent; an older line of A carries the legacy marker.
  // B's line was upgraded in place while its batch was on the way.
  const std::vector<Value> as_read = {brenik::json::loads(line(A, false)),
                                      brenik::json::loads(line(B, false, ", \"event\": \"commit_unattested\""))};
  write_file(log, line(A, false, ", \"uploaded\": true") + "\n" + line(A, false) + "\n" + line(B, false) + "\n");
  tv::detail::mark_synced(log, as_read, &as_read);
  std::vector<Value> now;
  const std::string text = read_file(log);
  for (std::size_t start = 0; start < text.size();) {
    const auto nl = text.find('\n', start);
    now.push_back(brenik::json::loads(text.substr(start, nl - start)));
    start = nl + 1;
  }
  ASSERT_EQ(now.size(), 3u);
  EXPECT_EQ(now[0]["synced"], true);
  EXPECT_FALSE(now[0].contains("uploaded"));
  EXPECT_EQ(now[1]["synced"], true);
  EXPECT_EQ(now[2]["synced"], false);  // what it says now was never sent
}

// Lines the rewrite does not flip are written again straight from the parse;
// they must come out as the oracle-tested writer writes them, whatever byte
// needing an escape sits wherever in a word of eight.
TEST(LogStoreMarkSynced, RewrittenLinesAreWhatJsonDumpsWrites) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  std::string text;
  std::vector<Value> values;
  const std::string specials[] = {"\x1f", "\x7f", "\"", "\\", "\n", "\xc3\xa9", "\xf0\x9f\x98\x80", " "};
  int n = 0;
  for (const auto& special : specials) {
    for (std::size_t at = 0; at < 17; ++at) {
      Value v = Value::object();
      v["commit"] = brenik::json::dumps(Value(n++)) + std::string(39, 'e');
      v["summary"] = std::string(at, 'a') + special + std::string(20 - at % 8, 'b');
      v["synced"] = false;
      values.push_back(v);
      text += brenik::json::dumps(v) + "\n";
    }
  }
  write_file(log, text);
  tv::detail::mark_synced(log, {Value({{"commit", D}})});
  const auto lines = read_file(log);
  std::size_t start = 0;
  for (const auto& v : values) {
    const auto end = lines.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(lines.substr(start, end - start), brenik::json::dumps(v));
    EXPECT_EQ(brenik::json::loads(lines.substr(start, end - start)), v);
    start = end + 1;
  }
}

TEST(LogStoreMarkSynced, BatchWithoutCommitsDoesNotTouchTheFile) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  write_file(log, line(A, false) + "\n");
  struct stat before {};
  ::stat(log.c_str(), &before);
  ::usleep(20000);
  Value no_commit = Value::object();
  no_commit["summary"] = "x";
  Value empty_commit = Value::object();
  empty_commit["commit"] = "";
  tv::detail::mark_synced(log, {no_commit, empty_commit});
  struct stat after {};
  ::stat(log.c_str(), &after);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(LogStorePresence, FindsTheCommitOnlyInARecordLine) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  write_file(log, "mentions " + A + " in garbage\n{\"summary\": \"" + A + "\"}\n[\"" + B + "\"]\n" +
                      line(B.substr(0, 39) + "0", false) + "\n" + line(D, true) + "\n" + line(D, false) + "\n");
  EXPECT_FALSE(tv::detail::commit_already_logged(log, A));
  EXPECT_FALSE(tv::detail::commit_already_logged(log, B));
  EXPECT_TRUE(tv::detail::commit_already_logged(log, D));
  EXPECT_FALSE(tv::detail::commit_already_logged(log, ""));
}

TEST(LogStorePresence, BatchTestAnswersAsTheTestOfEachCommit) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  // A in our layout, D only in another writer's, B only nested, C nowhere.
  write_file(log, line(A, true) + "\n{\"commit\":\"" + D + "\",\"synced\":false}\n" +
                      "{\"commit\": \"x\", \"note\": {\"commit\": \"" + B + "\"}}\n" + line(A, false) + "\n");
  const std::vector<std::string> asked = {A, B, C, D, ""};
  const auto found = tv::detail::commits_already_logged(log, asked);
  for (const auto& c : asked) EXPECT_EQ(found.count(c) > 0, tv::detail::commit_already_logged(log, c)) << c;
  EXPECT_EQ(found, (std::set<std::string, std::less<>>{A, D}));
  EXPECT_TRUE(tv::detail::commits_already_logged(dir.path() / "missing.jsonl", asked).empty());
}

TEST(LogStorePresence, AnArchiveWithoutItsLineIsNotARecordYet) {
  TempDir dir;
  // What a failed append leaves: the next trigger must still see work to do.
  write_file(dir.path() / ".brenik" / "attestations" / (A + ".yaml"), "agent: x\n");
  EXPECT_FALSE(tv::detail::already_recorded(dir.path(), A));
  write_file(dir.path() / ".brenik" / ".platform" / "log.jsonl", line(A, false) + "\n");
  EXPECT_TRUE(tv::detail::already_recorded(dir.path(), A));
  EXPECT_FALSE(tv::detail::already_recorded(dir.path(), B));
}

TEST(CommitHash, AcceptsOnlyFullLowercaseIds) {
  EXPECT_TRUE(tv::detail::is_valid_commit_hash(A));
  EXPECT_TRUE(tv::detail::is_valid_commit_hash(C));
  for (const std::string& bad :
       {std::string("unknown"), std::string("abcdef1"), std::string(40, 'A'), std::string(41, 'a'),
        std::string(63, 'a'), std::string(""), std::string(39, 'a') + "g"})
    EXPECT_FALSE(tv::detail::is_valid_commit_hash(bad)) << bad;
}

// Real processes: four appenders of 200 records each race a rewriter that
// keeps marking the first records synced. Every record must be there once.
TEST(LogStoreConcurrency, NoRecordIsLostBetweenAppendersAndTheRewriter) {
  TempDir dir;
  auto log = dir.path() / ".brenik" / ".platform" / "log.jsonl";
  constexpr int kWriters = 4, kRecords = 200;
  auto id = [](int w, int i) {
    char buf[41];
    std::snprintf(buf, sizeof buf, "%08x%032x", w, i);
    return std::string(buf);
  };
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kRecords; ++i) tv::detail::append_log_entry(log, entry(id(w, i)));
      ::_exit(0);
    }
    writers.push_back(pid);
  }
  pid_t rewriter = ::fork();
  ASSERT_GE(rewriter, 0);
  if (rewriter == 0) {
    for (int round = 0; round < 400; ++round) {
      Value b = Value::object();
      b["commit"] = id(round % kWriters, round / kWriters);
      try {
        tv::detail::mark_synced(log, {b});
      } catch (const brenik::OSError&) {
        // The log may not exist yet in the first rounds.
      }
    }
    ::_exit(0);
  }
  for (pid_t p : writers) {
    int status = 0;
    ::waitpid(p, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  int status = 0;
  ::waitpid(rewriter, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const std::string text = read_file(log);
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kRecords; ++i) ASSERT_EQ(count_lines_with(text, id(w, i)), 1u) << "record " << w << "/" << i;
  auto r = tv::read_attestation_log(log);
  EXPECT_EQ(r.size() + r.uploaded, static_cast<std::size_t>(kWriters * kRecords));
  EXPECT_EQ(r.corrupt, 0u);
}

// A rewrite that cannot be written (here: the file size limit stops the
// write) leaves the old log in place and no temporary file behind.
TEST(LogStoreRewrite, FailedWriteLeavesOldLogAndNoTemporaryFile) {
  TempDir dir;
  auto log = dir.path() / "log.jsonl";
  std::string original;
  for (int i = 0; i < 50; ++i) original += line(std::string(39, 'a') + char('0' + i % 10), false) + "\n";
  write_file(log, original);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{1024, 1024};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    Value b = Value::object();
    b["commit"] = std::string(39, 'a') + "0";
    try {
      tv::detail::mark_synced(log, {b});
    } catch (const brenik::OSError&) {
      ::_exit(3);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3) << "the failed write must reach the caller";
  EXPECT_EQ(read_file(log), original);
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(e.path().extension(), ".tmp") << e.path();
}
