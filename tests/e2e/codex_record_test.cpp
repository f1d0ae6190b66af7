// A commit made by Codex's shell tool, recorded by the real post-commit hook
// while the rollout is in the state current builds leave it in at that
// moment: its usage record written, no token_count event and no
// user_message yet.
#include <gtest/gtest.h>

#include "support/temp_repo.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"

namespace brenik::testing {
namespace {

const std::string THREAD = "019bd6d8-b99b-7eb1-847c-87c3da10673a";

std::string rollout_line(const std::string& time, const std::string& type, const json::Value& payload) {
  json::Value v = json::Value::object();
  v["timestamp"] = time;
  v["type"] = type;
  v["payload"] = payload;
  return v.dump() + "\n";  // compact, as Codex writes it
}

TEST(CodexRecord, TheHookFillsTokensAndTurnsFromTheRolloutAsItStandsDuringTheCall) {
  TempRepo repo;
  TempDir home;
  repo.commit_file("README", "first\n", "init");
  const fs::path codex_home = home.path() / ".codex";
  std::map<std::string, std::optional<std::string>> env = {
      {"HOME", home.path().string()},     {"CODEX_HOME", codex_home.string()},      {"NO_COLOR", "1"},
      {"CLAUDECODE", std::nullopt},       {"CLAUDE_CODE_SESSION_ID", std::nullopt}, {"CODEX_SANDBOX", std::nullopt},
      {"AGENT_SESSION_ID", std::nullopt}, {"CODEX_THREAD_ID", std::nullopt}};
  auto setup =
      run_binary("brenik", {"setup", "--no-harness-hooks"}, {.cwd = repo.root(), .timeout_seconds = 60.0, .env = env});
  ASSERT_EQ(setup.exit_code, 0) << setup.out << setup.err;

  json::Value usage = json::Value::object();
  usage["input_tokens"] = 5200;
  usage["cached_input_tokens"] = 1100;
  usage["cache_write_input_tokens"] = 300;
  usage["output_tokens"] = 640;
  usage["reasoning_output_tokens"] = 410;
  usage["total_tokens"] = 5840;
  const std::string cwd = repo.root().string();
  std::string rollout;
  rollout += rollout_line("2026-08-10T12:00:00.000Z", "session_meta",
                          json::loads(R"({"id": ")" + THREAD + R"(", "session_id": ")" + THREAD + R"(", "cwd": )" +
                                      json::dumps(cwd) + R"(, "cli_version": "0.169.0", "model_provider": "openai"})"));
  rollout += rollout_line("2026-08-10T12:00:00.100Z", "event_msg",
                          json::loads(R"({"type": "task_started", "turn_attribution": {"turn_id": "turn-1"}})"));
  rollout += rollout_line("2026-08-10T12:00:00.200Z", "world_state", json::loads("{}"));
  rollout += rollout_line(
      "2026-08-10T12:00:00.300Z", "turn_context",
      json::loads(R"({"turn_id": "turn-1", "cwd": )" + json::dumps(cwd) + R"(, "approval_policy": "never"})"));
  rollout += rollout_line("2026-08-10T12:00:00.400Z", "event_msg",
                          json::loads(R"({"type": "thread_settings_applied", "thread_settings": )"
                                      R"({"model": "gpt-5.3-codex", "model_provider_id": "openai"}})"));
  rollout += rollout_line("2026-08-10T12:00:01.000Z", "response_item",
                          json::loads(R"({"type": "function_call", "name": "exec_command", "call_id": "call_1", )"
                                      R"("arguments": "{\"cmd\": \"git commit -am fix\"}"})"));
  json::Value record = json::Value::object();
  record["thread_id"] = THREAD;
  record["turn_id"] = "turn-1";
  record["usage"] = usage;
  record["thread_token_usage"] = usage;
  rollout += rollout_line("2026-08-10T12:00:01.100Z", "token_usage_record", record);
  write_file(codex_home / "sessions" / "2026" / "08" / "10" / ("rollout-2026-08-10T12-00-00-" + THREAD + ".jsonl"),
             rollout);

  // The commit, as Codex's shell tool runs it: with the thread in its environment.
  write_file(repo.root() / "README", "second\n");
  env["CODEX_THREAD_ID"] = THREAD;
  auto commit = utils::run({"git", "commit", "-q", "-am", "fix"},
                           {.cwd = repo.root(), .timeout_seconds = 60.0, .capture_stderr = true, .env = env});
  ASSERT_EQ(commit.exit_code, 0) << commit.err;
  const std::string head =
      utils::run({"git", "rev-parse", "HEAD"}, {.cwd = repo.root(), .timeout_seconds = 60.0, .env = env})
          .out.substr(0, 40);

  const std::string log = read_file(repo.root() / ".brenik/.platform/log.jsonl");
  std::optional<json::Value> line;
  for (std::size_t i = 0; i < log.size();) {
    std::size_t j = log.find('\n', i);
    if (j == std::string::npos) j = log.size();
    if (j > i) {
      auto v = json::loads(log.substr(i, j - i));
      if (v.contains("commit") && v["commit"] == head) line = v;
    }
    i = j + 1;
  }
  ASSERT_TRUE(line) << log;
  EXPECT_EQ((*line)["agent"], "codex");
  EXPECT_EQ((*line)["agent_session_id"], THREAD);
  ASSERT_TRUE(line->contains("telemetry")) << json::dumps(*line);
  const auto& telemetry = (*line)["telemetry"];
  EXPECT_EQ(telemetry["tokens"], usage);
  EXPECT_EQ(telemetry["turns"], 1);
  EXPECT_EQ(telemetry["model"], "gpt-5.3-codex");
}

}  // namespace
}  // namespace brenik::testing
