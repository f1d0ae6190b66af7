// Claude Code adapter against transcripts written in Claude Code's format.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "agents/claude_code.hpp"
#include "agents/registry.hpp"
#include "fixtures/agents/agents_env.hpp"

namespace {

using namespace agents_test;
using brenik::agents::ClaudeCodeAdapter;
namespace detail = brenik::agents::detail;

const std::string C1 = "1a2b3c4d5e6f708192a3b4c5d6e7f80910a1b2c3";
const std::string C2 = "9f8e7d6c5b4a39281706f5e4d3c2b1a0f9e8d7c6";
const std::string C3 = "5555aaaa6666bbbb7777cccc8888dddd9999eeee";
const std::string C4 = "abcdef1234567890abcdef1234567890abcdef12";

class ClaudeAdapterTest : public ::testing::Test {
protected:
  void SetUp() override {
    isolate_harness_env(env, tmp.path());
    repo = tmp.path() / "src" / "my_repo";
    other_repo = tmp.path() / "src" / "my-repo";  // same folder name: the mapping is lossy
    fs::create_directories(repo);
    fs::create_directories(other_repo);
    folder = tmp.path() / ".claude" / "projects" / detail::claude_folder_name(repo.string());
    fs::create_directories(folder);
  }

  fs::path transcript(const std::string& session) const { return folder / (session + ".jsonl"); }

  // A session whose only work is one Bash call at `ts` (and its output at
  // `result_ts` when given).
  void bash_session(const std::string& session, const fs::path& cwd, double ts, const std::string& command,
                    std::optional<double> result_ts = std::nullopt, const std::string& output = "") {
    std::vector<std::string> lines = {
        claude_prompt(session, cwd, ts - 30, "please commit"),
        claude_assistant(session, cwd, ts, "msg_" + session, "req_" + session, "claude-sonnet-4-5",
                         bash_block("toolu_" + session, command), claude_usage(3, 50, 0, 100))};
    if (result_ts) lines.push_back(claude_tool_result(session, cwd, *result_ts, "toolu_" + session, output));
    write_lines(transcript(session), lines);
  }

