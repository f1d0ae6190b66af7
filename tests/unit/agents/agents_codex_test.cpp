// Codex adapter against rollout files written in Codex's format.
#include <gtest/gtest.h>

#include "agents/codex.hpp"
#include "fixtures/agents/agents_env.hpp"

namespace {

using namespace agents_test;
using brenik::agents::CodexAdapter;

const std::string C1 = "1a2b3c4d5e6f708192a3b4c5d6e7f80910a1b2c3";
const std::string C2 = "9f8e7d6c5b4a39281706f5e4d3c2b1a0f9e8d7c6";
const std::string C3 = "5555aaaa6666bbbb7777cccc8888dddd9999eeee";
const std::string U1 = "019bd6d8-b99b-7eb1-847c-87c3da10673a";
const std::string U2 = "019bd6d8-b99b-7eb1-847c-87c3da10673b";
const std::string U3 = "019bd6d8-b99b-7eb1-847c-87c3da10673c";

class CodexAdapterTest : public ::testing::Test {
protected:
  void SetUp() override {
    isolate_harness_env(env, tmp.path());
    repo = tmp.path() / "src" / "repo";
    other = tmp.path() / "src" / "other";
    fs::create_directories(repo);
    fs::create_directories(other);
  }
  TempDir tmp;
  ScopedEnv env;
  fs::path repo, other;
  CodexAdapter adapter;
};

TEST_F(CodexAdapterTest, TelemetryTakesTheLastCumulativeTotal) {
  write_lines(codex_rollout_path(tmp.path(), U1),
              {codex_meta(T0, U1, repo), codex_turn(T0 + 1, repo, "gpt-5-codex"), codex_user(T0 + 1, "fix it"),
               codex_exec_call(T0 + 2, "call_1", {{"cmd", "ls"}}), codex_tokens(T0 + 3, 100, 20, 10, 5, 110),
               codex_tokens(T0 + 3.5, 100, 20, 10, 5, 110),  // repeated, not to be summed
               "{not json", codex_turn(T0 + 4, repo, "gpt-5.1-codex"), codex_user(T0 + 4, "more"),
               codex_tokens(T0 + 5, 3500, 750, 425, 275, 4200),
               codex_line(T0 + 6, "event_msg", J{{"type", "token_count"}, {"info", nullptr}}),
               "{\"timestamp\":\"2026-08-10T12:00:07.000Z\",\"type\":\"event_msg\",\"payl"});
  auto rec = adapter.get_telemetry_for_session(repo, U1);
  ASSERT_TRUE(rec);
  J d = rec->to_dict();
  EXPECT_EQ(d["session_id"], U1);
  EXPECT_EQ(d["transcript"], codex_rollout_path(tmp.path(), U1).filename().string());
  EXPECT_EQ(d["model"], "gpt-5.1-codex");
  EXPECT_EQ(d["models"], J::array({"gpt-5-codex", "gpt-5.1-codex"}));
  EXPECT_EQ(d["model_provider"], "openai");
  EXPECT_EQ(d["tokens"], (J{{"input_tokens", 3500},
                            {"cached_input_tokens", 750},
                            {"output_tokens", 425},
                            {"reasoning_output_tokens", 275},
                            {"total_tokens", 4200}}));
  EXPECT_EQ(d["turns"], 2);
  EXPECT_EQ(d["tool_calls"], 1);
  EXPECT_EQ(d["first_timestamp"], iso(T0));
  // The cut last line still shows when it was written.
  EXPECT_EQ(d["last_timestamp"], iso(T0 + 7));
  EXPECT_FALSE(adapter.get_telemetry_for_session(repo, std::string("no-such-session")));
  EXPECT_FALSE(adapter.get_telemetry_for_session(repo, std::nullopt));
}

// A rollout of a headless run of a current build, cut where it stands while
// the commit its one shell call makes is being recorded: the usage record of
// the response that asked for the call is there, the first token_count event
// (written once the call ends) is not, and no user_message was written.
std::vector<std::string> current_build_rollout_until_commit(const std::string& uuid, const fs::path& repo,
                                                            const J& thread_usage) {
  return {
      codex_line(T0, "session_meta",
                 J{{"id", uuid},
                   {"session_id", uuid},
                   {"timestamp", iso(T0)},
                   {"cwd", repo.string()},
                   {"originator", "codex_exec"},
                   {"cli_version", "0.169.0"},
                   {"source", "exec"},
                   {"model_provider", "openai"}}),
      codex_line(
          T0 + 0.1, "event_msg",
          J{{"type", "task_started"}, {"turn_attribution", {{"turn_id", "turn-1"}}}, {"model_context_window", 272000}}),
      codex_line(T0 + 0.2, "response_item", J{{"type", "message"}, {"role", "developer"}, {"content", J::array()}}),
      codex_line(T0 + 0.3, "world_state", J{{"cwd", repo.string()}}),
      codex_line(T0 + 0.4, "turn_context",
                 J{{"turn_id", "turn-1"}, {"cwd", repo.string()}, {"approval_policy", "never"}}),
      codex_line(T0 + 0.5, "event_msg",
                 J{{"type", "thread_settings_applied"},
                   {"thread_settings", {{"model", "gpt-5.3-codex"}, {"model_provider_id", "openai"}}}}),
      codex_line(T0 + 0.6, "response_item",
                 J{{"type", "message"},
                   {"role", "user"},
                   {"content", J::array({J{{"type", "input_text"}, {"text", "commit the fix"}}})}}),
      codex_line(T0 + 0.7, "event_msg", J{{"type", "item_completed"}}),
      codex_exec_call(T0 + 1, "call_1", {{"cmd", "git commit -am fix"}}),
      codex_line(T0 + 1.1, "token_usage_record",
                 J{{"thread_id", uuid},
                   {"turn_id", "turn-1"},
                   {"session_id", uuid},
                   {"response_id", "resp_1"},
                   {"usage", thread_usage},
                   {"turn_token_usage", thread_usage},
                   {"thread_token_usage", thread_usage}})};
}

J usage_of(long in, long cached, long cache_write, long out, long reasoning, long total) {
  return {{"input_tokens", in},   {"cached_input_tokens", cached},        {"cache_write_input_tokens", cache_write},
          {"output_tokens", out}, {"reasoning_output_tokens", reasoning}, {"total_tokens", total}};
}

TEST_F(CodexAdapterTest, CurrentBuildRolloutWhileTheCommitIsRecorded) {
  const J usage = usage_of(5200, 1100, 300, 640, 410, 5840);
  write_lines(codex_rollout_path(tmp.path(), U1), current_build_rollout_until_commit(U1, repo, usage));
  env.set("CODEX_THREAD_ID", U1);
  auto session = adapter.get_session_id(repo);
  ASSERT_EQ(session, U1);
  auto rec = adapter.get_telemetry_for_session(repo, session);
  ASSERT_TRUE(rec);
  J d = rec->to_dict();
  EXPECT_EQ(d["tokens"], usage);
  EXPECT_EQ(d["turns"], 1);
  EXPECT_EQ(d["model"], "gpt-5.3-codex");
  EXPECT_EQ(d["tool_calls"], 1);
  EXPECT_EQ(d["cli_version"], "0.169.0");
  EXPECT_EQ(d["session_id"], U1);
}

TEST_F(CodexAdapterTest, CurrentBuildRolloutAfterLaterTurns) {
  // The same session carried on: the first call's token_count event came,
  // then a second turn whose usage record is newer than any token_count, and
  // a late echo of the first total; each turn named once by task_started and
  // once by turn_context.
  auto lines = current_build_rollout_until_commit(U1, repo, usage_of(5200, 1100, 300, 640, 410, 5840));
  lines.push_back(codex_line(T0 + 2, "response_item",
                             J{{"type", "function_call_output"}, {"call_id", "call_1"}, {"output", "ok"}}));
  lines.push_back(codex_tokens(T0 + 2.1, 5200, 1100, 640, 410, 5840));
  lines.push_back(
      codex_line(T0 + 3, "event_msg", J{{"type", "task_started"}, {"turn_attribution", {{"turn_id", "turn-2"}}}}));
  lines.push_back(codex_line(T0 + 3.1, "turn_context", J{{"turn_id", "turn-2"}, {"cwd", repo.string()}}));
  const J second = usage_of(11000, 6000, 0, 900, 500, 11900);
  lines.push_back(codex_line(T0 + 3.5, "token_usage_record", J{{"turn_id", "turn-2"}, {"thread_token_usage", second}}));
  lines.push_back(codex_tokens(T0 + 3.6, 5200, 1100, 640, 410, 5840));  // late echo of the first total
  write_lines(codex_rollout_path(tmp.path(), U1), lines);
  J d = adapter.get_telemetry_for_session(repo, U1)->to_dict();
  EXPECT_EQ(d["tokens"], second);
  EXPECT_EQ(d["turns"], 2);
}

TEST_F(CodexAdapterTest, ArchivedAndOldStyleRolloutsAreRead) {
  fs::path archived = tmp.path() / ".codex" / "archived_sessions" / ("rollout-2026-08-01T10-00-00-" + U2 + ".jsonl");
  write_lines(archived, {J{{"timestamp", iso(T0)},
                           {"type", "session_meta"},
                           {"session_meta", {{"id", U2}, {"cwd", repo.string()}, {"model_provider", "azure"}}}}
                             .dump(),
                         codex_turn(T0, repo, "o4-mini")});
  auto rec = adapter.get_telemetry_for_session(repo, U2);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->to_dict()["model"], "o4-mini");
  EXPECT_EQ(rec->to_dict()["model_provider"], "azure");
  EXPECT_TRUE(rec->to_dict()["tokens"].empty());
}

