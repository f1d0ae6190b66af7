// Commit capture, pending-attestation filing, catch-up and backfill against
// real repositories, with the harness homes pointed at a temporary directory.
#include <gtest/gtest.h>

#include <set>

#include "agents/claude_code.hpp"
#include "fixtures/agents/agents_env.hpp"
#include "paths/paths.hpp"
#include "services/capture/capture.hpp"
#include "services/ledger/commit_records.hpp"
#include "services/capture/catch_up.hpp"
#include "services/ledger/first_run.hpp"
#include "services/capture/pending.hpp"
#include "services/shared.hpp"
#include "support/cwd.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/filelock.hpp"
#include "utils/json.hpp"
#include "utils/time.hpp"

namespace {

namespace t = brenik::services::tolvern;
namespace paths = brenik::paths;
namespace json = brenik::json;
using brenik::testing::read_file;
using brenik::testing::read_log_lines;
using brenik::testing::TempRepo;
using brenik::testing::write_file;
namespace fs = std::filesystem;

void configure(const fs::path& repo, const std::string& installed_at = "2000-01-01T00:00:00Z") {
  json::Value config = json::Value::object();
  config["installed_at"] = installed_at;
  brenik::services::shared::save_local_config(repo, config);
}

// The pending attestation an agent writes before committing `content` to `name`.
void write_pending(const fs::path& repo, const std::string& diff_hash, const std::string& summary) {
  write_file(paths::commit_attestation(repo),
             "---\nsummary: " + summary + "\nagent: claude-code\n" + "staged_diff_hash: " + diff_hash + "\n---\n");
}

class CaptureTest : public ::testing::Test {
protected:
  void SetUp() override {
    brenik::testing::isolate_git_environment();
    agents_test::isolate_harness_env(env, home.path());
  }
  agents_test::TempDir home;
  agents_test::ScopedEnv env;
  TempRepo repo;
};

TEST_F(CaptureTest, RecordsACommitOnceWhicheverTriggerAsks) {
  const auto sha = repo.commit_file("a.txt", "a\n", "fix: parser crash");

  auto missing = t::capture_commit(repo.root(), "deadbeef");
  EXPECT_FALSE(missing.written);
  EXPECT_EQ(missing.commit, "deadbeef");
  EXPECT_EQ(missing.reason, "no such commit in this repo");

  EXPECT_EQ(t::record_commit(repo.root()), sha);
  auto again = t::capture_commit(repo.root(), "HEAD", {.session_id = "s1", .agent = "claude-code"});
  EXPECT_FALSE(again.written);
  EXPECT_EQ(again.reason, "already recorded");
  EXPECT_EQ(again.commit, sha);
  EXPECT_EQ(t::record_commit(repo.root()), sha);  // already recorded still answers the id

  auto lines = read_log_lines(repo.root());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["commit"], sha);
  EXPECT_EQ(lines[0]["agent"], "unknown");
  EXPECT_EQ(lines[0]["event"], "commit_unattested");
  EXPECT_EQ(lines[0]["synced"], false);
  const auto archived = read_file(paths::attestations_dir(repo.root()) / (sha + ".yaml"));
  EXPECT_NE(archived.find("source: post_commit"), std::string::npos);
  EXPECT_NE(archived.find("task_type: bug-fix"), std::string::npos);
}

TEST_F(CaptureTest, UnbornHeadGivesNoRecord) {
  EXPECT_EQ(t::record_commit(repo.root()), std::nullopt);
  EXPECT_TRUE(read_log_lines(repo.root()).empty());
}

