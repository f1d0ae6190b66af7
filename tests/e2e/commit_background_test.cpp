// The network work of a commit, done in the background: `git commit`
// returns while the upload and the cache refresh still run, a second commit
// meanwhile is safe, two runs never overlap, and afterwards the working tree
// is as clean as before. Real git, the real binaries, a real server.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "paths/paths.hpp"
#include "services/context/context_cache.hpp"
#include "services/shared.hpp"
#include "services/sync/background_sync.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/json.hpp"

namespace brenik::testing {
namespace {

namespace tv = services::tolvern;
using json::Value;

const char* REMOTE = "https://github.com/acme/widget.git";

// Polls `done` every 50 ms for up to `seconds`; its last answer.
template <typename F>
bool eventually(F done, double seconds = 30.0) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

class BackgroundSync : public ::testing::Test {
protected:
  void SetUp() override {
    isolate_git_environment();
    clear_agent_environment(agent_env);
    repo.git({"remote", "add", "origin", REMOTE});
    repo.commit_file("README", "first\n", "init");
    auto r = brenik({"setup", "--no-harness-hooks"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    repo.git({"add", ".gitignore"});
    repo.git({"commit", "-q", "-m", "ignore brenik's files"});
    project = world.project(REMOTE);
    TempDir seed;
    write_file(seed.path() / "specs" / "auth.md", "# Auth");
    write_file(seed.path() / "brenikrules.yaml", "principles:\n  small: Keep it small\n");
    server_admin(world.db, {"load-context", "--project", std::to_string(project), seed.path().string()});
    hold = world.dir.path() / "hold";
    world.restart({"--pause-upload-while", hold.string()});
  }

  void link(std::optional<bool> background = std::nullopt) {
    Value config = services::shared::load_local_config(repo.root());
    config["project_id"] = project;
    if (background) config["background_sync"] = *background;
    services::shared::save_local_config(repo.root(), config);
  }

  std::map<std::string, std::optional<std::string>> env() const {
    auto e = isolated_cli_env(home.path());
    e["BRENIK_API_KEY"] = world.key;
    e["BRENIK_API_URL"] = world.url();
    e["GIT_EDITOR"] = "true";
    return e;
  }
  utils::RunResult brenik(const std::vector<std::string>& args) {
    return run_binary("brenik", args, {.cwd = repo.root(), .timeout_seconds = 60.0, .env = env()});
  }
  utils::RunResult git(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    return utils::run(argv, {.cwd = repo.root(), .timeout_seconds = 60.0, .env = env()});
  }
  utils::RunResult commit(const std::string& name) {
    write_file(repo.root() / name, name + "\n");
    EXPECT_EQ(git({"add", name}).exit_code, 0);
    return git({"commit", "-q", "-m", "add " + name});
  }
  std::optional<tv::BackgroundSyncState> state() const { return tv::read_background_sync_state(repo.root()); }
  fs::path seen() const { return fs::path(hold.string() + ".seen"); }
  std::size_t uploaded() const { return world.attestations(project).size(); }

  ScopedEnv agent_env;
  ServerWorld world;
  TempRepo repo;
  TempDir home;
  std::int64_t project = 0;
  fs::path hold;
};

TEST_F(BackgroundSync, CommitReturnsFirstASecondCommitIsSafeAndTheTreeStaysClean) {
  link();
  const std::size_t before = read_log_lines(repo.root()).size();
  write_file(hold, "");  // the server holds every upload while this file exists
  auto first = commit("a.txt");
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(first.out + first.err, "") << "nothing of the background work reaches the terminal";
  // The commit is back while its upload waits at the server.
  ASSERT_TRUE(eventually([&] { return fs::exists(seen()); })) << "no background upload arrived";
  auto running = state();
  ASSERT_TRUE(running.has_value());
  EXPECT_FALSE(running->finished_at.has_value());
  EXPECT_TRUE(tv::background_sync_running(repo.root()));

  auto second = commit("b.txt");
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_EQ(read_log_lines(repo.root()).size(), before + 2);
  EXPECT_EQ(state()->started_at, running->started_at) << "the second run was skipped, not started anew";

  fs::remove(hold);
  ASSERT_TRUE(eventually([&] { return state() && state()->finished_at.has_value(); }));
  EXPECT_TRUE(state()->ok) << state()->failure.value_or("");
  EXPECT_GE(uploaded(), 1u);
  EXPECT_TRUE(fs::exists(tv::detail::spec_file(repo.root(), "auth")));
  EXPECT_EQ(repo.git({"status", "--porcelain", "--untracked-files=all"}), "");
  auto status = brenik({"status"});
  EXPECT_NE(status.out.find("Background:  last ran "), std::string::npos) << status.out;
  EXPECT_NE(status.out.find(", ok"), std::string::npos) << status.out;
}

// Modification times of every file under `.brenik/` but the run's own
// bookkeeping (configuration, state file, lock files) and the log with its
// index, which are the upload's.
std::map<std::string, fs::file_time_type> cache_times(const fs::path& root) {
  std::map<std::string, fs::file_time_type> out;
  for (const auto& e : fs::recursive_directory_iterator(root / ".brenik")) {
    const std::string name = e.path().filename().string();
    if (!e.is_regular_file() || name == "config.yaml" || name == "background-sync.json" || name.ends_with(".lock") ||
        name.starts_with("log.jsonl"))
      continue;
    out[e.path().string()] = e.last_write_time();
  }
  return out;
}

TEST_F(BackgroundSync, ARunWithNothingNewSendsTheTagsAndRewritesNoCacheFile) {
  link();
  ASSERT_EQ(brenik({"background-sync"}).exit_code, 0);
  ASSERT_TRUE(state() && state()->ok) << (state() ? state()->failure.value_or("") : "no state");
  ASSERT_TRUE(fs::exists(tv::detail::spec_file(repo.root(), "auth")));
  const auto then = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (const auto& [path, _] : cache_times(repo.root())) fs::last_write_time(path, then);
  const auto before = cache_times(repo.root());
  ASSERT_EQ(brenik({"background-sync"}).exit_code, 0);
  EXPECT_TRUE(state()->ok) << state()->failure.value_or("");
  EXPECT_EQ(cache_times(repo.root()), before);
  // The server answered "unchanged" to the tags it was sent.
  const Value cache = services::shared::load_local_config(repo.root())["cache"];
  EXPECT_EQ(cache["fetch_status"]["brenikrules"], 304);
  EXPECT_TRUE(cache["etags"]["specs"].is_string());
}

TEST_F(BackgroundSync, TwoRunsNeverOverlapTheSecondIsSkipped) {
  link();
  append_log_lines(repo.root(), {log_line(1)});  // one record waits for upload
  write_file(hold, "");
  std::optional<utils::RunResult> first;
  std::thread runner([&] { first = brenik({"background-sync"}); });
  ASSERT_TRUE(eventually([&] { return fs::exists(seen()); }));
  // While the first run holds the server, a second one ends at once: were it
  // queued, it would wait for the hold and this call would not return.
  auto second = brenik({"background-sync"});
  EXPECT_EQ(second.status, utils::RunStatus::exited);
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.out + second.err, "");
  EXPECT_FALSE(state()->finished_at.has_value());
  fs::remove(hold);
  runner.join();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->exit_code, 0);
  EXPECT_TRUE(state()->ok) << state()->failure.value_or("");
  EXPECT_EQ(world.uploads(project).size(), 1u) << "one upload request: one run";
  const auto lines = read_log_lines(repo.root());
  EXPECT_EQ(count_synced(lines), static_cast<int>(lines.size())) << "every waiting record went up once";
}

TEST_F(BackgroundSync, SwitchedOffOrUnlinkedNothingStarts) {
  write_file(hold, "");
  for (std::optional<bool> background : {std::optional<bool>(), std::optional<bool>(false)}) {
    if (background) link(background);  // first round: not linked at all
    auto r = commit(background ? "off.txt" : "unlinked.txt");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // The hook path starts the work right after recording; give it time to
    // show, then check that it never did.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(fs::exists(seen()));
    EXPECT_FALSE(state().has_value());
  }
  auto status = brenik({"status"});
  EXPECT_NE(status.out.find("Background:  off (background_sync: false"), std::string::npos) << status.out;
}

}  // namespace
}  // namespace brenik::testing
