// The views' lookups: commits joined with the log (its index trusted only
// for what it covers), the archived model, git blame's porcelain, shares.
#include <gtest/gtest.h>

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

TEST(RecordJoin, ArchivedModelReadsPlainAndQuotedScalars) {
  TempDir dir;
  write_file(dir.path() / (id('a') + ".yaml"), "staged_diff_hash: x\nagent_model: claude-opus-4-6\nsummary: s\n");
  write_file(dir.path() / (id('b') + ".yaml"), "agent_model: 'gpt-5: mini'\n");
  write_file(dir.path() / (id('c') + ".yaml"), "summary: no model\nnested:\n  agent_model: inner\n");
  write_file(dir.path() / (id('d') + ".yaml"), "agent_model: 12\n");
  EXPECT_EQ(views::archived_model(dir.path(), id('a')), "claude-opus-4-6");
  EXPECT_EQ(views::archived_model(dir.path(), id('b')), "gpt-5: mini");
  EXPECT_EQ(views::archived_model(dir.path(), id('c')), "");
  EXPECT_EQ(views::archived_model(dir.path(), id('e')), "");
  // A link in the archive is not followed.
  fs::create_symlink(dir.path() / (id('a') + ".yaml"), dir.path() / (id('f') + ".yaml"));
  EXPECT_EQ(views::archived_model(dir.path(), id('f')), "");
  EXPECT_FALSE(views::read_archived(dir.path(), id('f')));
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
