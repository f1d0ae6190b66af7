// The views' lookups: commits joined with the log (its index trusted only
// for what it covers), git blame's porcelain, shares.
#include <gtest/gtest.h>

#include "services/ledger/log_index.hpp"
#include "services/ledger/log_store.hpp"
#include "services/views/blame.hpp"
#include "services/views/record_join.hpp"
#include "support/temp_repo.hpp"

namespace brenik::testing {
namespace {

namespace views = services::views;

std::string id(char c) { return std::string(40, c); }

std::string line(const std::string& commit, const std::string& agent) {
  return "{\"commit\": \"" + commit + "\", \"agent\": \"" + agent + "\", \"synced\": false}\n";
}

TEST(RecordJoin, FindsTheFirstLineOfEachCommitWhateverTheIndexCovers) {
  TempDir dir;
  const fs::path log = dir.path() / "log.jsonl";
  write_file(log, line(id('a'), "first") + "not json\n" + line(id('b'), "codex") + line(id('a'), "second") +
                      "{\"synced\": true, \"agent\": \"cursor\", \"commit\": \"" + id('c') + "\"}\n");
  // A full read leaves the index (with its commit filter) beside the log.
  services::tolvern::read_attestation_log(log);
  ASSERT_TRUE(fs::exists(dir.path() / "log.jsonl.index"));
  // Appended since: the index says nothing of it, and it must still be found.
  append_file(log, line(id('d'), "windsurf"));
  auto found = views::find_log_lines(log, {id('a'), id('b'), id('c'), id('d'), id('e')});
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[id('a')]["agent"], "first");
  EXPECT_EQ(found[id('c')]["agent"], "cursor");
  EXPECT_EQ(found[id('d')]["agent"], "windsurf");
  EXPECT_FALSE(found.count(id('e')));

  // An index of another file is not trusted: the log replaced by a rewrite.
  write_file(dir.path() / "other.jsonl", line(id('e'), "claude-code"));
  fs::rename(dir.path() / "other.jsonl", log);
  found = views::find_log_lines(log, {id('a'), id('e')});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[id('e')]["agent"], "claude-code");

  EXPECT_TRUE(views::find_log_lines(dir.path() / "missing.jsonl", {id('a')}).empty());
}

TEST(RecordJoin, TheSummaryOfALineSaysWhatTheWholeLineSays) {
  TempDir dir;
  const fs::path log = dir.path() / "log.jsonl";
  const std::vector<std::string> lines = {
      // The writer's layout, attested, with a model in its telemetry.
      "{\"commit\": \"" + id('a') +
          "\", \"agent\": \"claude-code\", \"synced\": true, "
          "\"telemetry\": {\"model\": \"opus\", \"tokens\": {\"model\": \"inner\"}}}",
      // A repeated key takes its last value, nested ones too.
      "{\"commit\": \"" + id('b') +
          "\", \"agent\": \"first\", \"agent\": \"codex\", \"event\": "
          "\"commit_unattested\", \"telemetry\": {\"model\": \"x\", \"model\": \"gpt-5\"}, \"uploaded\": 1}",
      // Another writer's layout that only the lenient decoder reads (NaN).
      "{\"agent\": \"cursor\", \"cost\": NaN, \"commit\": \"" + id('c') +
          "\", \"event\": \"attestation_skipped\", \"synced\": \"\", \"telemetry\": {\"model\": \"m\"}}",
      // Members of the wrong kind count as absent.
      "{\"commit\": \"" + id('d') + "\", \"agent\": 7, \"telemetry\": [\"model\"], \"synced\": [0]}",
      "{\"commit\": \"" + id('e') + "\", \"agent\": \"human\", \"telemetry\": {\"model\": null}, \"event\": 3}",
  };
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  write_file(log, text);
  const std::vector<std::string> ids = {id('a'), id('b'), id('c'), id('d'), id('e'), id('f'), id('a')};
  const auto summaries = views::read_log_records(log, ids, views::LineDetail::summary);
  const auto whole = views::read_log_records(log, ids, views::LineDetail::full);
  ASSERT_EQ(summaries.size(), ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(summaries[i].found, i != 5);
    EXPECT_TRUE(summaries[i].line.is_null());
    if (!summaries[i].found) continue;
    const auto expected = views::summarize(whole[i].line);
    EXPECT_EQ(summaries[i].summary.agent, expected.agent);
    EXPECT_EQ(summaries[i].summary.model, expected.model);
    EXPECT_EQ(summaries[i].summary.attested, expected.attested);
    EXPECT_EQ(summaries[i].summary.synced, expected.synced);
  }
  // What the whole lines say, for the record.
  EXPECT_EQ(summaries[0].summary.model, "opus");
  EXPECT_TRUE(summaries[0].summary.attested && summaries[0].summary.synced);
  EXPECT_EQ(summaries[1].summary.agent, "codex");
  EXPECT_EQ(summaries[1].summary.model, "gpt-5");
  EXPECT_TRUE(!summaries[1].summary.attested && summaries[1].summary.synced);
  EXPECT_EQ(summaries[2].summary.agent, "cursor");
  EXPECT_TRUE(!summaries[2].summary.attested && !summaries[2].summary.synced);
  EXPECT_EQ(summaries[3].summary.agent, "");
  EXPECT_EQ(summaries[3].summary.model, "");
  EXPECT_TRUE(summaries[3].summary.synced);
  EXPECT_TRUE(summaries[4].summary.attested);
  EXPECT_EQ(summaries[6].summary.agent, "claude-code");
}

