// The sync run: its order, each repair isolated so that a failing one leaves
// the others, the upload and the refresh unaffected, and the network touched
// only with a project and a key. Stand-in steps watch the order; a real run
// against a real server proves the isolation end to end.
#include <gtest/gtest.h>

#include "paths/paths.hpp"
#include "services/shared.hpp"
#include "services/sync/sync_run.hpp"
#include "support/log_capture.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/errors.hpp"

namespace brenik::testing {
namespace {

namespace tv = services::tolvern;
using json::Value;

// Steps that note their name (and the agents they were given) and do nothing
// else; `failing` names the steps that throw instead.
struct Recorder {
  std::vector<std::string> calls;
  std::vector<tv::detail::Agents> agents_seen;
  std::set<std::string> failing;
  bool upload_ok = true;
  bool refresh_ok = true;

  void note(const std::string& name) {
    calls.push_back(name);
    if (failing.count(name)) throw OSError(EACCES, name + " failed");
  }
  tv::detail::SyncSteps steps() {
    tv::detail::SyncSteps s;
    s.process_pending = [this](const fs::path&) { note("pending"); };
    s.refresh_static_files = [this](const fs::path&) { note("static"); };
    s.cleanup_entire = [this](const fs::path&) { note("entire"); };
    s.ensure_gitignore = [this](const fs::path&) { note("gitignore"); };
    s.install_session_start_hook = [this](const fs::path&, const tv::detail::Agents& a) {
      agents_seen.push_back(a);
      note("session-start");
    };
    s.install_mcp_for_agents = [this](const fs::path&, const tv::detail::Agents& a) {
      agents_seen.push_back(a);
      note("mcp");
    };
    s.upload = [this](const std::string&, const std::string&, const fs::path&, const fs::path& dir,
                      const Value& project) {
      note("upload " + dir.filename().string() + " " + json::dumps(project));
      return tv::UploadResult{.ok = upload_ok};
    };
    s.refresh = [this](const std::string& key, const std::string&, const fs::path&, const std::string& project) {
      note("refresh " + key + " " + project);
      return tv::RefreshResult{.ok = refresh_ok};
    };
    return s;
  }
};

const std::vector<std::string> LOCAL = {"pending", "static", "entire", "gitignore", "session-start", "mcp"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SyncRun, LocalStepsThenUploadThenRefreshInThatOrder) {
  TempRepo repo;
  Recorder r;
  const auto report = tv::detail::run_sync_detailed(repo.root(), "bk_key", "http://127.0.0.1:1", Value(42), r.steps());
  EXPECT_EQ(r.calls, with(LOCAL, {"upload attestations 42", "refresh bk_key 42"}));
  EXPECT_EQ(report.result, Value::parse(R"({"attestations_uploaded": true, "cache_refreshed": true})"));
  EXPECT_EQ(report.result.begin().key(), "attestations_uploaded");
}

TEST(SyncRun, WithoutAKeyOrAProjectOnlyTheLocalStepsRun) {
  TempRepo repo;
  for (const auto& [key, project] : std::vector<std::pair<std::string, Value>>{
           {"", Value(42)}, {"bk_key", Value("")}, {"bk_key", Value()}, {"", Value()}}) {
    Recorder r;
    const auto report = tv::detail::run_sync_detailed(repo.root(), key, "http://127.0.0.1:1", project, r.steps());
    EXPECT_EQ(r.calls, LOCAL) << key << " " << project.dump();
    EXPECT_EQ(report.result, Value::parse(R"({"attestations_uploaded": false, "cache_refreshed": false})"));
    EXPECT_FALSE(report.upload.has_value());
  }
}

TEST(SyncRun, AFailedUploadStillRefreshesAndATextProjectIdIsPassedAsIs) {
  TempRepo repo;
  Recorder r;
  r.upload_ok = false;
  const auto report = tv::detail::run_sync_detailed(repo.root(), "k", "u", Value("p-7"), r.steps());
  EXPECT_EQ(r.calls.back(), "refresh k p-7");
  EXPECT_EQ(report.result, Value::parse(R"({"attestations_uploaded": false, "cache_refreshed": true})"));
}

struct FailingRepair {
  std::string step;
  std::string message;
};

void PrintTo(const FailingRepair& f, std::ostream* os) { *os << f.step; }

class IsolatedRepair : public ::testing::TestWithParam<FailingRepair> {};

TEST_P(IsolatedRepair, IsLoggedAndEverythingElseStillRuns) {
  TempRepo repo;
  Recorder r;
  r.failing = {GetParam().step};
  LogCapture log;
  const auto report = tv::detail::run_sync_detailed(repo.root(), "k", "u", Value(1), r.steps());
  EXPECT_EQ(r.calls, with(LOCAL, {"upload attestations 1", "refresh k 1"}));
  EXPECT_EQ(report.result, Value::parse(R"({"attestations_uploaded": true, "cache_refreshed": true})"));
  EXPECT_TRUE(log.has("DEBUG " + GetParam().message)) << log.all();
  EXPECT_TRUE(log.has(GetParam().step + " failed")) << log.all();  // with its traceback
  EXPECT_EQ(log.lines().size(), 1u) << log.all();
}

INSTANTIATE_TEST_SUITE_P(Repairs, IsolatedRepair,
                         ::testing::Values(FailingRepair{"entire", "Entire hook strip skipped (best-effort)"},
                                           FailingRepair{"gitignore", "Gitignore self-heal skipped (best-effort)"},
                                           FailingRepair{"session-start", "Agent hook self-heal skipped (best-effort)"},
                                           FailingRepair{"mcp", "Agent MCP self-heal skipped (best-effort)"}),
                         [](const auto& info) {
                           return info.param.step == "session-start" ? std::string("session_start") : info.param.step;
                         });

TEST(SyncRun, TheUnguardedStepsReachTheCaller) {
  TempRepo repo;
  Recorder r;
  r.failing = {"pending"};
  EXPECT_THROW(tv::detail::run_sync_detailed(repo.root(), "k", "u", Value(1), r.steps()), OSError);
  EXPECT_EQ(r.calls, (std::vector<std::string>{"pending"}));
}

TEST(SyncRun, BothAgentRepairsGetTheConfiguredAgentsOrNone) {
  TempRepo repo;
  Recorder r;
  tv::detail::run_sync_detailed(repo.root(), "", "", Value(), r.steps());
  EXPECT_EQ(r.agents_seen, (std::vector<tv::detail::Agents>{std::nullopt, std::nullopt}));

  services::shared::save_local_config(repo.root(), Value::parse(R"({"agents": []})"));
  Recorder empty;
  tv::detail::run_sync_detailed(repo.root(), "", "", Value(), empty.steps());
  EXPECT_EQ(empty.agents_seen, (std::vector<tv::detail::Agents>{std::nullopt, std::nullopt}));

  services::shared::save_local_config(repo.root(), Value::parse(R"({"agents": ["claude-code", "codex"]})"));
  Recorder two;
  tv::detail::run_sync_detailed(repo.root(), "", "", Value(), two.steps());
  const tv::detail::Agents both = std::vector<std::string>{"claude-code", "codex"};
  EXPECT_EQ(two.agents_seen, (std::vector<tv::detail::Agents>{both, both}));

  // An unreadable configuration (a planted link: never followed) fails the
  // agent repairs alone.
  fs::remove(paths::config_yaml(repo.root()));
  write_file(repo.root() / "elsewhere.yaml", "agents: [codex]\n");
  fs::create_symlink(repo.root() / "elsewhere.yaml", paths::config_yaml(repo.root()));
  Recorder broken;
  LogCapture log;
  const auto report = tv::detail::run_sync_detailed(repo.root(), "k", "u", Value(3), broken.steps());
  EXPECT_EQ(broken.calls, (std::vector<std::string>{"pending", "static", "entire", "gitignore", "upload attestations 3",
                                                    "refresh k 3"}));
  EXPECT_TRUE(log.has("Agent hook self-heal skipped (best-effort)")) << log.all();
  EXPECT_TRUE(log.has("Agent MCP self-heal skipped (best-effort)")) << log.all();
  EXPECT_EQ(report.result["attestations_uploaded"], true);
}

TEST(SyncRunReal, AnIgnoreFileThatIsAFolderLeavesTheOtherRepairsTheUploadAndTheRefreshUnaffected) {
  ScopedEnv env;
  clear_agent_environment(env);
  env.set("BRENIK_SKIP_PLATFORM_SKILLS", "1");
  isolate_git_environment();
  TempDir home;
  env.set("HOME", home.path().string());
  // Setup put brenik's rows in the user's Claude Code settings; the
  // session-start row went missing since.
  write_file(
      home.path() / ".claude/settings.json",
      R"({"hooks": {"PostToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "/opt/b/brenik attest add --from-hook --agent claude-code"}]}]}})");

  ServerWorld world;
  TempRepo repo;
  repo.commit_file("README", "x\n", "init");
  const auto project = world.project("https://github.com/acme/widget.git");
  write_repo_config(repo.root(), Value{{"project_id", project}, {"agents", Value::array({"claude-code"})}});
  append_log_lines(repo.root(), log_lines(0, 3));
  fs::create_directories(repo.root() / ".gitignore");  // the ignore file cannot be written

  auto steps = tv::detail::default_sync_steps();
  int refreshed = 0;
  auto real_refresh = steps.refresh;
  steps.refresh = [&](const std::string& k, const std::string& u, const fs::path& root, const std::string& p) {
    ++refreshed;
    EXPECT_EQ(p, std::to_string(project));
    return real_refresh(k, u, root, p);
  };
  LogCapture log;
  const auto report = tv::detail::run_sync_detailed(repo.root(), world.key, world.url(), Value(project), steps);

  EXPECT_TRUE(log.has("DEBUG Gitignore self-heal skipped (best-effort)")) << log.all();
  EXPECT_TRUE(fs::is_directory(repo.root() / ".gitignore"));
  EXPECT_EQ(report.result["attestations_uploaded"], true);
  EXPECT_EQ(count_synced(read_log_lines(repo.root())), 3);
  EXPECT_EQ(upload_sizes(world.uploads(project)), (std::vector<std::int64_t>{3}));
  EXPECT_EQ(refreshed, 1);
  ASSERT_TRUE(report.refresh.has_value());
  EXPECT_EQ(report.result["cache_refreshed"], report.refresh->ok);
  // The session-start row is back, with the program setup's rows name.
  const Value settings = json::loads(read_file(home.path() / ".claude/settings.json"));
  ASSERT_TRUE(settings["hooks"].contains("SessionStart")) << settings.dump();
  EXPECT_EQ(settings["hooks"]["SessionStart"][0]["hooks"][0]["command"],
            "/opt/b/brenik session-start --agent claude-code");
  EXPECT_FALSE(log.has("Agent hook self-heal skipped")) << log.all();
  EXPECT_FALSE(log.has("Entire hook strip skipped")) << log.all();
}

}  // namespace
}  // namespace brenik::testing