TEST_F(CaptureTest, PendingAttestationMatchingThisCommitIsFiledInsteadOfARecord) {
  write_file(repo.root() / "a.txt", "hello\n");
  repo.git({"add", "a.txt"});
  const auto hash = brenik::services::shared::get_staged_diff_hash(repo.root());
  write_pending(repo.root(), hash, "Added greeting");
  repo.git({"commit", "-q", "-m", "add greeting"});
  const auto sha = repo.head();

  brenik::testing::ScopedCwd cwd(repo.root());  // the diff-hash search runs in the current repository
  auto result = t::capture_commit(repo.root(), "HEAD", {.source = "post_commit"});
  EXPECT_TRUE(result.written);
  EXPECT_TRUE(result.attested);
  EXPECT_FALSE(fs::exists(paths::commit_attestation(repo.root())));
  auto lines = read_log_lines(repo.root());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["summary"], "Added greeting");
  EXPECT_FALSE(lines[0].contains("event"));
}

TEST_F(CaptureTest, PendingAttestationOfAnOlderCommitGoesThereAndThisCommitGetsItsOwnRecord) {
  write_file(repo.root() / "a.txt", "one\n");
  repo.git({"add", "a.txt"});
  const auto hash = brenik::services::shared::get_staged_diff_hash(repo.root());
  repo.git({"commit", "-q", "-m", "one"});
  const auto older = repo.head();
  const auto newer = repo.commit_file("b.txt", "two\n", "two");
  write_pending(repo.root(), hash, "First change");

  brenik::testing::ScopedCwd cwd(repo.root());
  auto result = t::capture_commit(repo.root(), "HEAD");
  EXPECT_TRUE(result.written);
  EXPECT_FALSE(result.attested);
  auto lines = read_log_lines(repo.root());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["commit"], older);
  EXPECT_EQ(lines[0]["summary"], "First change");
  EXPECT_EQ(lines[1]["commit"], newer);
  EXPECT_EQ(lines[1]["event"], "commit_unattested");
}

TEST_F(CaptureTest, BadPendingFilesAreKeptAndTheReasonSaysWhy) {
  repo.commit_file("a.txt", "a\n", "one");
  write_file(paths::commit_attestation(repo.root()), "- a\n- list\n");
  auto result = t::capture_commit(repo.root(), "HEAD");
  EXPECT_FALSE(result.written);
  EXPECT_NE(result.reason.find("does not hold a YAML mapping (found list)"), std::string::npos);
  EXPECT_TRUE(fs::exists(paths::commit_attestation(repo.root())));

  write_file(paths::commit_attestation(repo.root()), "summary: \xff\xfe broken\n");
  result = t::capture_commit(repo.root(), "HEAD");
  EXPECT_FALSE(result.written);
  EXPECT_NE(result.reason.find("not valid UTF-8"), std::string::npos);
  EXPECT_EQ(read_file(paths::commit_attestation(repo.root())), "summary: \xff\xfe broken\n");
  EXPECT_TRUE(read_log_lines(repo.root()).empty());

  // The catch-up never consumes the pending file, so the commit still gets
  // its record there.
  auto caught = t::capture_commit(repo.root(), "HEAD",
                                  {.source = "catch_up", .consume_pending = false, .attribute_ambient = false});
  EXPECT_TRUE(caught.written);
  EXPECT_TRUE(fs::exists(paths::commit_attestation(repo.root())));
}

TEST_F(CaptureTest, AttributionFollowsTheSessionAndTheDeclaredHarness) {
  repo.commit_file("a.txt", "a\n", "one");
  auto named = t::capture_commit(repo.root(), "HEAD", {.session_id = "nobody-knows", .agent = "claude-code"});
  ASSERT_TRUE(named.written);
  auto line = read_log_lines(repo.root()).back();
  EXPECT_EQ(line["agent"], "claude-code");
  EXPECT_EQ(line["agent_provider"], "anthropic");
  EXPECT_EQ(line["agent_session_id"], "nobody-knows");
  EXPECT_FALSE(line.contains("telemetry"));

  repo.commit_file("b.txt", "b\n", "two");
  auto anonymous = t::capture_commit(repo.root(), "HEAD", {.session_id = "nobody-knows"});
  ASSERT_TRUE(anonymous.written);
  line = read_log_lines(repo.root()).back();
  EXPECT_EQ(line["agent"], "unknown");
  EXPECT_FALSE(line.contains("agent_session_id"));
  EXPECT_FALSE(line.contains("agent_provider"));

  repo.commit_file("c.txt", "c\n", "three");
  auto caught = t::capture_commit(repo.root(), "HEAD", {.source = "catch_up", .attribute_ambient = false});
  ASSERT_TRUE(caught.written);
  line = read_log_lines(repo.root()).back();
  EXPECT_EQ(line["agent"], "unknown");
  EXPECT_EQ(line["developer"]["git_author_name"], "Test Author");  // the commit's own author
}