TEST_F(CodexAdapterTest, SessionIdFromThreadVariableOrNewestRolloutInRepo) {
  write_lines(codex_rollout_path(tmp.path(), U1), {codex_meta(T0, U1, repo / "sub")});
  set_mtime(codex_rollout_path(tmp.path(), U1), T0);
  write_lines(codex_rollout_path(tmp.path(), U2), {codex_meta(T0, U2, other)});
  set_mtime(codex_rollout_path(tmp.path(), U2), T0 + 100);
  EXPECT_EQ(adapter.get_session_id(repo), U1);
  EXPECT_EQ(adapter.get_session_id(other), U2);
  EXPECT_FALSE(adapter.get_session_id(tmp.path() / "nowhere"));
  EXPECT_FALSE(adapter.is_active());
  env.set("CODEX_THREAD_ID", U3);
  EXPECT_TRUE(adapter.is_active());
  EXPECT_EQ(adapter.get_session_id(repo), U3);
}

TEST_F(CodexAdapterTest, ShellCallsThatCommittedAndMentionsAreFound) {
  // exec_command with a cmd string, 20 seconds before C1.
  write_lines(codex_rollout_path(tmp.path(), U1),
              {codex_meta(T0 - 100, U1, repo),
               codex_exec_call(T0 - 20, "c1", {{"cmd", "git commit -m \"Fix parser\""}, {"workdir", repo.string()}}),
               codex_user(T0 + 30, "what about " + C1.substr(0, 7) + " and " + C2.substr(0, 7))});
  // Older shell tool with an argv array; git's summary line names C2.
  write_lines(
      codex_rollout_path(tmp.path(), U2),
      {codex_meta(T0 - 9000, U2, repo),
       codex_exec_call(T0 - 9000, "c2", {{"command", {"bash", "-lc", "git add . && git commit -m x"}}}, "shell"),
       codex_line(T0 - 8999, "event_msg",
                  J{{"type", "exec_command_end"},
                    {"call_id", "c2"},
                    {"command", {"bash", "-lc", "git add . && git commit -m x"}},
                    {"cwd", repo.string()},
                    {"exit_code", 0},
                    {"aggregated_output", "[main " + C2.substr(0, 8) + "] x\n"}})});
  // Another repository committing at C1's time; and a six-digit mention of C3.
  write_lines(codex_rollout_path(tmp.path(), U3),
              {codex_meta(T0 - 100, U3, other), codex_exec_call(T0 - 10, "c3", {{"cmd", "git commit -am y"}}),
               codex_user(T0, "see " + C3.substr(0, 6) + " and " + C1)});
  auto hits = adapter.sessions_mentioning(
      repo, {C1, C2, C3}, {.since = T0 - 20000, .commit_times = {{C1, T0}, {C2, T0 - 20000}, {C3, T0 - 30000}}});
  EXPECT_EQ(hits[C1], std::vector<std::string>{U1});
  EXPECT_EQ(hits[C2], std::vector<std::string>{U2});  // made wins over U1's mention
  EXPECT_EQ(hits.count(C3), 0u);
}

TEST_F(CodexAdapterTest, CommitInAnotherWorkdirOrOldRolloutIsNotAttributed) {
  write_lines(codex_rollout_path(tmp.path(), U1),
              {codex_meta(T0 - 100, U1, repo),
               codex_exec_call(T0 - 20, "c1", {{"cmd", "git commit -m x"}, {"workdir", other.string()}})});
  write_lines(codex_rollout_path(tmp.path(), U2),
              {codex_meta(T0 - 100, U2, repo), codex_exec_call(T0 - 20, "c2", {{"cmd", "git commit -m x"}})});
  set_mtime(codex_rollout_path(tmp.path(), U2), T0 - 86400);
  auto hits = adapter.sessions_mentioning(repo, {C1}, {.since = T0 - 60, .commit_times = {{C1, T0}}});
  EXPECT_TRUE(hits.empty());
  // Without the floor the old rollout is read and found.
  auto all = adapter.sessions_mentioning(repo, {C1}, {.commit_times = {{C1, T0}}});
  EXPECT_EQ(all[C1], std::vector<std::string>{U2});
}

}  // namespace