  TempDir tmp;
  ScopedEnv env;
  fs::path repo, other_repo, folder;
  ClaudeCodeAdapter adapter;
};

TEST_F(ClaudeAdapterTest, TelemetryCountsEachMessageOnceAndSkipsBadLines) {
  const std::string s = "3f2a9c1e-0000-4000-8000-000000000001";
  std::vector<std::string> lines = {
      J{{"type", "summary"}, {"summary", "Fix parser"}, {"leafUuid", "x"}}.dump(),
      claude_prompt(s, repo, T0, "fix the parser"),
      // One response written as three lines repeating its usage; the last
      // copy carries the final output count.
      claude_assistant(s, repo, T0 + 1, "msg_A", "req_1", "claude-opus-4-1", text_block("thinking"),
                       claude_usage(10, 5, 100, 1000)),
      claude_assistant(s, repo, T0 + 1.1, "msg_A", "req_1", "claude-opus-4-1", text_block("ok"),
                       claude_usage(10, 5, 100, 1000)),
      claude_assistant(s, repo, T0 + 1.2, "msg_A", "req_1", "claude-opus-4-1", bash_block("toolu_1", "ls"),
                       claude_usage(10, 40, 100, 1000)),
      claude_tool_result(s, repo, T0 + 2, "toolu_1", "a.txt\nb.txt"),
      "this is not json {",
      std::string("{\"type\":\"assistant\",\"message\":{\"id\":\"msg_bad\",\"model\":\"\xff\xfe\"}}"),
      claude_assistant(s, repo, T0 + 3, "msg_B", "req_2", "claude-sonnet-4-5", text_block("done"),
                       claude_usage(20, 7, 0, 2000)),
      // API error placeholder: neither its model nor its usage count.
      claude_assistant(s, repo, T0 + 4, "msg_C", "", "<synthetic>", text_block("API Error"),
                       claude_usage(999, 999, 999, 999)),
  };
  // msg_B reports cache creation only in the nested breakdown.
  {
    J b = J::parse(lines[8]);
    b["message"]["usage"]["cache_creation"] = {{"ephemeral_5m_input_tokens", 30}, {"ephemeral_1h_input_tokens", 12}};
    lines[8] = b.dump();
  }
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  text += claude_assistant(s, repo, T0 + 5, "msg_D", "req_3", "claude-opus-4-1", text_block("x"),
                           claude_usage(5000, 5000, 0, 0))
              .substr(0, 120);  // half-written last line
  write_text(transcript(s), text);

  auto rec = adapter.get_telemetry_for_session(repo, s);
  ASSERT_TRUE(rec);
  J d = rec->to_dict();
  EXPECT_EQ(d["session_id"], s);
  EXPECT_EQ(d["transcript"], s + ".jsonl");
  EXPECT_EQ(d["model"], "claude-sonnet-4-5");
  EXPECT_EQ(d["models"], J::array({"claude-opus-4-1", "claude-sonnet-4-5"}));
  EXPECT_EQ(d["tokens"]["input_tokens"], 30);
  EXPECT_EQ(d["tokens"]["output_tokens"], 47);
  EXPECT_EQ(d["tokens"]["cache_creation_input_tokens"], 142);
  EXPECT_EQ(d["tokens"]["cache_read_input_tokens"], 3000);
  EXPECT_EQ(d["tokens"]["total_tokens"], 30 + 47 + 142 + 3000);
  EXPECT_EQ(d["assistant_messages"], 2);
  EXPECT_EQ(d["turns"], 1);
  EXPECT_EQ(d["tool_calls"], 1);
  EXPECT_EQ(d["first_timestamp"], iso(T0));
  EXPECT_EQ(d["last_timestamp"], iso(T0 + 4));
  EXPECT_EQ(d["cli_version"], "2.1.230");
}

TEST_F(ClaudeAdapterTest, DedupeFallsBackToMessageIdWithoutRequestId) {
  const std::string s = "sess-norequest";
  write_lines(transcript(s),
              {claude_assistant(s, repo, T0, "msg_X", "", "m1", text_block("a"), claude_usage(1, 2, 3, 4)),
               claude_assistant(s, repo, T0, "msg_X", "", "m1", text_block("b"), claude_usage(1, 2, 3, 4)),
               // Same message id, another request: a replay by a side chain,
               // a different API call.
               claude_assistant(s, repo, T0, "msg_X", "req_9", "m1", text_block("c"), claude_usage(1, 2, 3, 4))});
  auto rec = adapter.get_telemetry_for_session(repo, s);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->to_dict()["tokens"]["total_tokens"], 20);
  EXPECT_EQ(rec->to_dict()["assistant_messages"], 2);
}

TEST_F(ClaudeAdapterTest, TelemetryIsNoneForUnknownOrUnsafeSessions) {
  write_lines(transcript("known"), {claude_prompt("known", repo, T0, "hi")});
  EXPECT_FALSE(adapter.get_telemetry_for_session(repo, std::nullopt));
  EXPECT_FALSE(adapter.get_telemetry_for_session(repo, std::string("")));
  EXPECT_FALSE(adapter.get_telemetry_for_session(repo, std::string("missing")));
  EXPECT_FALSE(adapter.get_telemetry_for_session(repo, std::string("../projects/known")));
  // A transcript without assistant lines is known, with no model and no tokens.
  auto rec = adapter.get_telemetry_for_session(repo, std::string("known"));
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->to_dict()["model"], "");
  EXPECT_TRUE(rec->to_dict()["tokens"].empty());
}

TEST_F(ClaudeAdapterTest, TelemetryFindsASessionStartedElsewhereByItsId) {
  fs::path elsewhere = tmp.path() / ".claude" / "projects" / "-somewhere-else";
  write_lines(elsewhere / "s-else.jsonl",
              {claude_assistant("s-else", "/somewhere/else", T0, "m", "r", "claude-haiku-4-5", text_block("x"),
                                claude_usage(1, 1, 0, 0))});
  auto rec = adapter.get_telemetry_for_session(repo, std::string("s-else"));
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->to_dict()["model"], "claude-haiku-4-5");
}

