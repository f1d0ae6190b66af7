// The uploader against a real brenik-server: batching, the order of its
// refusals, the session header, and progress kept batch by batch.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

#include "paths/paths.hpp"
#include "services/ledger/log_store.hpp"
#include "services/ledger/refused_records.hpp"
#include "services/upload/upload.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/errors.hpp"
#include "utils/json.hpp"

namespace tv = brenik::services::tolvern;
namespace paths = brenik::paths;
using brenik::json::Value;
using namespace brenik::testing;

namespace {

std::vector<Value> records(int n, std::size_t padding = 0) {
  std::vector<Value> out;
  for (int i = 0; i < n; ++i) out.push_back(pending_record(i, padding));
  return out;
}

std::vector<std::size_t> sizes(const std::vector<std::vector<Value>>& batches) {
  std::vector<std::size_t> out;
  for (const auto& b : batches) out.push_back(b.size());
  return out;
}

Value config_with(const Value& project_id) {
  Value c = Value::object();
  c["project_id"] = project_id;
  return c;
}

}  // namespace

// --- batching -------------------------------------------------------------

TEST(ChunkAttestations, CountBudgetGivesFullBatchesAndARemainder) {
  EXPECT_EQ(sizes(tv::detail::chunk_attestations(records(250))), (std::vector<std::size_t>{100, 100, 50}));
  EXPECT_EQ(sizes(tv::detail::chunk_attestations(records(100))), (std::vector<std::size_t>{100}));
  EXPECT_TRUE(tv::detail::chunk_attestations({}).empty());
  // Order is kept across batches.
  auto batches = tv::detail::chunk_attestations(records(7), 3);
  ASSERT_EQ(sizes(batches), (std::vector<std::size_t>{3, 3, 1}));
  EXPECT_EQ(batches[1][0]["commit"], commit_id(3));
  EXPECT_EQ(batches[2][0]["commit"], commit_id(6));
}

TEST(ChunkAttestations, OversizedRecordTravelsAloneAndIsNeverDropped) {
  const std::size_t seven_mib = 7u * 1024u * 1024u;
  // Between small ones: the batch before it closes, it goes alone, the next
  // records start a new batch.
  std::vector<Value> mixed = records(3);
  mixed.push_back(pending_record(3, seven_mib));
  for (int i = 4; i < 6; ++i) mixed.push_back(pending_record(i));
  auto batches = tv::detail::chunk_attestations(mixed);
  ASSERT_EQ(sizes(batches), (std::vector<std::size_t>{3, 1, 2}));
  EXPECT_EQ(batches[1][0]["commit"], commit_id(3));
  // First of all.
  std::vector<Value> first_big = {pending_record(0, seven_mib), pending_record(1)};
  EXPECT_EQ(sizes(tv::detail::chunk_attestations(first_big)), (std::vector<std::size_t>{1, 1}));
  // Two big ones never share a batch.
  std::vector<Value> two_big = {pending_record(0, seven_mib), pending_record(1, seven_mib)};
  EXPECT_EQ(sizes(tv::detail::chunk_attestations(two_big)), (std::vector<std::size_t>{1, 1}));
}

TEST(ChunkAttestations, ByteBudgetCountsEscapedRecordsAndIsInclusive) {
  Value accented = Value::object();
  accented["a"] = "\xc3\xa9";  // é is written as \u00e9: six bytes
  EXPECT_EQ(tv::detail::record_size(accented), std::string("{\"a\": \"\\u00e9\"}").size());
  const std::size_t one = tv::detail::record_size(pending_record(0));
  std::vector<Value> three = records(3);
  // Exactly at the budget still fits; one byte less closes the batch.
  EXPECT_EQ(sizes(tv::detail::chunk_attestations(three, 100, 3 * one)), (std::vector<std::size_t>{3}));
  EXPECT_EQ(sizes(tv::detail::chunk_attestations(three, 100, 3 * one - 1)), (std::vector<std::size_t>{2, 1}));
}

// --- the upload against a server ------------------------------------------

