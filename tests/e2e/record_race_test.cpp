// Every trigger of a commit racing every other, as real processes against a
// real brenik-server: committers with and without the post-commit hook, the
// harness hook, `sync --record-commit`, late attestations, uploads and the
// session-start catch-up. Afterwards every commit has exactly one line, an
// attestation is never replaced by a plain record, and the server holds
// exactly what the log says it was sent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "paths/paths.hpp"
#include "services/ledger/commit_records.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/filelock.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"

namespace brenik::testing {
namespace {

using json::Value;
using Env = std::map<std::string, std::optional<std::string>>;

constexpr int kIterations = 40;

class RecordRace : public ::testing::Test {
protected:
  ScopedEnv agent_env;  // restored when the test ends
  void SetUp() override {
    isolate_git_environment();
    clear_agent_environment(agent_env);
    env = isolated_cli_env(home.path());
    env["BRENIK_API_KEY"] = world.key;
    env["BRENIK_API_URL"] = world.url();
  }

  utils::RunResult brenik(const std::vector<std::string>& args,
                          const std::optional<std::string>& stdin_data = std::nullopt) {
    return run_binary("brenik", args,
                      {.cwd = repo.root(), .timeout_seconds = 60.0, .stdin_data = stdin_data, .env = env});
  }

  // git commit, retried while another committer holds the repository's locks.
  bool commit(const std::vector<std::string>& prefix, const std::string& message) {
    std::vector<std::string> argv = {"git"};
    argv.insert(argv.end(), prefix.begin(), prefix.end());
    for (const char* a : {"commit", "-q", "--allow-empty", "-m"}) argv.push_back(a);
    argv.push_back(message);
    for (int attempt = 0; attempt < 200; ++attempt) {
      auto r = utils::run(argv, {.cwd = repo.root(), .timeout_seconds = 60.0, .env = env});
      if (r.ok()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + attempt % 20));
    }
    return false;
  }

  std::string head() {
    auto r = utils::run({"git", "rev-parse", "HEAD"}, {.cwd = repo.root(), .env = env});
    return utils::strip(r.out);
  }

  std::string harness_payload(int i) const {
    return R"({"session_id": "race-)" + std::to_string(i) + R"(", "cwd": )" + json::dumps(Value(repo.root().string())) +
           R"(, "hook_event_name": "PostToolUse", "tool_name": "Bash", "tool_input": {"command": "git commit -m x"}, )"
           R"("tool_response": {"interrupted": false, "exit_code": 0}})";
  }