TEST_F(ClaudeAdapterTest, SessionIdFromEnvironmentOrNewestTranscriptOfThisRepo) {
  write_lines(transcript("older"), {claude_prompt("older", repo, T0, "a")});
  set_mtime(transcript("older"), T0);
  fs::path sub_folder = tmp.path() / ".claude" / "projects" / detail::claude_folder_name((repo / "sub").string());
  write_lines(sub_folder / "in-subdir.jsonl", {claude_prompt("in-subdir", repo / "sub", T0, "b")});
  set_mtime(sub_folder / "in-subdir.jsonl", T0 + 100);
  // Newest of all, but from the other repository sharing the folder name.
  write_lines(transcript("foreign"), {claude_prompt("foreign", other_repo, T0, "c")});
  set_mtime(transcript("foreign"), T0 + 200);

  EXPECT_EQ(adapter.get_session_id(repo), "in-subdir");
  EXPECT_EQ(adapter.get_session_id(other_repo), "foreign");

  env.set("CLAUDE_CODE_SESSION_ID", "from-env");
  EXPECT_EQ(adapter.get_session_id(repo), "from-env");
}

TEST_F(ClaudeAdapterTest, SessionIdIsNoneWithoutTranscripts) {
  EXPECT_FALSE(adapter.get_session_id(repo));
  fs::remove_all(tmp.path() / ".claude");
  EXPECT_FALSE(adapter.get_session_id(repo));
  EXPECT_TRUE(adapter.sessions_mentioning(repo, {C1}, {.commit_times = {{C1, T0}}}).empty());
}

TEST_F(ClaudeAdapterTest, LongRepositoryPathsMatchTheCutFolderName) {
  fs::path deep = tmp.path();
  for (int i = 0; i < 12; ++i) deep /= "a-rather-long-directory-name";
  fs::create_directories(deep);
  std::string name = detail::claude_folder_name(deep.string());
  ASSERT_GT(name.size(), 200u);
  fs::path cut = tmp.path() / ".claude" / "projects" / (name.substr(0, 200) + "-k3x9q");
  write_lines(cut / "deep-session.jsonl", {claude_prompt("deep-session", deep, T0, "hi")});
  EXPECT_EQ(adapter.get_session_id(deep), "deep-session");
}

TEST_F(ClaudeAdapterTest, SessionThatRanGitCommitShortlyBeforeMadeTheCommit) {
  bash_session("maker", repo, T0 - 20, "git add -A && git commit -m \"Fix parser\"");
  // Mentions C1 by a seven-digit prefix only: the maker wins.
  write_lines(transcript("talker"),
              {claude_prompt("talker", repo, T0 + 60, "look at " + C1.substr(0, 7) + " and " + C2.substr(0, 7))});
  // Six digits are no mention.
  write_lines(transcript("vague"), {claude_prompt("vague", repo, T0 + 60, "was it " + C3.substr(0, 6) + "?")});
  // Another repository with the same folder name, committing at the same time.
  bash_session("foreign", other_repo, T0 - 10, "git commit -am wip");

  auto hits = adapter.sessions_mentioning(
      repo, {C1, C2, C3}, {.since = T0 - 10000, .commit_times = {{C1, T0}, {C2, T0 - 5000}, {C3, T0 - 10000}}});
  EXPECT_EQ(hits[C1], std::vector<std::string>{"maker"});
  EXPECT_EQ(hits[C2], std::vector<std::string>{"talker"});
  EXPECT_EQ(hits.count(C3), 0u);
  for (const auto& [commit, sessions] : hits)
    for (const auto& s : sessions) EXPECT_NE(s, "foreign") << commit;
}

TEST_F(ClaudeAdapterTest, CommitCallOutsideTheWindowIsNoMaker) {
  bash_session("early", repo, T0 - 25 * 60, "git commit -m early");
  bash_session("late", repo, T0 + 60, "git commit -m late");
  bash_session("not-commit", repo, T0 - 5, "git status");
  auto hits = adapter.sessions_mentioning(repo, {C1}, {.commit_times = {{C1, T0}}});
  EXPECT_TRUE(hits.empty());
}