// A log of `count` distinct commits, `who` naming the agent of the line of
// commit `special` (at line `at`); each line ~100 bytes.
std::string filler_log(std::size_t count, std::size_t at, const std::string& special, const std::string& who) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    char hex[41];
    std::snprintf(hex, sizeof hex, "%040zx", i + 0x100000);
    text += i == at ? line(special, who) : line(hex, "filler-with-some-words-to-make-a-longer-line");
  }
  return text;
}

json::Value entry(const std::string& commit, const std::string& agent, std::size_t pad = 0) {
  json::Value v = json::Value::object();
  v["commit"] = commit;
  v["agent"] = agent;
  v["synced"] = false;
  if (pad) v["padding"] = std::string(pad, 'p');
  return v;
}

std::optional<bool> index_distinct(const fs::path& log) {
  auto index = services::tolvern::detail::load_log_index(log);
  if (!index) return std::nullopt;
  return index->distinct;
}

TEST(RecordJoin, LinesAtEitherEndOfALogWithoutRepeatsAreFound) {
  TempDir dir;
  const fs::path log = dir.path() / "log.jsonl";
  write_file(log, line(id('a'), "at-start") + filler_log(4000, 2000, id('m'), "in-middle") + line(id('z'), "at-end"));
  services::tolvern::read_attestation_log(log);
  ASSERT_EQ(index_distinct(log), true);
  // Appended by this tool's writer since: the index still holds, and the
  // new lines are found too.
  services::tolvern::detail::append_log_entry(log, entry(id('n'), "appended"));
  auto found = views::find_log_lines(log, {id('z'), id('a'), id('n'), id('e')});
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[id('a')]["agent"], "at-start");
  EXPECT_EQ(found[id('z')]["agent"], "at-end");
  EXPECT_EQ(found[id('n')]["agent"], "appended");
  found = views::find_log_lines(log, {id('m'), id('z')});
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[id('m')]["agent"], "in-middle");
}