TEST_F(CaptureTest, TheCommitTriggerTakesTheDeveloperFromTheConfigurationOnly) {
  repo.git({"config", "user.name", "Config Person"});
  repo.git({"config", "user.email", "config@example.com"});
  write_file(repo.root() / "a.txt", "a\n");
  repo.git({"add", "a.txt"});
  repo.git({"commit", "-q", "-m", "by another", "--author", "Someone Else <else@example.com>"});
  ASSERT_EQ(t::record_commit(repo.root()), repo.head());
  auto line = read_log_lines(repo.root()).back();
  EXPECT_EQ(line["commit"], repo.head());
  EXPECT_EQ(line["summary"], "by another");
  EXPECT_EQ(line["developer"]["git_author_name"], "Config Person");
  EXPECT_EQ(line["developer"]["git_author_email"], "config@example.com");
  // Without a configured identity the record names no developer at all.
  repo.git({"config", "--unset", "user.name"});
  repo.git({"config", "--unset", "user.email"});
  repo.commit_file("b.txt", "b\n", "unconfigured");
  ASSERT_EQ(t::record_commit(repo.root()), repo.head());
  line = read_log_lines(repo.root()).back();
  EXPECT_EQ(line["summary"], "unconfigured");
  EXPECT_FALSE(line.contains("developer")) << json::dumps(line);
}

TEST_F(CaptureTest, AKnownSessionBringsItsTelemetry) {
  const auto sha = repo.commit_file("a.txt", "a\n", "one");
  const std::string s = "3f2a9c1e-0000-4000-8000-0000000000aa";
  const auto folder =
      home.path() / ".claude" / "projects" / brenik::agents::detail::claude_folder_name(repo.root().string());
  const double now = brenik::utils::now_epoch();
  agents_test::write_lines(folder / (s + ".jsonl"),
                           {agents_test::claude_prompt(s, repo.root(), now - 60, "commit"),
                            agents_test::claude_assistant(s, repo.root(), now - 30, "msg_1", "req_1", "claude-opus-4-6",
                                                          agents_test::text_block("done " + sha.substr(0, 7)),
                                                          agents_test::claude_usage(10, 20, 0, 0))});
  auto result = t::capture_commit(repo.root(), "HEAD", {.session_id = s, .source = "harness"});
  ASSERT_TRUE(result.written);
  EXPECT_TRUE(result.tokens);
  auto line = read_log_lines(repo.root()).back();
  EXPECT_EQ(line["agent"], "claude-code");
  EXPECT_EQ(line["telemetry"]["model"], "claude-opus-4-6");
  EXPECT_EQ(line["telemetry"]["source"], "harness");
  EXPECT_EQ(line["telemetry"]["agent_runtime"], "claude-code");
}

TEST_F(CaptureTest, AttachUpgradesTheRecordedLineInPlace) {
  const auto sha = repo.commit_file("a.txt", "a\n", "one");
  ASSERT_TRUE(t::record_commit(repo.root()));
  auto unknown = t::attach_pending_attestation(repo.root(), "0000000");
  EXPECT_EQ(unknown.reason, "no such commit in this repo");
  auto nothing = t::attach_pending_attestation(repo.root(), sha.substr(0, 7));
  EXPECT_EQ(nothing.reason, "no pending attestation file");

  write_file(paths::commit_attestation(repo.root()), "summary: Late words\n");
  brenik::testing::ScopedCwd cwd(repo.root());
  auto attached = t::attach_pending_attestation(repo.root(), sha.substr(0, 7));
  EXPECT_TRUE(attached.written);
  EXPECT_TRUE(attached.attested);
  EXPECT_EQ(attached.commit, sha);
  auto lines = read_log_lines(repo.root());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["summary"], "Late words");
  EXPECT_EQ(lines[0]["synced"], false);
}