TEST_F(ClaudeAdapterTest, CallBracketingTheCommitTimeMadeIt) {
  // Waited five minutes for approval: the call started long before the
  // commit but its result came after it.
  bash_session("approved-late", repo, T0 - 300, "git commit -m slow", T0 + 2, "");
  auto hits = adapter.sessions_mentioning(repo, {C1}, {.commit_times = {{C1, T0}}});
  EXPECT_EQ(hits[C1], std::vector<std::string>{"approved-late"});
}

TEST_F(ClaudeAdapterTest, GitSummaryLineInTheCommitOutputMadeIt) {
  // No usable time relation (ran for an hour), but git printed the commit.
  bash_session("printed", repo, T0 - 3600, "git commit -q -m x || git commit -m y", T0 + 3600,
               "[main " + C4.substr(0, 7) + "] Fix parser\n 1 file changed");
  // A session that only mentions the same prefix loses to the maker.
  write_lines(transcript("reader"), {claude_prompt("reader", repo, T0, "see " + C4.substr(0, 9))});
  auto hits = adapter.sessions_mentioning(repo, {C4}, {.commit_times = {{C4, T0}}});
  EXPECT_EQ(hits[C4], std::vector<std::string>{"printed"});
  // Without commit times the summary line still decides.
  auto untimed = adapter.sessions_mentioning(repo, {C4});
  EXPECT_EQ(untimed[C4], std::vector<std::string>{"printed"});
}

TEST_F(ClaudeAdapterTest, FullIdAndBoundedPrefixesAreMentionsButUuidGroupsAreNot) {
  write_lines(transcript("full"), {claude_prompt("full", repo, T0, "commit " + C1 + " landed")});
  // C2's first eight digits embedded in a longer hex run: not bounded.
  write_lines(transcript("embedded"), {claude_prompt("embedded", repo, T0, "x" + C2.substr(0, 8) + "00ff")});
  // C3's first eight digits as the first group of a UUID.
  write_lines(transcript("uuid"),
              {claude_prompt("uuid", repo, T0, "id " + C3.substr(0, 8) + "-1234-4abc-8def-0123456789ab")});
  auto hits = adapter.sessions_mentioning(repo, {C1, C2, C3});
  EXPECT_EQ(hits[C1], std::vector<std::string>{"full"});
  EXPECT_EQ(hits.count(C2), 0u);
  EXPECT_EQ(hits.count(C3), 0u);
}

TEST_F(ClaudeAdapterTest, SubagentTranscriptsCountForTheirParentSession) {
  fs::path sub = folder / "parent-session" / "subagents" / "agent-a1.jsonl";
  write_lines(sub, {claude_assistant("parent-session", repo, T0 - 15, "m-sub", "r-sub", "claude-haiku-4-5",
                                     bash_block("toolu_sub", "git commit -m sub"), claude_usage(1, 1, 0, 0))});
  auto hits = adapter.sessions_mentioning(repo, {C1}, {.commit_times = {{C1, T0}}});
  EXPECT_EQ(hits[C1], std::vector<std::string>{"parent-session"});
}

TEST_F(ClaudeAdapterTest, TranscriptsOlderThanSinceAreNotRead) {
  bash_session("stale", repo, T0 - 20, "git commit -m x");
  bash_session("fresh", repo, T0 - 20, "git commit -m x");
  set_mtime(transcript("stale"), T0 - 86400);
  // Stand-ins that would hang or fail if opened: a FIFO and a directory
  // named like transcripts, both old.
  ASSERT_EQ(::mkfifo(transcript("old-fifo").c_str(), 0600), 0);
  set_mtime(transcript("old-fifo"), T0 - 86400);
  fs::create_directories(transcript("old-dir"));
  set_mtime(transcript("old-dir"), T0 - 86400);

  auto hits = adapter.sessions_mentioning(repo, {C1}, {.since = T0 - 60, .commit_times = {{C1, T0}}});
  EXPECT_EQ(hits[C1], std::vector<std::string>{"fresh"});
  // The same old file is found once no floor is given: only its age kept it out.
  auto all = adapter.sessions_mentioning(repo, {C1}, {.commit_times = {{C1, T0}}});
  std::sort(all[C1].begin(), all[C1].end());
  EXPECT_EQ(all[C1], (std::vector<std::string>{"fresh", "stale"}));
}