class Upload : public ::testing::Test {
protected:
  void SetUp() override {
    clear_agent_environment(agent_env);
    project_id = world.project("https://github.com/acme/widget.git");
  }
  // Restores the agent variables and the session id the tests set.
  ScopedEnv agent_env;
  ScopedEnv session{"AGENT_SESSION_ID", std::nullopt};

  tv::UploadResult upload(const std::string& key, const Value& project) {
    return tv::upload_attestations(key, world.url(), repo.path(), paths::attestations_dir(repo.path()), project);
  }
  tv::UploadResult upload() { return upload(world.key, Value(project_id)); }
  fs::path attestations() const { return paths::attestations_dir(repo.path()); }

  ServerWorld world;
  TempDir repo;
  std::int64_t project_id = 0;
};

TEST_F(Upload, RefusalsComeInTheirOrder) {
  // Not set up: nothing to send, and no server is asked.
  auto r = upload("", Value());
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.already_synced);

  // Set up but the configuration is empty.
  write_repo_config(repo.path(), Value::object());
  r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.already_synced);

  // A missing project id is reported before a missing log or key.
  write_repo_config(repo.path(), config_with(project_id));
  for (const Value& none : {Value(), Value("")}) {
    r = upload("", none);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.already_synced);
    EXPECT_EQ(r.error, "no project id to address the upload to");
  }

  // No log: nothing to send, even without a key.
  r = upload("", Value(project_id));
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.already_synced);

  // A log but no key.
  append_log_lines(repo.path(), log_lines(0, 2));
  r = upload("", Value(project_id));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "No API key configured");
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 0);
  EXPECT_EQ(world.uploads(project_id).size(), 0u);
}

TEST_F(Upload, LegacyConfigurationFileCountsAsSetUp) {
  // `.brenik` as a plain file is the old layout: set up, but it holds no
  // configuration the uploader can use.
  write_file(paths::legacy_dir(repo.path()), "project_id: 1\n");
  auto r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.already_synced);
}

TEST_F(Upload, NothingPendingCountsWhatCannotBeSent) {
  write_repo_config(repo.path(), config_with(project_id));
  Value unknown = log_line(0);
  unknown["commit"] = "unknown";
  Value short_id = log_line(1);
  short_id["commit"] = "abc1234";
  Value synced = log_line(2);
  synced["synced"] = true;
  append_log_lines(repo.path(), {unknown, short_id, synced});
  auto r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.already_synced);
  EXPECT_EQ(r.skipped_invalid, 2);
  EXPECT_EQ(world.uploads(project_id).size(), 0u);
}

TEST_F(Upload, ManyRecordsGoInBatchesWithTheSessionHeaderAndEndSynced) {
  write_repo_config(repo.path(), config_with(project_id));
  append_log_lines(repo.path(), log_lines(0, 250));
  session.set("AGENT_SESSION_ID", "sess-42");
  auto r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.already_synced);
  EXPECT_EQ(r.uploaded, 250);
  EXPECT_EQ(r.error, std::nullopt);
  auto uploads = world.uploads(project_id);
  EXPECT_EQ(upload_sizes(uploads), (std::vector<std::int64_t>{100, 100, 50}));
  for (const auto& u : uploads) EXPECT_EQ(u["session_id"], "sess-42");
  auto lines = read_log_lines(repo.path());
  ASSERT_EQ(lines.size(), 250u);
  EXPECT_EQ(count_synced(lines), 250);

  // The second run has nothing to do and asks nobody.
  r = upload();
  EXPECT_TRUE(r.already_synced);
  EXPECT_EQ(world.uploads(project_id).size(), 3u);
}

