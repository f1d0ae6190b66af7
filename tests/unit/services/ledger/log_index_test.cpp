// The index kept beside the attestation log: whatever the log went through
// (appends, unfinished lines, rewrites, edits in place, a damaged index),
// the pending count and the presence test answer exactly what a full read
// of the log answers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

#include "services/ledger/log_index.hpp"
#include "services/ledger/log_store.hpp"
#include "support/temp_repo.hpp"
#include "utils/fs.hpp"
#include "utils/sha256.hpp"

namespace tv = brenik::services::tolvern;
using brenik::json::Value;
using brenik::testing::append_file;
using brenik::testing::read_file;
using brenik::testing::TempDir;
using brenik::testing::write_file;

namespace {

std::string id(int i) { return brenik::utils::sha256_hex("commit " + std::to_string(i)).substr(0, 40); }

std::string line(const std::string& commit, bool synced) {
  return "{\"commit\": \"" + commit +
         "\", \"branch\": \"main\", \"summary\": \"change\", \"synced\": " + (synced ? "true" : "false") + "}\n";
}

// A log big enough that the presence test looks at its tail first.
std::string big_log(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i) text += line(id(i), i % 3 != 0);
  return text;
}

// Same bytes count, other content, same inode, and a modification time the
// index cannot have seen.
void edit_in_place(const std::filesystem::path& path, const std::string& from, const std::string& to) {
  std::string text = read_file(path);
  auto pos = text.find(from);
  ASSERT_NE(pos, std::string::npos);
  ASSERT_EQ(from.size(), to.size());
  text.replace(pos, from.size(), to);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.write(text.data(), static_cast<std::streamsize>(text.size()));
  f.close();
  struct timespec times[2] = {{0, UTIME_OMIT}, {1234567890, 123}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::size_t exact_pending(const std::filesystem::path& log) { return tv::read_attestation_log(log).size(); }

}  // namespace

TEST(LogIndex, PendingCountStaysExactWhateverTheLogGoesThrough) {
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  write_file(log, big_log(3000));
  EXPECT_EQ(tv::count_pending_entries(log), 1000u);
  EXPECT_TRUE(std::filesystem::exists(tv::detail::log_index_path(log)));
  EXPECT_EQ(tv::count_pending_entries(log), 1000u);  // from the index

  Value e = Value::object();
  e["commit"] = id(5000);
  e["synced"] = false;
  tv::detail::append_log_entry(log, e);
  append_file(log, "not json\n" + line(id(5001), true));
  EXPECT_EQ(tv::count_pending_entries(log), 1001u);

  append_file(log, line(id(5002), false).substr(0, 30));  // a writer half-way through its line
  EXPECT_EQ(tv::count_pending_entries(log), exact_pending(log));
  append_file(log, line(id(5002), false).substr(30));
  EXPECT_EQ(tv::count_pending_entries(log), 1002u);

  // A few lines our appender added are counted on top of the index without
  // rewriting it; once they are many, the index is saved again to cover them.
  const auto indexed_size = [&] { return tv::detail::load_log_index(log, 0)->file.size; };
  Value synced = Value::object();
  synced["commit"] = id(5003);
  synced["synced"] = true;
  tv::detail::append_log_entry(log, synced);
  EXPECT_EQ(tv::count_pending_entries(log), 1002u);
  const auto before = indexed_size();
  EXPECT_LT(before, std::filesystem::file_size(log));
  std::string more;
  for (int i = 10000; i < 13000; ++i) more += line(id(i), i % 2 == 0);
  append_file(log, more);
  EXPECT_EQ(tv::count_pending_entries(log), 2502u);
  EXPECT_EQ(indexed_size(), std::filesystem::file_size(log));
  EXPECT_EQ(tv::count_pending_entries(log), 2502u);
  EXPECT_EQ(exact_pending(log), 2502u);

  tv::detail::mark_synced(log, {Value({{"commit", id(0)}}), Value({{"commit", id(5000)}})});
  EXPECT_EQ(tv::count_pending_entries(log), 2500u);

  // The same length rewritten in place: not an append, so counted again.
  edit_in_place(log, line(id(3), false), line(id(3), true).substr(0, line(id(3), true).size() - 2) + " }\n");
  EXPECT_EQ(tv::count_pending_entries(log), exact_pending(log));
  EXPECT_EQ(tv::count_pending_entries(log), 2499u);

  // A damaged index, or one made for another file, is not believed.
  std::string damaged = read_file(tv::detail::log_index_path(log));
  damaged[damaged.size() - 1] ^= 0x55;
  write_file(tv::detail::log_index_path(log), damaged);
  EXPECT_EQ(tv::count_pending_entries(log), 2499u);
  EXPECT_EQ(exact_pending(log), 2499u);
  const auto other = dir.path() / "other.jsonl";
  write_file(other, line(id(1), false));
  std::filesystem::copy_file(tv::detail::log_index_path(log), tv::detail::log_index_path(other));
  EXPECT_EQ(tv::count_pending_entries(other), 1u);

  write_file(tv::detail::log_index_path(log), "garbage");
  EXPECT_EQ(tv::count_pending_entries(log), 2499u);
  std::filesystem::remove(log);
  EXPECT_EQ(tv::count_pending_entries(log), 0u);
}

TEST(LogIndex, PresenceTestAnswersAsAFullScanDoes) {
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  write_file(log, big_log(6000));  // well past the tail the test reads first
  ASSERT_GT(std::filesystem::file_size(log), 600000u);
  for (int i : {0, 1, 2999, 5999}) EXPECT_TRUE(tv::detail::commit_already_logged(log, id(i))) << i;
  for (int i : {6000, 7000}) EXPECT_FALSE(tv::detail::commit_already_logged(log, id(i))) << i;

  // Known to the index only as text, not as a record's commit.
  append_file(log, "{\"summary\": \"" + id(7001) + "\"}\n");
  EXPECT_FALSE(tv::detail::commit_already_logged(log, id(7001)));

  // Appended after the index was made, by us and by the shell fallback, and
  // a last line without its newline yet.
  Value e = Value::object();
  e["commit"] = id(7002);
  tv::detail::append_log_entry(log, e);
  append_file(log, line(id(7003), false) + line(id(7004), false).substr(0, line(id(7004), false).size() - 1));
  for (int i : {7002, 7003, 7004}) EXPECT_TRUE(tv::detail::commit_already_logged(log, id(i))) << i;

  // Rewritten: the new file is indexed afresh.
  tv::detail::mark_synced(log, {Value({{"commit", id(7003)}})});
  for (int i : {0, 5999, 7002, 7003}) EXPECT_TRUE(tv::detail::commit_already_logged(log, id(i))) << i;
  EXPECT_FALSE(tv::detail::commit_already_logged(log, id(8000)));

  // Edited in place to carry another commit at the same length.
  edit_in_place(log, id(10), id(8001));
  EXPECT_TRUE(tv::detail::commit_already_logged(log, id(8001)));
  EXPECT_FALSE(tv::detail::commit_already_logged(log, id(10)));
}

// The reader takes counts and pending lines from the index and reads only the
// lines after it; what it returns is what a full read returns.
TEST(LogIndex, ReaderAnswersAsAFullReadAndDistrustsAnIndexThatLies) {
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  const auto skipped = [](const std::string& c) {
    return "{\"commit\": \"" + c + "\", \"synced\": false, \"event\": \"attestation_skipped\"}\n";
  };
  std::string text = big_log(2000) + "garbage\n[1]\n" + line("unknown", false) + skipped(id(9000));
  write_file(log, text);
  auto check = [&](std::size_t pending, std::size_t uploaded, std::size_t corrupt, const std::string& last) {
    const auto r = tv::read_attestation_log(log);
    EXPECT_EQ(r.size(), pending);
    EXPECT_EQ(r.uploaded, uploaded);
    EXPECT_EQ(r.corrupt, corrupt);
    EXPECT_EQ(r.unaddressable, 1u);
    EXPECT_EQ(r.skipped, 1u);
    ASSERT_FALSE(r.pending.empty());
    EXPECT_EQ(r.pending.front()["commit"], id(0));
    EXPECT_EQ(r.pending.back()["commit"], last);
  };
  check(668, 1333, 2, id(9000));
  check(668, 1333, 2, id(9000));  // now from the index
  EXPECT_TRUE(std::filesystem::exists(tv::detail::log_index_path(log)));

  append_file(log, line(id(9001), false) + "{\"commit\": \"" + id(9002) + "\"");  // the last still being written
  check(669, 1333, 3, id(9001));
  append_file(log, "}\n");
  check(670, 1333, 2, id(9002));

  // A pending line turned synced in place, with the size and the time of
  // modification put back: the index still looks right, but the line it
  // points at is not pending any more, so the log is read in full.
  const auto before = std::filesystem::last_write_time(log);
  const std::string from = line(id(3), false), synced = line(id(3), true);
  const std::string to = synced.substr(0, synced.size() - 2) + " }\n";
  edit_in_place(log, from, to);
  std::filesystem::last_write_time(log, before);
  const auto r = tv::read_attestation_log(log);
  EXPECT_EQ(r.size(), 669u);
  EXPECT_EQ(r.uploaded, 1334u);
  EXPECT_EQ(r.pending[1]["commit"], id(6));

  // The synced rewrite leaves an index of the new file behind, and reading
  // through it gives what reading the new file without it gives.
  tv::detail::mark_synced(log, {Value({{"commit", id(0)}}), Value({{"commit", id(9001)}})});
  ASSERT_TRUE(std::filesystem::exists(tv::detail::log_index_path(log)));
  EXPECT_EQ(tv::count_pending_entries(log), 667u);
  const auto indexed = tv::read_attestation_log(log);
  std::filesystem::remove(tv::detail::log_index_path(log));
  const auto fresh = tv::read_attestation_log(log);
  EXPECT_EQ(indexed.size(), 667u);
  EXPECT_EQ(indexed.pending, fresh.pending);
  EXPECT_EQ(indexed.uploaded, fresh.uploaded);
  EXPECT_EQ(indexed.corrupt, fresh.corrupt);
  EXPECT_EQ(indexed.unaddressable, fresh.unaddressable);
  EXPECT_EQ(indexed.skipped, fresh.skipped);
  EXPECT_EQ(indexed.attested, fresh.attested);
  EXPECT_EQ(indexed.unattested, fresh.unattested);
}

// Past 8 MB the log is read and rewritten in two halves on two threads; the
// halves must join into exactly what one pass gives.
TEST(LogIndex, BigLogsSplitOverTwoThreadsGiveWhatOnePassGives) {
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  std::string text = "\n\n";  // leading blank lines go in the rewrite
  int n = 0;
  while (text.size() < (9u << 20)) text += line(id(n), n % 3 != 0), ++n;
  write_file(log, text);
  const std::size_t pending = static_cast<std::size_t>((n + 2) / 3);
  EXPECT_EQ(tv::read_attestation_log(log).size(), pending);

  std::vector<Value> batch;
  for (int i : {0, 3, n / 2 - (n / 2) % 3, n - 1 - (n - 1) % 3}) batch.push_back(Value({{"commit", id(i)}}));
  tv::detail::mark_synced(log, batch);
  std::string expected = text.substr(2);
  for (const auto& b : batch) {
    const std::string from = line(b["commit"].get<std::string>(), false);
    const auto at = expected.find(from);
    ASSERT_NE(at, std::string::npos);
    expected.replace(at, from.size(), line(b["commit"].get<std::string>(), true));
  }
  EXPECT_TRUE(read_file(log) == expected);
  EXPECT_EQ(tv::count_pending_entries(log), pending - 4);
  const auto r = tv::read_attestation_log(log);
  EXPECT_EQ(r.size(), pending - 4);
  EXPECT_EQ(r.uploaded, static_cast<std::size_t>(n) - pending + 4);
  // The index the rewrite left was believed: it points at pending lines only.
  ASSERT_TRUE(std::filesystem::exists(tv::detail::log_index_path(log)));
  std::filesystem::remove(tv::detail::log_index_path(log));
  EXPECT_EQ(tv::read_attestation_log(log).pending, r.pending);
}

TEST(LogIndex, CommitFilterNeverForgetsAnIdAndRarelyImaginesOne) {
  auto filter = tv::detail::CommitFilter::sized_for(20000);
  for (int i = 0; i < 20000; ++i) filter.add(tv::detail::CommitFilter::key_of(id(i)));
  for (int i = 0; i < 20000; ++i) ASSERT_TRUE(filter.may_contain(tv::detail::CommitFilter::key_of(id(i))));
  int imagined = 0;
  for (int i = 20000; i < 40000; ++i) imagined += filter.may_contain(tv::detail::CommitFilter::key_of(id(i)));
  EXPECT_LT(imagined, 200);  // under 1%
  EXPECT_FALSE(filter.crowded());
  for (int i = 40000; i < 80000; ++i) filter.add(tv::detail::CommitFilter::key_of(id(i)));
  EXPECT_TRUE(filter.crowded());
}

TEST(LogIndex, AnEditInPlaceFollowedByAnAppendIsNotHiddenByTheIndex) {
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  write_file(log, big_log(3000));
  EXPECT_EQ(tv::count_pending_entries(log), 1000u);
  ASSERT_TRUE(std::filesystem::exists(tv::detail::log_index_path(log)));

  // An earlier line flipped to pending by a writer that is not ours (same
  // length, far from the end), then an ordinary append through the store.
  std::string text = read_file(log);
  const std::string was = line(id(4), true);
  std::string now = was;
  now.replace(now.find("\"synced\": true"), 14, "\"synced\":false");
  ASSERT_EQ(was.size(), now.size());
  const auto pos = text.find(was);
  ASSERT_NE(pos, std::string::npos);
  text.replace(pos, was.size(), now);
  {
    std::fstream f(log, std::ios::in | std::ios::out | std::ios::binary);
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  Value e = Value::object();
  e["commit"] = id(9000);
  e["synced"] = false;
  tv::detail::append_log_entry(log, e);

  EXPECT_EQ(exact_pending(log), 1002u);
  EXPECT_EQ(tv::count_pending_entries(log), 1002u);
  EXPECT_EQ(tv::read_attestation_log(log).size(), 1002u);
}