TEST_F(CaptureTest, LegacyLogIsMovedOnceIntoTheLog) {
  repo.commit_file("a.txt", "a\n", "one");
  const std::string old_line = R"({"commit": "1111111111111111111111111111111111111111", "synced": true})";
  write_file(repo.root() / ".breniklog", old_line + "\n");
  write_file(paths::commit_attestation(repo.root()), "summary: s\n");
  brenik::testing::ScopedCwd cwd(repo.root());
  auto result = t::process_pending_attestation(repo.root());
  EXPECT_TRUE(result.found);
  EXPECT_FALSE(fs::exists(repo.root() / ".breniklog"));
  auto lines = read_log_lines(repo.root());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["commit"], "1111111111111111111111111111111111111111");
  EXPECT_EQ(t::process_pending_attestation(repo.root()).found, false);
}

// ---- first-run anchor ----------------------------------------------------

TEST_F(CaptureTest, FirstRunStateAndInstallAnchor) {
  namespace d = t::detail;
  EXPECT_TRUE(d::nothing_recorded_yet(repo.root()));
  write_file(paths::log_jsonl(repo.root()), "");
  EXPECT_TRUE(d::nothing_recorded_yet(repo.root()));
  write_file(paths::attestations_dir(repo.root()) / "abc.yaml", "x: 1\n");
  EXPECT_FALSE(d::nothing_recorded_yet(repo.root()));

  EXPECT_EQ(d::config_anchor(repo.root()), std::nullopt);
  const double ten = 1714557600.0;  // 2024-05-01T10:00:00Z
  for (const char* stamp : {"2024-05-01T10:00:00.900Z", "2024-05-01T10:00:00.900", "2024-05-01T12:00:00+02:00"}) {
    configure(repo.root(), stamp);
    EXPECT_EQ(d::installed_at(repo.root()), ten) << stamp;
    EXPECT_EQ(d::config_anchor(repo.root()), ten) << stamp;
  }
  configure(repo.root(), "not a date");
  EXPECT_EQ(d::installed_at(repo.root()), std::nullopt);
  agents_test::set_mtime(paths::config_yaml(repo.root()), 1600000000.7);
  EXPECT_EQ(d::config_anchor(repo.root()), 1600000000.0);

  fs::remove(paths::config_yaml(repo.root()));
  write_file(paths::legacy_dir(repo.root()) / "config.json", "{}");
  agents_test::set_mtime(paths::legacy_dir(repo.root()) / "config.json", 1500000000);
  EXPECT_EQ(d::config_anchor(repo.root()), 1500000000.0);
}

// ---- catch-up ------------------------------------------------------------

std::string commit_at(TempRepo& repo, const std::string& name, long long when) {
  write_file(repo.root() / name, name + "\n");
  repo.git({"add", name});
  const std::string date = "@" + std::to_string(when) + " +0000";
  brenik::testing::ScopedEnv a("GIT_AUTHOR_DATE", date), c("GIT_COMMITTER_DATE", date);
  repo.git({"commit", "-q", "-m", "work on " + name});
  return repo.head();
}

TEST_F(CaptureTest, CatchUpDoesNothingWithoutSetup) {
  repo.commit_file("a.txt", "a\n", "one");
  EXPECT_TRUE(t::catch_up_commits(repo.root()).empty());
  EXPECT_FALSE(fs::exists(paths::log_jsonl(repo.root())));
  EXPECT_FALSE(fs::exists(brenik::utils::lock_file_for(paths::log_jsonl(repo.root()))));
}