TEST_F(Upload, ALineUpgradedWhileItsBatchIsInFlightStaysPendingForTheNextRun) {
  TempDir flags;
  const fs::path hold = flags.path() / "hold", seen = flags.path() / "hold.seen";
  world.restart({"--pause-upload-while", hold.string()});
  write_repo_config(repo.path(), config_with(project_id));
  append_log_lines(repo.path(), log_lines(0, 3));
  write_file(hold, "");
  tv::UploadResult r;
  std::thread uploader([&] { r = upload(); });
  for (int i = 0; i < 1000 && !fs::exists(seen); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(fs::exists(seen));
  // The batch is at the server: an attestation attached now upgrades line 1.
  Value upgraded = read_log_lines(repo.path())[1];
  upgraded["summary"] = "attested while the batch was in flight";
  EXPECT_TRUE(tv::detail::replace_log_entry(paths::log_jsonl(repo.path()), upgraded));
  fs::remove(hold);
  uploader.join();
  EXPECT_TRUE(r.ok);
  auto lines = read_log_lines(repo.path());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["synced"], true);
  EXPECT_EQ(lines[1]["synced"], false);
  EXPECT_EQ(lines[1]["summary"], "attested while the batch was in flight");
  EXPECT_EQ(lines[2]["synced"], true);

  r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(upload_sizes(world.uploads(project_id)), (std::vector<std::int64_t>{3, 1}));
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 3);
}

TEST_F(Upload, NoSessionKnownMeansNoHeader) {
  write_repo_config(repo.path(), config_with(std::to_string(project_id)));  // id as text
  append_log_lines(repo.path(), log_lines(0, 1));
  session.set("AGENT_SESSION_ID", "");
  auto r =
      tv::upload_attestations(world.key, world.url(), repo.path(), attestations(), Value(std::to_string(project_id)));
  EXPECT_TRUE(r.ok);
  auto uploads = world.uploads(project_id);
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_TRUE(uploads[0]["session_id"].is_null());
}

TEST_F(Upload, LargeRecordIsSentAlone) {
  write_repo_config(repo.path(), config_with(project_id));
  append_log_lines(repo.path(), log_lines(0, 2));
  append_log_lines(repo.path(), {log_line(2, 7u * 1024u * 1024u)});
  append_log_lines(repo.path(), log_lines(3, 5));
  auto r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.uploaded, 5);
  EXPECT_EQ(upload_sizes(world.uploads(project_id)), (std::vector<std::int64_t>{2, 1, 2}));
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 5);
}

TEST_F(Upload, FailedBatchKeepsEarlierProgressAndTheNextRunSendsOnlyTheRest) {
  world.restart({"--fail-upload-after", "1"});
  write_repo_config(repo.path(), config_with(project_id));
  append_log_lines(repo.path(), log_lines(0, 250));
  auto r = upload();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.uploaded, 100);
  ASSERT_TRUE(r.error.has_value());
  EXPECT_NE(r.error->find("503"), std::string::npos) << *r.error;
  auto lines = read_log_lines(repo.path());
  ASSERT_EQ(lines.size(), 250u);
  for (int i = 0; i < 250; ++i) EXPECT_EQ(lines[i]["synced"], i < 100) << i;

  r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.uploaded, 150);
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 250);
  // Nothing went twice: 100, then (the refused one stored nothing) 100 and 50.
  EXPECT_EQ(upload_sizes(world.uploads(project_id)), (std::vector<std::int64_t>{100, 100, 50}));
  EXPECT_EQ(world.attestations(project_id).size(), 250u);
}

TEST_F(Upload, ZeroInsertedCountsNothingButStillMarksSynced) {
  write_repo_config(repo.path(), config_with(project_id));
  append_log_lines(repo.path(), log_lines(0, 3));
  ASSERT_EQ(upload().uploaded, 3);
  // The same records again (as if the marking had been lost): the server
  // already has them.
  fs::remove(paths::log_jsonl(repo.path()));
  append_log_lines(repo.path(), log_lines(0, 3));
  auto r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.already_synced);
  EXPECT_EQ(r.uploaded, 0);
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 3);
}

TEST(UploadAnswers, AnswerWithoutInsertedCountsTheWholeBatch) {
  ScopedEnv agent_env;
  clear_agent_environment(agent_env);
  RawServer bare(RawServer::http_reply(200, "application/json", "{}"));
  TempDir repo;
  write_repo_config(repo.path(), config_with(5));
  append_log_lines(repo.path(), log_lines(0, 4));
  auto r = tv::upload_attestations("bk_x", bare.url(), repo.path(), paths::attestations_dir(repo.path()), Value(5));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.uploaded, 4);
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 4);
}