TEST(RecordJoin, ARepeatedCommitKeepsItsFirstLineThroughIndexUpdates) {
  TempDir dir;
  const fs::path log = dir.path() / "log.jsonl";
  namespace ledger = services::tolvern;
  // An older log with a repeat: its index, made by a full read, says so.
  write_file(log, filler_log(3000, 1500, id('x'), "first") + line(id('x'), "second"));
  ledger::read_attestation_log(log);
  EXPECT_EQ(index_distinct(log), false);
  EXPECT_EQ(views::find_log_lines(log, {id('x')})[id('x')]["agent"], "first");

  // A commit in the middle of a log whose index shows no repeats...
  write_file(log, filler_log(3000, 1500, id('x'), "first"));
  ledger::read_attestation_log(log);
  ASSERT_EQ(index_distinct(log), true);
  // ...then written again near its end, as an earlier writer could, through
  // the appender that keeps the index current, and enough more for the next
  // reader to bring the index up to the end of the log.
  ledger::detail::append_log_entry(log, entry(id('x'), "second"));
  ledger::detail::append_log_entry(log, entry(id('y'), "padded", 300u << 10));
  ledger::read_attestation_log(log);
  EXPECT_EQ(index_distinct(log), false);
  auto found = views::find_log_lines(log, {id('x'), id('y')});
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[id('x')]["agent"], "first");

  // A log rewritten by the upload's synced rewrite gets an index of its own;
  // a repeat appended after it is caught when the next rewrite brings the
  // index forward.
  write_file(log, filler_log(3000, 1500, id('x'), "first"));
  ledger::detail::mark_synced(log, {entry(id('0'), "none")});
  ASSERT_EQ(index_distinct(log), true);
  ledger::detail::append_log_entry(log, entry(id('x'), "second"));
  ledger::detail::mark_synced(log, {entry(id('x'), "first")});
  EXPECT_EQ(index_distinct(log), false);
  found = views::find_log_lines(log, {id('x')});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[id('x')]["agent"], "first");
  EXPECT_EQ(found[id('x')]["synced"], true);

  // A commit new to the log keeps the index free of repeats.
  write_file(log, filler_log(3000, 1500, id('x'), "first"));
  ledger::read_attestation_log(log);
  ledger::detail::append_log_entry(log, entry(id('w'), "new", 300u << 10));
  ledger::read_attestation_log(log);
  EXPECT_EQ(index_distinct(log), true);
}

TEST(BlamePorcelain, LinesAndSharesFromGitsOutput) {
  const std::string a = id('a'), b = id('b'), zero = std::string(40, '0');
  const std::string text = a + " 1 1 2\nauthor X\nsummary one\nfilename f\n\tfirst\n" + a + " 2 2\n\tsecond\n" + b +
                           " 1 3 1\nauthor Y\nsummary two\nprevious " + a + " f\nfilename f\n\t\tindented\n" + zero +
                           " 4 4 1\nauthor Not Committed Yet\nfilename f\n\tnew\n";
  const auto lines = views::detail::parse_porcelain(text);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].commit, a);
  EXPECT_EQ(lines[1].number, 2u);
  EXPECT_EQ(lines[1].content, "second");
  EXPECT_EQ(lines[2].commit, b);
  EXPECT_EQ(lines[2].content, "\tindented");
  EXPECT_EQ(lines[3].commit, zero);

  std::unordered_map<std::string, views::CommitEntry> commits;
  views::CommitEntry ea;
  ea.commit = a;
  ea.who = {views::Author::agent, "claude-code", "claude-opus-4-6"};
  commits[a] = ea;
  const auto shares = views::detail::shares_of(lines, commits);
  ASSERT_EQ(shares.size(), 3u);
  EXPECT_EQ(shares[0].label, "claude-code (claude-opus-4-6)");
  EXPECT_DOUBLE_EQ(shares[0].percent, 50.0);
  // b has no record, the last line none yet.
  EXPECT_EQ(shares[1].lines + shares[2].lines, 2u);
  EXPECT_TRUE((shares[1].label == "not recorded" && shares[2].label == "not committed yet") ||
              (shares[2].label == "not recorded" && shares[1].label == "not committed yet"));
}

}  // namespace
}  // namespace brenik::testing