TEST_F(CaptureTest, CatchUpRecordsTheBacklogNewestFirstAndSkipsTheRecorded) {
  configure(repo.root());
  const long long base = 1780000000;
  commit_at(repo, "old.txt", base);
  ASSERT_TRUE(t::record_commit(repo.root()));
  std::vector<std::string> made;
  for (int i = 0; i < 5; ++i) made.push_back(commit_at(repo, "f" + std::to_string(i), base + 10 + i));
  write_file(paths::commit_attestation(repo.root()), "summary: for the next commit\n");

  auto results = t::catch_up_commits(repo.root());
  ASSERT_EQ(results.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(results[i].commit, made[4 - i]);
    EXPECT_TRUE(results[i].written);
  }
  EXPECT_TRUE(fs::exists(paths::commit_attestation(repo.root())));  // never consumed
  EXPECT_EQ(read_log_lines(repo.root()).size(), 6u);
  EXPECT_TRUE(t::catch_up_commits(repo.root()).empty());
}

TEST_F(CaptureTest, FirstCatchUpStopsAtTheInstallSecond) {
  const long long anchor = 1780000000;
  configure(repo.root(), "2026-05-28T20:26:40Z");  // == anchor
  ASSERT_EQ(t::detail::installed_at(repo.root()), static_cast<double>(anchor));
  commit_at(repo, "before.txt", anchor - 1);
  const auto same = commit_at(repo, "same.txt", anchor);
  const auto after = commit_at(repo, "after.txt", anchor + 5);
  auto results = t::catch_up_commits(repo.root());
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].commit, after);
  EXPECT_EQ(results[1].commit, same);

  // Once something is recorded the anchor no longer applies: an old commit
  // on top of the recorded ones is still found.
  const auto later_old = commit_at(repo, "backdated.txt", anchor - 1000);
  results = t::catch_up_commits(repo.root());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].commit, later_old);
}

TEST_F(CaptureTest, CatchUpNamesTheOneSessionThatRanTheCommit) {
  configure(repo.root());
  const long long base = static_cast<long long>(brenik::utils::now_epoch()) - 600;
  const auto mine = commit_at(repo, "mine.txt", base);
  const auto shared_commit = commit_at(repo, "shared.txt", base + 100);
  const auto folder =
      home.path() / ".claude" / "projects" / brenik::agents::detail::claude_folder_name(repo.root().string());
  auto session = [&](const std::string& id, const std::vector<std::string>& ids) {
    std::vector<std::string> lines{agents_test::claude_prompt(id, repo.root(), base - 100, "go")};
    int n = 0;
    for (const auto& c : ids)
      lines.push_back(agents_test::claude_assistant(id, repo.root(), base - 50 + n++, "m" + id + c.substr(0, 4), "r",
                                                    "claude-opus-4-6", agents_test::text_block("committed " + c),
                                                    agents_test::claude_usage(1, 1, 0, 0)));
    agents_test::write_lines(folder / (id + ".jsonl"), lines);
  };
  session("aaaa0000-0000-4000-8000-000000000001", {mine, shared_commit});
  session("bbbb0000-0000-4000-8000-000000000002", {shared_commit});

  auto results = t::catch_up_commits(repo.root());
  ASSERT_EQ(results.size(), 2u);
  auto lines = read_log_lines(repo.root());
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) {
    if (line["commit"] == mine) {
      EXPECT_EQ(line["agent"], "claude-code");
      EXPECT_EQ(line["agent_session_id"], "aaaa0000-0000-4000-8000-000000000001");
    } else {
      EXPECT_EQ(line["agent"], "unknown");  // two sessions claim it
      EXPECT_FALSE(line.contains("agent_session_id"));
    }
  }
}