TEST(UploadAnswers, BrokenAnswersFailTheRunAndMarkNothing) {
  ScopedEnv agent_env;
  clear_agent_environment(agent_env);
  const std::vector<std::string> replies = {
      RawServer::GARBAGE,
      RawServer::http_reply(200, "text/html", "<html>maintenance</html>"),
      RawServer::http_reply(200, "application/json", "{\"inserted\": \"all\"}"),
      RawServer::http_reply(500, "application/json", "{\"error\": {\"code\": \"internal\"}}"),
  };
  for (const auto& reply : replies) {
    RawServer server(reply);
    TempDir repo;
    write_repo_config(repo.path(), config_with(5));
    append_log_lines(repo.path(), log_lines(0, 3));
    auto r = tv::upload_attestations("bk_x", server.url(), repo.path(), paths::attestations_dir(repo.path()), Value(5));
    EXPECT_FALSE(r.ok) << reply;
    EXPECT_EQ(r.uploaded, 0);
    EXPECT_TRUE(r.error.has_value());
    EXPECT_EQ(count_synced(read_log_lines(repo.path())), 0) << reply;
  }
  // Nothing listening at all.
  TempDir repo;
  write_repo_config(repo.path(), config_with(5));
  append_log_lines(repo.path(), log_lines(0, 3));
  auto r = tv::upload_attestations("bk_x", "http://127.0.0.1:" + std::to_string(closed_port()), repo.path(),
                                   paths::attestations_dir(repo.path()), Value(5));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 0);
}

TEST_F(Upload, RecordsAreCompletedFromTheArchiveInTheUploadedCopyOnly) {
  write_repo_config(repo.path(), config_with(project_id));
  // 0: archived attestation between "---" lines, and a ledger segment.
  write_file(attestations() / (commit_id(0) + ".yaml"),
             "---\nsummary: Added rate limiting\ntask_type: feature\nrules:\n  checked: true\n---\n");
  write_file(attestations() / (commit_id(0) + ".ledger.jsonl"), "{\"step\": 1}\n\n  {\"step\": 2}  \n");
  // 1: inline raw_attestation; its file is unreadable YAML and must not be read.
  Value raw = log_line(1);
  raw["raw_attestation"] = "summary: inline";
  write_file(attestations() / (commit_id(1) + ".yaml"), "summary: [unclosed\n");
  // 2: corrupt archive: skipped, counted, stays pending.
  write_file(attestations() / (commit_id(2) + ".yaml"), "a: [1, 2\n  - : :\n");
  // 3: ledger with a broken line: uploaded without a ledger.
  write_file(attestations() / (commit_id(3) + ".ledger.jsonl"), "{\"step\": 1}\nnot json\n");
  append_log_lines(repo.path(), {log_line(0), raw, log_line(2), log_line(3)});

  auto r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.uploaded, 3);
  EXPECT_EQ(r.skipped_invalid, 1);

  auto stored = world.attestations(project_id);
  ASSERT_EQ(stored.size(), 3u);
  std::map<std::string, Value> by_commit;
  for (const auto& s : stored) by_commit[s["commit"].get<std::string>()] = s["record"];
  const Value& first = by_commit[commit_id(0)];
  EXPECT_EQ(first["attestation"]["summary"], "Added rate limiting");
  EXPECT_EQ(first["attestation"]["rules"]["checked"], true);
  EXPECT_EQ(first["ledger"], Value::parse("[{\"step\": 1}, {\"step\": 2}]"));
  EXPECT_EQ(first["summary"], "change 0");
  const Value& second = by_commit[commit_id(1)];
  EXPECT_EQ(second["raw_attestation"], "summary: inline");
  EXPECT_FALSE(second.contains("attestation"));
  EXPECT_FALSE(by_commit[commit_id(3)].contains("ledger"));
  EXPECT_EQ(by_commit.count(commit_id(2)), 0u);

  // The log keeps its summary lines; the corrupt one is still pending.
  auto lines = read_log_lines(repo.path());
  ASSERT_EQ(lines.size(), 4u);
  for (const auto& l : lines) {
    EXPECT_FALSE(l.contains("attestation"));
    EXPECT_FALSE(l.contains("ledger"));
  }
  EXPECT_EQ(lines[2]["synced"], false);
  EXPECT_EQ(count_synced(lines), 3);
  EXPECT_TRUE(fs::exists(attestations() / (commit_id(0) + ".yaml")));
}