  // Waits until no record handed off in this repository is still waiting to
  // be written (a trigger that found the lock busy leaves one behind).
  void wait_for_handoffs() {
    for (int round = 0; round < 1200; ++round) {
      bool waiting = false;
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const auto cmdline = utils::try_read_file(entry.path() / "cmdline");
        if (!cmdline || cmdline->find("record-handoff") == std::string::npos) continue;
        std::error_code cwd_ec;
        if (fs::read_symlink(entry.path() / "cwd", cwd_ec) == repo.root()) waiting = true;
      }
      if (!waiting) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  ServerWorld world;
  TempRepo repo;
  TempDir home;
  Env env;
};

TEST_F(RecordRace, EveryTriggerAtOnceGivesOneLinePerCommitAndTheAttestationWins) {
  const auto started = std::chrono::steady_clock::now();
  auto setup = brenik({"setup", "--no-harness-hooks"});
  ASSERT_EQ(setup.exit_code, 0) << setup.out << setup.err;
  const auto project = world.project("https://example.com/org/race.git");
  write_file(paths::config_yaml(repo.root()),
             "installed_at: '2000-01-01T00:00:00Z'\nproject_id: " + std::to_string(project) + "\n");
  ASSERT_TRUE(commit({}, "base"));

  const fs::path pending = paths::commit_attestation(repo.root());
  std::atomic<int> failed_commits{0};
  std::mutex attached_mutex;
  std::set<std::string> attached;  // commits `attest add --commit` filed an attestation under
  std::vector<std::function<void(int)>> kinds = {
      // A committer with the post-commit hook.
      [&](int i) { failed_commits += !commit({}, "hooked " + std::to_string(i)); },
      // A committer whose hook never runs.
      [&](int i) {
        failed_commits += !commit({"-c", "core.hooksPath=/dev/null"}, "plain " + std::to_string(i));
      },
      // The harness hook seeing a `git commit`.
      [&](int i) {
        brenik({"attest", "add", "--from-hook", "--agent", "claude-code"}, harness_payload(i));
      },
      // What the post-commit hook runs.
      [&](int) {
        brenik({"sync", "--record-commit"});
      },
      // A late attestation for a commit made without the hook. Only one
      // pending file exists per repository: the next is written once the last
      // was filed (by this command, or by whichever trigger took it first).
      [&](int i) {
        const std::string message = "attestee-" + std::to_string(i) + "-end";
        if (!commit({"-c", "core.hooksPath=/dev/null"}, message)) return void(++failed_commits);
        const std::string sha =
            utils::strip(git(repo.root(), {"log", "--all", "-1", "--format=%H", "--grep=" + message}));
        for (int wait = 0; wait < 2000 && fs::exists(pending); ++wait)
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (fs::exists(pending)) return;
        utils::atomic_write(pending, "summary: attested " + std::to_string(i) +
                                         "\nagent: claude-code\nagent_session_id: attest-" + std::to_string(i) + "\n");
        if (brenik({"attest", "add", "--commit", sha}).exit_code == 0) {
          std::lock_guard lock(attached_mutex);
          attached.insert(sha);
        }
      },
      // An upload.
      [&](int) { brenik({"sync"}); },
      // The session-start catch-up.
      [&](int) { brenik({"session-start"}); },
  };
  // The committing kinds make their commits; the others keep going (at
  // least as many times) until the last commit is in, as they would in use.
  const std::set<std::size_t> committing = {0, 1, 4};
  std::atomic<int> committers_left{static_cast<int>(committing.size())};
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < kinds.size(); ++k)
    threads.emplace_back([&, k, commits = committing.count(k) > 0] {
      for (int i = 0; i < kIterations || (!commits && committers_left > 0); ++i) kinds[k](i);
      if (commits) --committers_left;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failed_commits.load(), 0);

  // What no trigger got to, the next session start and sync do.
  wait_for_handoffs();
  brenik({"session-start"});
  auto last = brenik({"sync"});
  EXPECT_EQ(last.exit_code, 0) << last.out << last.err;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  // The log parses, line by line.
  const std::string text = read_file(paths::log_jsonl(repo.root()));
  std::map<std::string, std::vector<Value>> by_commit;
  std::size_t lines = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t nl = text.find('\n', start);
    ASSERT_NE(nl, std::string::npos) << "unfinished last line";
    const std::string line = text.substr(start, nl - start);
    start = nl + 1;
    auto v = json::try_loads(line);
    ASSERT_TRUE(v && v->is_object() && (*v)["commit"].is_string()) << line;
    by_commit[(*v)["commit"].get<std::string>()].push_back(*v);
    ++lines;
  }

  // Every commit, exactly one line; nothing else.
  std::set<std::string> commits;
  {
    const std::string out = git(repo.root(), {"log", "--all", "--format=%H"});
    for (std::size_t start = 0; start < out.size();) {
      std::size_t nl = out.find('\n', start);
      commits.insert(out.substr(start, nl - start));
      start = nl + 1;
    }
  }
  for (const auto& c : commits) {
    auto it = by_commit.find(c);
    ASSERT_TRUE(it != by_commit.end()) << "commit without a line: " << c << " "
                                       << git(repo.root(), {"log", "--format=%H %s"}).substr(0, 6000);
    EXPECT_EQ(it->second.size(), 1u) << "commit with " << it->second.size() << " lines: " << c;
  }
  EXPECT_EQ(by_commit.size(), commits.size());