TEST_F(CaptureTest, BackfillRefusesWhatItCannotProve) {
  const auto sha = repo.commit_file("a.txt", "a\n", "one");
  auto bad = t::record_backfill(repo.root(), {.commit = "zzz", .session_id = "s", .task_type = "bug-fix"});
  EXPECT_EQ(bad.reason, "no such commit in this repo");
  EXPECT_EQ(bad.commit, "zzz");
  auto unknown =
      t::record_backfill(repo.root(), {.commit = sha.substr(0, 7), .session_id = "s9", .task_type = "bug-fix"});
  EXPECT_EQ(unknown.reason, "no agent transcript found for session s9");

  const auto folder =
      home.path() / ".claude" / "projects" / brenik::agents::detail::claude_folder_name(repo.root().string());
  const std::string s = "cccc0000-0000-4000-8000-000000000003";
  agents_test::write_lines(folder / (s + ".jsonl"),
                           {agents_test::claude_prompt(s, repo.root(), agents_test::T0, "hi")});
  auto no_model = t::record_backfill(repo.root(), {.commit = sha, .session_id = s, .task_type = "bug-fix"});
  EXPECT_EQ(no_model.reason, "transcript for session " + s + " names no model");

  agents_test::write_lines(
      folder / (s + ".jsonl"),
      {agents_test::claude_prompt(s, repo.root(), agents_test::T0, "hi"),
       agents_test::claude_assistant(s, repo.root(), agents_test::T0 + 1, "m1", "r1", "claude-opus-4-6",
                                     agents_test::text_block("ok"), agents_test::claude_usage(5, 6, 0, 0))});
  auto ok = t::record_backfill(repo.root(), {.commit = sha, .session_id = s, .task_type = "feature"});
  EXPECT_TRUE(ok.written);
  EXPECT_TRUE(ok.tokens);
  const auto archived = read_file(paths::attestations_dir(repo.root()) / (sha + ".yaml"));
  EXPECT_NE(archived.find("source: backfill"), std::string::npos);
  EXPECT_NE(archived.find("task_type: feature"), std::string::npos);
  auto again = t::record_backfill(repo.root(), {.commit = sha, .session_id = s, .task_type = "feature"});
  EXPECT_EQ(again.reason, "already recorded");
}

// ---- one line per commit, the attestation winning -------------------------

// Stages `name`, writes the pending attestation for exactly that change, commits.
std::string commit_with_pending(TempRepo& repo, const std::string& name, const std::string& summary) {
  write_file(repo.root() / name, name + "\n");
  repo.git({"add", name});
  write_pending(repo.root(), brenik::services::shared::get_staged_diff_hash(repo.root()), summary);
  repo.git({"commit", "-q", "-m", "work on " + name});
  return repo.head();
}

TEST_F(CaptureTest, AttestationFiledAfterAPlainRecordReplacesItsLineAndArchive) {
  configure(repo.root());
  brenik::testing::ScopedCwd cwd(repo.root());
  const auto archive_of = [&](const std::string& sha) {
    return read_file(paths::attestations_dir(repo.root()) / (sha + ".yaml"));
  };

  // The catch-up got to the commit before the post-commit hook filed the
  // agent's attestation.
  const auto first = commit_with_pending(repo, "a.txt", "Agent words one");
  ASSERT_EQ(t::catch_up_commits(repo.root()).size(), 1u);
  auto filed = t::capture_commit(repo.root(), "HEAD", {.source = "post_commit"});
  EXPECT_TRUE(filed.written);
  EXPECT_TRUE(filed.attested);
  EXPECT_FALSE(fs::exists(paths::commit_attestation(repo.root())));

  // The sync filed it after the post-commit hook recorded the commit plainly.
  const auto second = commit_with_pending(repo, "b.txt", "Agent words two");
  ASSERT_TRUE(t::capture_commit(repo.root(), "HEAD", {.source = "catch_up", .consume_pending = false}).written);
  EXPECT_EQ(t::process_pending_attestation(repo.root()).matched_commit, second);

  // A plain record that lost the race to either writes nothing.
  for (const auto& sha : {first, second}) {
    auto late = t::detail::write_commit_record(repo.root(), sha,
                                               {.source = "catch_up",
                                                .agent_name = "unknown",
                                                .agent_provider = std::nullopt,
                                                .session_id = std::nullopt,
                                                .telemetry = std::nullopt,
                                                .task_type = std::nullopt,
                                                .archive_ledger = true,
                                                .event = "commit_unattested"});
    EXPECT_FALSE(late.written);
    EXPECT_EQ(late.reason, "already recorded");
  }

  auto lines = read_log_lines(repo.root());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["commit"], first);
  EXPECT_EQ(lines[0]["summary"], "Agent words one");
  EXPECT_FALSE(lines[0].contains("event"));
  EXPECT_EQ(lines[1]["commit"], second);
  EXPECT_EQ(lines[1]["summary"], "Agent words two");
  EXPECT_EQ(lines[1]["synced"], false);
  for (const auto& sha : {first, second}) {
    EXPECT_EQ(archive_of(sha).find("agent: unknown"), std::string::npos) << archive_of(sha);
    EXPECT_NE(archive_of(sha).find("Agent words"), std::string::npos);
  }
}