TEST_F(Upload, RefusedKeyFailsWithoutMarking) {
  write_repo_config(repo.path(), config_with(project_id));
  append_log_lines(repo.path(), log_lines(0, 3));
  auto r = upload("bk_not_a_key", Value(project_id));
  EXPECT_FALSE(r.ok);
  ASSERT_TRUE(r.error.has_value());
  EXPECT_EQ(r.code, "key_rejected");
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 0);
}

// --- records the server refuses -------------------------------------------

namespace {

Value refused_file(const fs::path& repo) {
  const fs::path file = paths::platform_dir(repo) / "refused.json";
  if (!fs::exists(file)) return Value();
  return Value::parse(read_file(file));
}

std::set<std::string> stored_commits(const ServerWorld& world, std::int64_t project) {
  std::set<std::string> out;
  for (const auto& s : world.attestations(project)) out.insert(s["commit"].get<std::string>());
  return out;
}

// A line nesting `levels` arrays in its "notes" member.
Value deep_line(int i, std::size_t levels) {
  Value line = log_line(i);
  Value inner = Value::array();
  for (std::size_t k = 1; k < levels; ++k) {
    Value outer = Value::array();
    outer.push_back(std::move(inner));
    inner = std::move(outer);
  }
  line["notes"] = std::move(inner);
  return line;
}

}  // namespace

TEST_F(Upload, ATooLargeRecordIsSetAsideAndEveryOtherRecordStillGoes) {
  world.restart({"--max-record-bytes", "4000"});
  write_repo_config(repo.path(), config_with(project_id));
  append_log_lines(repo.path(), log_lines(0, 4));
  append_log_lines(repo.path(), {log_line(4, 6000)});
  append_log_lines(repo.path(), log_lines(5, 10));
  auto r = upload();
  EXPECT_TRUE(r.ok) << r.error.value_or("");
  EXPECT_EQ(r.uploaded, 9);
  EXPECT_EQ(r.refused, 1);
  auto lines = read_log_lines(repo.path());
  ASSERT_EQ(lines.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(lines[i]["synced"], i != 4) << i;
  EXPECT_EQ(stored_commits(world, project_id).size(), 9u);
  EXPECT_EQ(stored_commits(world, project_id).count(commit_id(4)), 0u);
  // Set aside with its reason, its status and the line it was.
  const Value refused = refused_file(repo.path());
  ASSERT_TRUE(refused.is_object()) << refused;
  ASSERT_EQ(refused.size(), 1u) << refused;
  const Value& entry = refused[commit_id(4)];
  EXPECT_EQ(entry["status"], 413);
  EXPECT_EQ(entry["reason"], "HTTP 413: The attestation of commit " + commit_id(4) + " is larger than 4000 bytes.");
  EXPECT_EQ(entry["line_sha256"], tv::line_fingerprint(lines[4]));
  EXPECT_FALSE(entry["at"].get<std::string>().empty());

  // The next run sends nothing: the record is refused as it still reads.
  const auto requests = world.uploads(project_id).size();
  r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.already_synced);
  EXPECT_EQ(r.refused, 1);
  EXPECT_EQ(world.uploads(project_id).size(), requests);

  // A late attestation rewrites the line: it is tried again, and taken.
  Value upgraded = lines[4];
  upgraded["notes"] = "short now";
  upgraded["summary"] = "attested later";
  ASSERT_TRUE(tv::detail::replace_log_entry(paths::log_jsonl(repo.path()), upgraded));
  r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.uploaded, 1);
  EXPECT_EQ(r.refused, 0);
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 10);
  EXPECT_FALSE(fs::exists(paths::platform_dir(repo.path()) / "refused.json"));
}