TEST_F(ClaudeAdapterTest, FifoWithFreshTimeIsSkippedWithoutBlocking) {
  ASSERT_EQ(::mkfifo(transcript("fifo").c_str(), 0600), 0);
  bash_session("real", repo, T0 - 20, "git commit -m x");
  auto hits = adapter.sessions_mentioning(repo, {C1}, {.since = T0 - 60, .commit_times = {{C1, T0}}});
  EXPECT_EQ(hits[C1], std::vector<std::string>{"real"});
  EXPECT_FALSE(adapter.get_telemetry_for_session(repo, std::string("fifo")));
}

TEST_F(ClaudeAdapterTest, FiftyMegabyteTranscriptKeepsExactTelemetry) {
  const std::string s = "big-session";
  std::string text;
  const std::string padding(4000, 'x');
  long expected_in = 0, expected_out = 0;
  int messages = 0;
  for (int i = 0; text.size() < 50u * 1024u * 1024u; ++i) {
    std::string id = "msg_" + std::to_string(i);
    double ts = T0 + i;
    // Two copies of each response, as Claude Code writes them.
    for (int copy = 0; copy < 2; ++copy)
      text +=
          claude_assistant(s, repo, ts, id, "req_" + std::to_string(i), "claude-opus-4-1",
                           bash_block("toolu_" + std::to_string(i), "cat file"), claude_usage(i % 7 + 1, 10, 0, 100)) +
          "\n";
    text += claude_tool_result(s, repo, ts + 0.5, "toolu_" + std::to_string(i), padding) + "\n";
    if (i % 1000 == 0) text += "garbage line " + std::to_string(i) + "\n";
    expected_in += i % 7 + 1;
    expected_out += 10;
    ++messages;
  }
  text += claude_prompt(s, repo, T0 + 1e6, "where is " + C1.substr(0, 10)) + "\n";
  text += "{\"type\":\"assistant\",\"message\":{\"id\":\"cut";  // half-written
  write_text(transcript(s), text);
  ASSERT_GE(fs::file_size(transcript(s)), 50u * 1024u * 1024u);

  auto rec = adapter.get_telemetry_for_session(repo, s);
  ASSERT_TRUE(rec);
  J d = rec->to_dict();
  EXPECT_EQ(d["tokens"]["input_tokens"], expected_in);
  EXPECT_EQ(d["tokens"]["output_tokens"], expected_out);
  EXPECT_EQ(d["tokens"]["cache_read_input_tokens"], 100L * messages);
  EXPECT_EQ(d["assistant_messages"], messages);
  EXPECT_EQ(d["tool_calls"], messages);
  EXPECT_EQ(d["turns"], 1);

  auto hits = adapter.sessions_mentioning(repo, {C1});
  EXPECT_EQ(hits[C1], std::vector<std::string>{s});
}

TEST_F(ClaudeAdapterTest, ActiveFromItsEnvironmentMarkers) {
  EXPECT_FALSE(adapter.is_active());
  env.set("CLAUDECODE", "0");
  EXPECT_FALSE(adapter.is_active());
  env.set("CLAUDECODE", "1");
  EXPECT_TRUE(adapter.is_active());
  env.unset("CLAUDECODE");
  env.set("CLAUDE_CODE_CHILD_SESSION", "1");
  EXPECT_TRUE(adapter.is_active());
  env.unset("CLAUDE_CODE_CHILD_SESSION");
  env.set("CLAUDE_CODE_SESSION_ID", "abc");
  EXPECT_TRUE(adapter.is_active());
}

TEST(ClaudeFolderName, EveryNonAlphanumericBecomesADash) {
  EXPECT_EQ(detail::claude_folder_name("/Users/alice/src/app"), "-Users-alice-src-app");
  EXPECT_EQ(detail::claude_folder_name("/home/u/my_repo.v2"), "-home-u-my-repo-v2");
  EXPECT_EQ(detail::claude_folder_name("/h/caf\xc3\xa9"), "-h-caf--");
}

}  // namespace