TEST_F(CaptureTest, ArchiveWrittenWithoutItsLineIsCompletedFromTheArchive) {
  configure(repo.root());
  const auto sha = repo.commit_file("a.txt", "a\n", "one");
  // The archive went in, then the append failed (full disk, killed writer).
  write_file(paths::attestations_dir(repo.root()) / (sha + ".yaml"),
             "summary: What the agent attested\nagent: claude-code\nagent_session_id: s-9\n");
  write_file(paths::log_jsonl(repo.root()), "");

  auto result = t::capture_commit(repo.root(), "HEAD", {.source = "post_commit"});
  EXPECT_TRUE(result.written);
  auto lines = read_log_lines(repo.root());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["commit"], sha);
  EXPECT_EQ(lines[0]["summary"], "What the agent attested");
  EXPECT_EQ(lines[0]["agent"], "claude-code");
  EXPECT_EQ(lines[0]["agent_session_id"], "s-9");
  EXPECT_FALSE(lines[0].contains("event"));
  EXPECT_NE(read_file(paths::attestations_dir(repo.root()) / (sha + ".yaml")).find("What the agent attested"),
            std::string::npos);
  EXPECT_EQ(t::capture_commit(repo.root(), "HEAD").reason, "already recorded");
  EXPECT_EQ(read_log_lines(repo.root()).size(), 1u);

  // The catch-up completes such a commit too.
  const auto next = repo.commit_file("b.txt", "b\n", "two");
  write_file(paths::attestations_dir(repo.root()) / (next + ".yaml"),
             "source: post_commit\nsummary: two\nagent: unknown\n");
  auto caught = t::catch_up_commits(repo.root());
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_EQ(caught[0].commit, next);
  lines = read_log_lines(repo.root());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["commit"], next);
  EXPECT_EQ(lines[1]["event"], "commit_unattested");
}

TEST_F(CaptureTest, CatchUpFindsACommitMissedBelowARecordedOne) {
  configure(repo.root());
  const long long base = 1780000000;
  const auto missed = commit_at(repo, "a.txt", base);
  const auto recorded = commit_at(repo, "b.txt", base + 1);
  ASSERT_TRUE(t::record_commit(repo.root()));
  const auto newest = commit_at(repo, "c.txt", base + 2);

  auto results = t::catch_up_commits(repo.root());
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].commit, newest);
  EXPECT_EQ(results[1].commit, missed);
  auto lines = read_log_lines(repo.root());
  ASSERT_EQ(lines.size(), 3u);
  std::set<std::string> commits;
  for (const auto& l : lines) commits.insert(l["commit"].get<std::string>());
  EXPECT_EQ(commits, (std::set<std::string>{missed, recorded, newest}));
  EXPECT_TRUE(t::catch_up_commits(repo.root()).empty());
}

}  // namespace