TEST_F(Upload, ARefusedBatchIsSplitSoOnlyTheCulpritsAreRefused) {
  world.restart({"--max-record-bytes", "4000"});
  write_repo_config(repo.path(), config_with(project_id));
  // 250 records in three batches; a too large one in the first, a malformed
  // (too deeply nested) one in the third, and the last record too large.
  std::vector<Value> all = log_lines(0, 250);
  all[17] = log_line(17, 6000);
  all[230] = deep_line(230, 300);
  all[249] = log_line(249, 6000);
  append_log_lines(repo.path(), all);
  auto r = upload();
  EXPECT_TRUE(r.ok) << r.error.value_or("");
  EXPECT_EQ(r.uploaded, 247);
  EXPECT_EQ(r.refused, 3);
  const auto stored = stored_commits(world, project_id);
  EXPECT_EQ(stored.size(), 247u);
  for (int bad : {17, 230, 249}) EXPECT_EQ(stored.count(commit_id(bad)), 0u) << bad;
  const Value refused = refused_file(repo.path());
  ASSERT_EQ(refused.size(), 3u) << refused;
  EXPECT_EQ(refused[commit_id(17)]["status"], 413);
  EXPECT_EQ(refused[commit_id(230)]["status"], 400);
  EXPECT_NE(refused[commit_id(230)]["reason"].get<std::string>().find("nests deeper"), std::string::npos);
  EXPECT_EQ(refused[commit_id(249)]["status"], 413);
  auto lines = read_log_lines(repo.path());
  EXPECT_EQ(count_synced(lines), 247);
  for (int bad : {17, 230, 249}) EXPECT_EQ(lines[bad]["synced"], false) << bad;
}

TEST_F(Upload, ATransientFailureNeverSetsARecordAside) {
  world.restart({"--fail-upload-after", "0", "--max-record-bytes", "4000"});
  write_repo_config(repo.path(), config_with(project_id));
  append_log_lines(repo.path(), log_lines(0, 3));
  auto r = upload();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.refused, 0);
  EXPECT_FALSE(fs::exists(paths::platform_dir(repo.path()) / "refused.json"));
  // Nothing listening at all: the same.
  r = tv::upload_attestations(world.key, "http://127.0.0.1:" + std::to_string(closed_port()), repo.path(),
                              attestations(), Value(project_id));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.refused, 0);
  EXPECT_FALSE(fs::exists(paths::platform_dir(repo.path()) / "refused.json"));
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 0);
}

TEST_F(Upload, ARefusedFileKeepsOnlyRecordsThatAreStillPending) {
  write_repo_config(repo.path(), config_with(project_id));
  append_log_lines(repo.path(), log_lines(0, 2));
  // An entry for a commit the log does not hold, and one whose line changed
  // since (its fingerprint no longer matches): both are dropped, the changed
  // one is sent.
  Value stale = Value::object();
  for (const auto& [commit, sha] :
       {std::pair{commit_id(9), std::string(64, 'a')}, std::pair{commit_id(1), std::string(64, 'b')}}) {
    Value entry = Value::object();
    entry["reason"] = "HTTP 413: old";
    entry["status"] = 413;
    entry["at"] = "2026-01-01T00:00:00Z";
    entry["line_sha256"] = sha;
    stale[commit] = entry;
  }
  write_file(paths::platform_dir(repo.path()) / "refused.json", brenik::json::dumps(stale));
  auto r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.uploaded, 2);
  EXPECT_EQ(r.refused, 0);
  EXPECT_FALSE(fs::exists(paths::platform_dir(repo.path()) / "refused.json"));
}

TEST_F(Upload, ASessionIdAHeaderCannotCarryIsLeftOutNotFatal) {
  write_repo_config(repo.path(), config_with(project_id));
  int i = 0;
  for (const char* id :
       {"a\r\nX-Evil: 1", "line\nbreak", "tab\there", "bell\x07", "del\x7f", "caf\xc3\xa9", "\xff\xfe"}) {
    append_log_lines(repo.path(), {log_line(i)});
    session.set("AGENT_SESSION_ID", id);
    auto r = upload();
    EXPECT_TRUE(r.ok) << i << ": " << r.error.value_or("");
    EXPECT_EQ(r.uploaded, 1) << i;
    ++i;
  }
  auto uploads = world.uploads(project_id);
  ASSERT_EQ(uploads.size(), static_cast<std::size_t>(i));
  for (const auto& u : uploads) EXPECT_TRUE(u["session_id"].is_null()) << u;
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), i);
}

