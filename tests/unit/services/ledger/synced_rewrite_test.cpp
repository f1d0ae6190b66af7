// The synced rewrite guided by the log's index (only the lines of the batch's
// commits parsed) must write what the full rewrite writes, byte for byte, and
// leave an index that answers as a fresh read does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "services/ledger/log_index.hpp"
#include "services/ledger/log_store.hpp"
#include "support/temp_repo.hpp"
#include "utils/json.hpp"
#include "utils/sha256.hpp"

namespace fs = std::filesystem;
namespace tv = brenik::services::tolvern;
using brenik::json::Value;
using brenik::testing::append_file;
using brenik::testing::read_file;
using brenik::testing::TempDir;
using brenik::testing::write_file;

namespace {

std::string id(int i) { return brenik::utils::sha256_hex("rewrite " + std::to_string(i)).substr(0, 40); }

std::string rec(int i, bool synced, const std::string& extra = "") {
  return "{\"commit\": \"" + id(i) + "\", \"summary\": \"caf\\u00e9 " + std::to_string(i) +
         "\", \"synced\": " + (synced ? "true" : "false") + extra + "}\n";
}

// Every kind of line the log may hold, in the layouts other writers use.
std::string mixed_lines(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) {
    switch (i % 9) {
      case 0: text += "{\"commit\":\"" + id(i) + "\",\"synced\":false}\n"; break;  // another layout
      case 1: text += rec(i, false, ", \"uploaded\": true"); break;                // legacy marker
      case 2: text += "not json " + id(i) + "\n"; break;
      case 3: text += "\n   \n"; break;
      case 4: text += rec(i, false, ", \"telemetry\": {\"commit\": \"" + id(i + 1) + "\"}"); break;
      case 5: text += rec(i, false, ", \"cost\": NaN"); break;
      default: text += rec(i, i % 2 == 0); break;
    }
  }
  return text;
}

std::vector<Value> batch_of(std::initializer_list<int> ids) {
  std::vector<Value> batch;
  for (int i : ids) batch.push_back(Value({{"commit", id(i)}}));
  return batch;
}

// `a` went through the guided rewrite, `b` through the full one.
void expect_same_reads(const fs::path& a, const fs::path& b) {
  const auto ra = tv::read_attestation_log(a);
  // The reader believed the index the rewrite left: it drops one that points
  // anywhere but at a pending line.
  EXPECT_TRUE(fs::exists(tv::detail::log_index_path(a)));
  const auto rb = tv::read_attestation_log(b);
  // Compared as text: a NaN is never equal to itself.
  ASSERT_EQ(ra.size(), rb.size());
  for (std::size_t i = 0; i < ra.size(); ++i)
    EXPECT_EQ(brenik::json::dumps(ra.pending[i]), brenik::json::dumps(rb.pending[i])) << i;
  EXPECT_EQ(ra.uploaded, rb.uploaded);
  EXPECT_EQ(ra.corrupt, rb.corrupt);
  EXPECT_EQ(ra.unaddressable, rb.unaddressable);
  EXPECT_EQ(ra.attested, rb.attested);
  EXPECT_EQ(tv::count_pending_entries(a), rb.size());
}

}  // namespace

TEST(SyncedRewrite, GuidedByTheIndexItWritesWhatTheFullRewriteWrites) {
  TempDir dir;
  const fs::path a = dir.path() / "a.jsonl", b = dir.path() / "b.jsonl";
  const std::string start = "\n\n" + mixed_lines(0, 600) + "  \n";
  write_file(a, start);
  write_file(b, start);

  // The first rewrite has no index to go by; it leaves one.
  tv::detail::mark_synced(a, batch_of({7, 8, 9}));
  tv::detail::mark_synced(b, batch_of({7, 8, 9}));
  ASSERT_EQ(read_file(a), read_file(b));
  ASSERT_EQ(tv::detail::load_log_index(a)->rewritten_end, fs::file_size(a));

  // Lines appended since, then a batch with commits in both parts: lines of
  // the new layout, a legacy marker, a commit only mentioned in a nested
  // member, repeated lines, and one the log does not have.
  const std::string more = mixed_lines(600, 700) + rec(10, false) + rec(700, false) + "\n";
  append_file(a, more);
  append_file(b, more);
  const auto batch = batch_of({0, 1, 3, 6, 10, 12, 13, 599, 603, 604, 610, 700, 5000});
  tv::detail::mark_synced(a, batch);
  fs::remove(tv::detail::log_index_path(b));
  tv::detail::mark_synced(b, batch);
  EXPECT_TRUE(read_file(a) == read_file(b));
  expect_same_reads(a, b);

  // Once more with nothing appended, and with a line that changed since it
  // was read (it stays pending).
  std::vector<Value> as_read;
  for (const auto& entry : tv::read_attestation_log(a).pending)
    for (int i : {15, 17, 33})
      if (entry["commit"] == id(i)) as_read.push_back(entry);
  ASSERT_EQ(as_read.size(), 3u);
  as_read[1]["summary"] = "what was sent before the line changed";
  const auto again = batch_of({15, 17, 33, 35});
  tv::detail::mark_synced(a, again, &as_read);
  fs::remove(tv::detail::log_index_path(b));
  tv::detail::mark_synced(b, again, &as_read);
  EXPECT_TRUE(read_file(a) == read_file(b));
  expect_same_reads(a, b);
}

TEST(SyncedRewrite, LinesItWroteItselfAreCopiedNotParsedAgain) {
  TempDir dir;
  const fs::path log = dir.path() / "log.jsonl";
  write_file(log, mixed_lines(0, 300));
  tv::detail::mark_synced(log, batch_of({7}));
  // Put a line in another layout at the same length, keeping the file's
  // time: the index still says the rewrite wrote it.
  std::string text = read_file(log);
  const std::string canonical = rec(16, true), other = "{\"commit\":  \"" + id(16) + canonical.substr(53);
  ASSERT_EQ(canonical.size(), other.size());
  const auto at = text.find(canonical);
  ASSERT_NE(at, std::string::npos);
  const auto mtime = fs::last_write_time(log);
  text.replace(at, canonical.size(), other);
  {
    std::fstream f(log, std::ios::in | std::ios::out | std::ios::binary);
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  fs::last_write_time(log, mtime);
  tv::detail::mark_synced(log, batch_of({25}));
  EXPECT_NE(read_file(log).find(other), std::string::npos);  // copied as it was
  EXPECT_EQ(tv::count_pending_entries(log), tv::read_attestation_log(log).size());
}
