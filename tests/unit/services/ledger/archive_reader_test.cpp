// The archive reader: what each kind of entry reads as (missing, found,
// unreadable), the confinement of the folder and its files, the fast read of
// the model, and ledger segments.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "services/ledger/archive_reader.hpp"
#include "support/temp_repo.hpp"

namespace tv = brenik::services::tolvern;
using brenik::json::Value;
using brenik::testing::TempDir;
using brenik::testing::write_file;
namespace fs = std::filesystem;

namespace {

std::string id(char c) { return std::string(40, c); }

// An archive folder where .brenik/ puts it, so that it falls under the rule.
fs::path archive_in(const TempDir& dir) {
  const fs::path archive = dir.path() / ".brenik" / "attestations";
  fs::create_directories(archive);
  return archive;
}

TEST(ArchiveReader, EachKindOfEntryReadsAsMissingFoundOrUnreadable) {
  TempDir dir;
  const fs::path archive = archive_in(dir);
  write_file(archive / (id('a') + ".yaml"), "agent: claude-code\nsummary: s\nchanges:\n  - a.txt\n");
  write_file(archive / (id('b') + ".yaml"), "");
  write_file(archive / (id('c') + ".yaml"), "- one\n- two\n");
  write_file(archive / (id('d') + ".yaml"), "agent: \xff\xfe\n");
  write_file(archive / (id('e') + ".yaml"), "a: [unclosed\n");
  fs::create_symlink(archive / (id('a') + ".yaml"), archive / (id('f') + ".yaml"));
  fs::create_directory(archive / (id('1') + ".yaml"));
  ASSERT_EQ(::mkfifo((archive / (id('2') + ".yaml")).c_str(), 0600), 0);
  write_file(archive / (id('3') + ".yaml"), "summary: " + std::string(tv::MAX_ARCHIVE_BYTES, 'x') + "\n");
  write_file(archive / "..yaml", "agent: x\n");

  const tv::ArchiveReader reader(archive);
  auto a = reader.attestation(id('a'));
  EXPECT_EQ(a.state, tv::ArchiveState::found);
  EXPECT_EQ(a.value, Value::parse(R"({"agent": "claude-code", "summary": "s", "changes": ["a.txt"]})"));
  EXPECT_EQ(reader.mapping(id('a')), a.value);
  // An empty file is an empty mapping; a list is read but is no mapping.
  EXPECT_EQ(reader.attestation(id('b')).value, Value::object());
  EXPECT_EQ(reader.attestation(id('c')).state, tv::ArchiveState::found);
  EXPECT_EQ(reader.attestation(id('c')).value, Value::array({"one", "two"}));
  EXPECT_FALSE(reader.mapping(id('c')));
  // Not UTF-8, not YAML, a link, a folder, a FIFO (not waited on), too large.
  for (char c : {'d', 'e', 'f', '1', '2', '3'}) {
    EXPECT_EQ(reader.attestation(id(c)).state, tv::ArchiveState::unreadable) << c;
    EXPECT_FALSE(reader.mapping(id(c))) << c;
    EXPECT_EQ(reader.model(id(c)), "") << c;
  }
  // No such file; a name that is no commit id names no file at all.
  EXPECT_EQ(reader.attestation(id('9')).state, tv::ArchiveState::missing);
  EXPECT_EQ(reader.attestation(".").state, tv::ArchiveState::missing);
  EXPECT_EQ(reader.attestation("../" + id('a')).state, tv::ArchiveState::missing);
}

TEST(ArchiveReader, AFileLargerThanOneReadIsReadWhole) {
  TempDir dir;
  const fs::path archive = archive_in(dir);
  std::string text;
  for (int i = 0; text.size() < 300000; ++i) text += "key" + std::to_string(i) + ": value " + std::to_string(i) + "\n";
  text += "agent_model: last-one\n";
  write_file(archive / (id('a') + ".yaml"), text);
  const tv::ArchiveReader reader(archive);
  const auto a = reader.mapping(id('a'));
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)["key0"], "value 0");
  EXPECT_EQ((*a)["agent_model"], "last-one");
  EXPECT_EQ(reader.model(id('a')), "last-one");
}

TEST(ArchiveReader, AMissingFolderHoldsNothingAndARefusedOneNothingReadable) {
  TempDir dir;
  EXPECT_EQ(tv::ArchiveReader(dir.path() / ".brenik" / "attestations").attestation(id('a')).state,
            tv::ArchiveState::missing);
  // The folder is a link to one elsewhere: nothing is read through it.
  TempDir elsewhere;
  write_file(elsewhere.path() / (id('a') + ".yaml"), "agent_model: secret\n");
  fs::create_directories(dir.path() / ".brenik");
  fs::create_directory_symlink(elsewhere.path(), dir.path() / ".brenik" / "attestations");
  const tv::ArchiveReader reader(dir.path() / ".brenik" / "attestations");
  EXPECT_EQ(reader.attestation(id('a')).state, tv::ArchiveState::unreadable);
  EXPECT_EQ(reader.model(id('a')), "");
  EXPECT_TRUE(reader.ledger_segment(id('a')).empty());
}

TEST(ArchiveReader, ModelReadsPlainAndQuotedScalars) {
  TempDir dir;
  const fs::path archive = archive_in(dir);
  write_file(archive / (id('a') + ".yaml"), "staged_diff_hash: x\nagent_model: claude-opus-4-6\nsummary: s\n");
  write_file(archive / (id('b') + ".yaml"), "agent_model: 'gpt-5: mini'\n");
  write_file(archive / (id('c') + ".yaml"), "summary: no model\nnested:\n  agent_model: inner\n");
  write_file(archive / (id('e') + ".yaml"), "agent_model: \"quoted\" # said so\n");
  const tv::ArchiveReader reader(archive);
  EXPECT_EQ(reader.model(id('a')), "claude-opus-4-6");
  EXPECT_EQ(reader.model(id('b')), "gpt-5: mini");
  EXPECT_EQ(reader.model(id('c')), "");
  EXPECT_EQ(reader.model(id('e')), "quoted");
  EXPECT_EQ(reader.model(id('f')), "");
}

TEST(ArchiveReader, LedgerSegmentKeepsObjectsAndTheTextOfOtherLines) {
  TempDir dir;
  const fs::path archive = archive_in(dir);
  write_file(archive / (id('a') + ".ledger.jsonl"), "{\"step\": 1}\n\n  not json  \n{\"step\": 2}");
  const tv::ArchiveReader reader(archive);
  const auto lines = reader.ledger_segment(id('a'));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], Value::parse(R"({"step": 1})"));
  EXPECT_EQ(lines[1], "not json");
  EXPECT_EQ(lines[2], Value::parse(R"({"step": 2})"));
  EXPECT_TRUE(reader.ledger_segment(id('b')).empty());
}

}  // namespace