  // Line and archive tell the same story: an attestation that was filed is
  // what both say, never a plain record written over it.
  std::set<std::string> attested_summaries;
  int attested = 0;
  for (const auto& [c, entries] : by_commit) {
    const auto archived = services::tolvern::detail::parse_attestation_yaml(
        read_file(paths::attestations_dir(repo.root()) / (c + ".yaml")));
    const Value& line = entries.front();
    EXPECT_EQ(archived["summary"], line["summary"]) << c;
    EXPECT_EQ(archived["agent"], line["agent"]) << c;
    const std::string summary = line["summary"].get<std::string>();
    if (summary.rfind("attested ", 0) == 0) {
      ++attested;
      EXPECT_TRUE(attested_summaries.insert(summary).second) << "filed twice: " << summary;
      EXPECT_EQ(line["agent"], "claude-code") << c;
      EXPECT_FALSE(line.contains("event")) << c;
    }
  }
  // A commit that got its attestation keeps one, whatever came after.
  for (const auto& c : attached) {
    ASSERT_TRUE(by_commit.count(c)) << c;
    EXPECT_EQ(by_commit[c].front()["summary"].get<std::string>().rfind("attested ", 0), 0u)
        << "attestation lost: " << c << " " << json::dumps(by_commit[c].front());
  }
  EXPECT_GT(attached.size(), 0u);

  // The server holds exactly the synced commits.
  std::set<std::string> synced;
  for (const auto& [c, entries] : by_commit)
    if (entries.front()["synced"] == true) synced.insert(c);
  EXPECT_EQ(synced.size(), by_commit.size());
  const Value stored = world.attestations(project);
  std::set<std::string> on_server;
  for (const auto& row : stored) on_server.insert(row["commit"].get<std::string>());
  EXPECT_EQ(on_server, synced);
  EXPECT_EQ(stored.size(), on_server.size());

  std::printf(
      "[ record race ] %zu commits, %zu lines, %d attested (%zu by attest add), %zu synced, "
      "%zu on the server, %.1f s\n",
      commits.size(), lines, attested, attached.size(), synced.size(), on_server.size(), seconds);
}

TEST_F(RecordRace, ACommitDoesNotWaitForALockHeldElsewhereAndItsRecordStillLands) {
  auto setup = brenik({"setup", "--no-harness-hooks"});
  ASSERT_EQ(setup.exit_code, 0) << setup.out << setup.err;
  write_file(paths::config_yaml(repo.root()), "installed_at: '2000-01-01T00:00:00Z'\n");
  ASSERT_TRUE(commit({}, "base"));
  const fs::path log = paths::log_jsonl(repo.root());
  ASSERT_EQ(read_log_lines(repo.root()).size(), 1u);
  const auto lock_is_free = [&] { return utils::locked(log, 0.0)->acquired(); };

  // Another process (a long catch-up, an upload's rewrite) holds the log's
  // lock until told to let go.
  const fs::path release = home.path() / "release";
  std::thread holder([&] {
    utils::run({"flock", utils::lock_file_for(log).string(), "sh", "-c", "while [ ! -e \"$0\" ]; do sleep 0.05; done",
                release.string()},
               {.timeout_seconds = 120.0});
  });
  for (int i = 0; i < 2000 && lock_is_free(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_FALSE(lock_is_free());

  // The agent's attestation is pending; the commit, the harness hook and the
  // hook's own command all see the commit while the lock is held.
  const fs::path pending = paths::commit_attestation(repo.root());
  write_file(pending, "summary: Held-lock words\nagent: claude-code\n");
  ASSERT_TRUE(commit({}, "while held"));
  const std::string sha = head();
  EXPECT_EQ(brenik({"attest", "add", "--from-hook", "--agent", "claude-code"}, harness_payload(1)).exit_code, 0);
  EXPECT_EQ(brenik({"sync", "--record-commit"}).exit_code, 0);
  // All three came back while the lock was still held, and none of them
  // wrote without it.
  EXPECT_FALSE(lock_is_free());
  EXPECT_EQ(read_log_lines(repo.root()).size(), 1u);

  write_file(release, "");
  holder.join();
  wait_for_handoffs();
  const auto lines = read_log_lines(repo.root());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["commit"], sha);
  EXPECT_EQ(lines[1]["summary"], "Held-lock words");
  EXPECT_FALSE(fs::exists(pending));
  EXPECT_NE(read_file(paths::attestations_dir(repo.root()) / (sha + ".yaml")).find("Held-lock words"),
            std::string::npos);
}

}  // namespace
}  // namespace brenik::testing