TEST_F(Upload, AnAttestationPathThatIsNotAFileIsAReadFailure) {
  write_repo_config(repo.path(), config_with(project_id));
  // 0: a folder where the archive belongs; 1: a link to a file outside the
  // repository; 2: an ordinary record.
  fs::create_directories(attestations() / (commit_id(0) + ".yaml"));
  TempDir elsewhere;
  write_file(elsewhere.path() / "secret.yaml", "token: do-not-send\n");
  fs::create_symlink(elsewhere.path() / "secret.yaml", attestations() / (commit_id(1) + ".yaml"));
  append_log_lines(repo.path(), log_lines(0, 3));
  auto r = upload();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.uploaded, 1);
  EXPECT_EQ(r.skipped_invalid, 2);
  const auto stored = stored_commits(world, project_id);
  EXPECT_EQ(stored, (std::set<std::string>{commit_id(2)}));
  auto lines = read_log_lines(repo.path());
  EXPECT_EQ(lines[0]["synced"], false);
  EXPECT_EQ(lines[1]["synced"], false);
  EXPECT_EQ(lines[2]["synced"], true);
}

TEST(UploadAnswers, EveryRecordOfARefusedBatchIsTriedAloneBeforeItIsSetAside) {
  ScopedEnv agent_env;
  clear_agent_environment(agent_env);
  // A server that refuses whatever it gets as unprocessable: each record is
  // refused on its own, with the server's words.
  RawServer server(RawServer::http_reply(
      422, "application/json", "{\"error\": {\"code\": \"unprocessable\", \"message\": \"cannot\\ntake it\"}}"));
  TempDir repo;
  write_repo_config(repo.path(), config_with(5));
  append_log_lines(repo.path(), log_lines(0, 3));
  auto r = tv::upload_attestations("bk_x", server.url(), repo.path(), paths::attestations_dir(repo.path()), Value(5));
  EXPECT_TRUE(r.ok) << r.error.value_or("");
  EXPECT_EQ(r.uploaded, 0);
  EXPECT_EQ(r.refused, 3);
  // [0,3) -> [0,1) | [1,3) -> [1,2) | [2,3): five requests.
  EXPECT_EQ(server.accepted(), 5);
  const Value refused = refused_file(repo.path());
  ASSERT_EQ(refused.size(), 3u) << refused;
  // One line for a terminal: the server's line break is gone.
  EXPECT_EQ(refused[commit_id(1)]["reason"], "HTTP 422: cannot take it");
  EXPECT_EQ(count_synced(read_log_lines(repo.path())), 0);
}

TEST(UploadAnswers, TheRefusedFileIsNeverWrittenThroughALinkedFolder) {
  ScopedEnv agent_env;
  clear_agent_environment(agent_env);
  RawServer server(RawServer::http_reply(413, "application/json", "{}"));
  TempDir repo, outside;
  write_repo_config(repo.path(), config_with(5));
  append_log_lines(repo.path(), log_lines(0, 1));
  // .brenik/.platform, config and log included, becomes a link to a folder
  // outside the repository, as a hostile clone can plant it.
  const auto moved = outside.path() / "platform";
  fs::rename(paths::platform_dir(repo.path()), moved);
  fs::create_directory_symlink(moved, paths::platform_dir(repo.path()));
  const std::string log_before = read_file(moved / "log.jsonl");
  // The configuration cannot be read through the link: the upload stops
  // with the file-system error before anything is sent or set aside.
  EXPECT_THROW(
      tv::upload_attestations("bk_x", server.url(), repo.path(), paths::attestations_dir(repo.path()), Value(5)),
      brenik::OSError);
  EXPECT_FALSE(fs::exists(moved / "refused.json"));
  EXPECT_EQ(read_file(moved / "log.jsonl"), log_before);
}
