// `brenik auth login` and `brenik sync` through the real binaries against a
// real brenik-server: batches, progress kept across failures, every refusal
// told with its remedy, and faults of the network survived without losing
// or falsely syncing a record.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "paths/paths.hpp"
#include "protocol/http_client.hpp"
#include "services/upload/project_resolution.hpp"
#include "services/shared.hpp"
#include "services/upload/upload.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/json.hpp"

namespace brenik::testing {
namespace {

namespace tv = services::tolvern;
namespace http = protocol::http_client;
using json::Value;

const char* REMOTE = "https://github.com/acme/widget.git";

class SyncCli : public ::testing::Test {
protected:
  ScopedEnv agent_env;  // restored when the test ends
  void SetUp() override {
    isolate_git_environment();
    clear_agent_environment(agent_env);
    repo.git({"remote", "add", "origin", REMOTE});
  }

  std::map<std::string, std::optional<std::string>> base_env() const {
    auto env = isolated_cli_env(home.path());
    env["XDG_CONFIG_HOME"] = home.path().string();  // credentials under <home>/brenik
    return env;
  }

  utils::RunResult brenik(const std::vector<std::string>& args,
                          std::map<std::string, std::optional<std::string>> extra = {}, const fs::path& cwd = {}) {
    auto env = base_env();
    for (auto& [k, v] : extra) env[k] = v;
    return run_binary("brenik", args, {.cwd = cwd.empty() ? repo.root() : cwd, .timeout_seconds = 60.0, .env = env});
  }
  utils::RunResult login(const std::string& key, const std::string& url) {
    return brenik({"auth", "login", "--api-key", key, "--api-url", url});
  }
  // A sync with the key and URL given by the environment (the saved file
  // would name the server's old port after a restart).
  utils::RunResult sync_at(const std::string& url, std::vector<std::string> args = {},
                           std::map<std::string, std::optional<std::string>> extra = {}) {
    args.insert(args.begin(), "sync");
    extra["BRENIK_API_KEY"] = world.key;
    extra["BRENIK_API_URL"] = url;
    return brenik(args, extra);
  }
  std::int64_t link(const std::string& remote = REMOTE) {
    auto id = world.project(remote);
    Value config = Value::object();
    config["project_id"] = id;
    write_repo_config(repo.root(), config);
    return id;
  }
  std::vector<Value> lines() const { return read_log_lines(repo.root()); }
  std::int64_t shared_config_project() const {
    const Value id = services::shared::load_local_config(repo.root())["project_id"];
    return id.is_number_integer() ? id.get<std::int64_t>() : 0;
  }

  ServerWorld world;
  TempRepo repo;
  TempDir home;
};

TEST_F(SyncCli, LoginKeepsTheKeyPrivateAndRefusesClearTextHosts) {
  auto r = login(world.key, world.url());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const fs::path file = home.path() / "brenik" / "credentials.json";
  EXPECT_NE(r.out.find(file.string()), std::string::npos) << r.out;
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_NE(read_file(file).find(world.key), std::string::npos);

  r = login("bk_other", "http://brenik.example.test");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("https"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(file).find("bk_other"), std::string::npos);  // the old key stays
  EXPECT_EQ(brenik({"auth", "login"}).exit_code, 2);
  EXPECT_EQ(brenik({"auth", "login", "--api-key", "two words"}).exit_code, 1);
}

TEST_F(SyncCli, SyncFromALinkedWorktreeUploadsTheSharedLog) {
  repo.commit_file("README", "x\n", "init");
  const auto project = link();
  append_log_lines(repo.root(), log_lines(0, 3));
  TempDir outside;
  const fs::path wt = outside.path() / "wt";
  repo.git({"worktree", "add", "-q", "-b", "task", wt.string()});
  auto r = brenik({"sync"}, {{"BRENIK_API_KEY", world.key}, {"BRENIK_API_URL", world.url()}}, wt);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(count_synced(lines()), 3);
  EXPECT_EQ(upload_sizes(world.uploads(project)), (std::vector<std::int64_t>{3}));
  EXPECT_FALSE(fs::exists(wt / ".brenik"));
}

TEST_F(SyncCli, NotSignedInKeepsRecordsAndSaysWhatToDo) {
  append_log_lines(repo.root(), log_lines(0, 3));
  auto r = brenik({"sync"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("Not signed in"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find(tv::remedy(std::string(tv::NOT_SIGNED_IN))), std::string::npos) << r.out;
  EXPECT_EQ(count_synced(lines()), 0);
}

TEST_F(SyncCli, FirstSyncLinksTheRepositoryAndUploadsInBatches) {
  ASSERT_EQ(login(world.key, world.url()).exit_code, 0);
  append_log_lines(repo.root(), log_lines(0, 250));
  auto r = brenik({"sync"}, {{"AGENT_SESSION_ID", "sess-e2e"}});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Created project"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("250 new records"), std::string::npos) << r.out;
  const auto project = shared_config_project();
  ASSERT_GT(project, 0);
  auto uploads = world.uploads(project);
  EXPECT_EQ(upload_sizes(uploads), (std::vector<std::int64_t>{100, 100, 50}));
  for (const auto& u : uploads) EXPECT_EQ(u["session_id"], "sess-e2e");
  EXPECT_EQ(count_synced(lines()), 250);

  r = brenik({"sync"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Nothing to upload"), std::string::npos) << r.out;
  EXPECT_EQ(world.uploads(project).size(), 3u);
}

TEST_F(SyncCli, ARefusedRecordIsToldAndNeverCalledNothingToUpload) {
  world.restart({"--max-record-bytes", "4000"});
  auto project = link();
  append_log_lines(repo.root(), log_lines(0, 2));
  append_log_lines(repo.root(), {log_line(2, 6000)});
  append_log_lines(repo.root(), log_lines(3, 5));
  auto r = sync_at(world.url());
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const std::string first = r.out + r.err;
  EXPECT_NE(first.find("4 new records accepted"), std::string::npos) << first;
  EXPECT_NE(first.find("1 record was refused by the server"), std::string::npos) << first;
  EXPECT_EQ(world.attestations(project).size(), 4u);

  r = sync_at(world.url());
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const std::string second = r.out + r.err;
  EXPECT_EQ(second.find("Nothing to upload"), std::string::npos) << second;
  EXPECT_NE(second.find("1 record was refused by the server"), std::string::npos) << second;

  r = brenik({"status"});
  EXPECT_NE(r.out.find("Refused by server     1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("larger than 4000 bytes"), std::string::npos) << r.out;
}

TEST_F(SyncCli, ConcurrentSyncsSetAsideTheSameRecordsAndLoseNone) {
  world.restart({"--max-record-bytes", "4000"});
  auto project = link();
  std::vector<Value> all = log_lines(0, 300);
  const std::set<int> bad = {3, 150, 151, 299};
  for (int i : bad) all[i] = log_line(i, 6000);
  append_log_lines(repo.root(), all);
  // Four processes at once, each reading, refusing and rewriting the
  // set-aside file under the log's lock.
  std::vector<utils::RunResult> results(4);
  {
    std::vector<std::thread> runs;
    for (auto& result : results) runs.emplace_back([&] { result = sync_at(world.url()); });
    for (auto& t : runs) t.join();
  }
  for (const auto& r : results) EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const auto after = lines();
  ASSERT_EQ(after.size(), 300u);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(after[i]["synced"], !bad.count(i)) << i;
  EXPECT_EQ(world.attestations(project).size(), 296u);
  const Value refused = Value::parse(read_file(paths::platform_dir(repo.root()) / "refused.json"));
  std::set<int> set_aside;
  for (int i : bad)
    if (refused.contains(commit_id(i))) set_aside.insert(i);
  EXPECT_EQ(set_aside, bad) << refused;
  EXPECT_EQ(refused.size(), bad.size()) << refused;
}

TEST_F(SyncCli, SevenMebibyteRecordTravelsAlone) {
  auto project = link();
  append_log_lines(repo.root(), log_lines(0, 3));
  append_log_lines(repo.root(), {log_line(3, 7u * 1024u * 1024u)});
  append_log_lines(repo.root(), log_lines(4, 6));
  auto r = sync_at(world.url());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(upload_sizes(world.uploads(project)), (std::vector<std::int64_t>{3, 1, 2}));
  EXPECT_EQ(count_synced(lines()), 6);
}

TEST_F(SyncCli, FailedSecondBatchKeepsTheFirstAndTheNextSyncSendsOnlyTheRest) {
  world.restart({"--fail-upload-after", "1"});
  auto project = link();
  append_log_lines(repo.root(), log_lines(0, 250));
  auto r = sync_at(world.url());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("Upload stopped"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("100 records were uploaded"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find(tv::detail::REMEDY_UNREACHABLE), std::string::npos) << r.out;
  auto after = lines();
  for (int i = 0; i < 250; ++i) ASSERT_EQ(after[i]["synced"], i < 100) << i;

  r = sync_at(world.url());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(count_synced(lines()), 250);
  EXPECT_EQ(upload_sizes(world.uploads(project)), (std::vector<std::int64_t>{100, 100, 50}));
  EXPECT_EQ(world.attestations(project).size(), 250u);
}

TEST_F(SyncCli, EveryRefusalReachesTheUserAsItsRemedy) {
  const auto states = world.refusal_states();
  const auto& [inactive, two_teams, beta, full_key] = states;

  struct Case {
    std::string key;
    std::optional<std::string> remote;
    std::vector<std::string> args;
    std::string code;
    bool unwritable_config = false;
  };
  const std::vector<Case> cases = {
      {"bk_no_such_key", REMOTE, {}, http::CODE_KEY_REJECTED},
      {inactive, REMOTE, {}, http::CODE_ACCOUNT_INACTIVE},
      {two_teams, REMOTE, {}, http::CODE_AMBIGUOUS_TEAM},
      {world.key, "https://github.com/acme/twice.git", {}, http::CODE_REPO_AMBIGUOUS},
      {world.key, "https://github.com/beta/theirs.git", {}, http::CODE_REPO_CONFLICT},
      {world.key, REMOTE, {"--team-id", beta}, http::CODE_NOT_A_MEMBER},
      {full_key, REMOTE, {}, http::CODE_CAPACITY},
      {world.key, "/srv/git/widget", {}, http::CODE_BAD_REMOTE},
      {world.key, std::nullopt, {}, tv::NO_ORIGIN},
      {world.key, "https://github.com/acme/fresh.git", {}, tv::CONFIG_UNWRITABLE, true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    init_repo(dir.path(), c.remote);
    append_log_lines(dir.path(), log_lines(0, 2));
    if (c.unwritable_config) fs::create_directories(paths::config_yaml(dir.path()));
    std::vector<std::string> args = {"sync"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = brenik(args, {{"BRENIK_API_KEY", c.key}, {"BRENIK_API_URL", world.url()}}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << c.code;
    EXPECT_NE(r.out.find(tv::remedy(c.code)), std::string::npos) << c.code << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find("Could not link"), std::string::npos) << c.code << r.err;
    EXPECT_EQ(count_synced(read_log_lines(dir.path())), 0) << c.code;
  }
  // The team choice is named on the command line once and then remembered.
  TempDir chosen;
  init_repo(chosen.path(), std::string("https://github.com/acme/chosen.git"));
  auto r = brenik({"sync", "--team-id", beta}, {{"BRENIK_API_KEY", two_teams}, {"BRENIK_API_URL", world.url()}},
                  chosen.path());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = brenik({"sync"}, {{"BRENIK_API_KEY", two_teams}, {"BRENIK_API_URL", world.url()}}, chosen.path());
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(SyncCli, RefusedUploadOfALinkedRepositoryIsToldWithItsRemedy) {
  auto project = link();
  append_log_lines(repo.root(), log_lines(0, 2));
  server_admin(world.db, {"set-active", "--key", world.key, "--off"});
  auto r = sync_at(world.url());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find(tv::remedy(std::string(http::CODE_ACCOUNT_INACTIVE))), std::string::npos) << r.out << r.err;
  EXPECT_EQ(count_synced(lines()), 0);
  server_admin(world.db, {"set-active", "--key", world.key, "--on"});
  EXPECT_EQ(sync_at(world.url()).exit_code, 0);
  EXPECT_EQ(world.attestations(project).size(), 2u);
}

TEST_F(SyncCli, ServerKilledMidUploadLosesNothing) {
  world.restart({"--crash-on-upload", "2"});
  auto project = link();
  append_log_lines(repo.root(), log_lines(0, 250));
  auto r = sync_at(world.url());
  EXPECT_EQ(r.exit_code, 1);
  world.server->wait_exit();
  auto after = lines();
  ASSERT_EQ(after.size(), 250u);
  for (int i = 0; i < 250; ++i) ASSERT_EQ(after[i]["synced"], i < 100) << i;
  EXPECT_EQ(world.attestations(project).size(), 100u);

  world.restart();
  r = sync_at(world.url());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(count_synced(lines()), 250);
  EXPECT_EQ(world.attestations(project).size(), 250u);
  // Nothing went twice: the crashed request stored nothing.
  EXPECT_EQ(upload_sizes(world.uploads(project)), (std::vector<std::int64_t>{100, 100, 50}));
}

TEST_F(SyncCli, RefusedConnectionAndGarbageAnswersMarkNothing) {
  auto project = link();
  append_log_lines(repo.root(), log_lines(0, 120));
  auto refused = sync_at("http://127.0.0.1:" + std::to_string(closed_port()));
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.out.find(tv::detail::REMEDY_UNREACHABLE), std::string::npos) << refused.out;
  EXPECT_EQ(count_synced(lines()), 0);
  {
    RawServer junk(std::string(RawServer::GARBAGE));
    auto r = sync_at(junk.url());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(count_synced(lines()), 0);
    EXPECT_GE(junk.accepted(), 1);
  }
  {
    RawServer html(RawServer::http_reply(200, "text/html", "<html>captive portal</html>"));
    EXPECT_EQ(sync_at(html.url()).exit_code, 1);
    EXPECT_EQ(count_synced(lines()), 0);
  }
  auto r = sync_at(world.url());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(count_synced(lines()), 120);
  EXPECT_EQ(world.attestations(project).size(), 120u);
}

TEST_F(SyncCli, SilentServerIsCutOffByTheHookBudgetAndALaterSyncCompletes) {
  auto project = link();
  append_log_lines(repo.root(), log_lines(0, 150));
  {
    RawServer silent(std::nullopt);
    auto budget = http::network_budget(5.0);
    auto result = tv::upload_attestations(world.key, silent.url(), repo.root(), paths::attestations_dir(repo.root()),
                                          Value(project));
    EXPECT_FALSE(result.ok);
    ASSERT_TRUE(result.error.has_value());
    EXPECT_NE(result.error->find("TimeoutError"), std::string::npos) << *result.error;
    EXPECT_EQ(result.uploaded, 0);
    EXPECT_EQ(silent.accepted(), 1);  // one request, then the budget was spent
  }
  EXPECT_EQ(count_synced(lines()), 0);
  auto r = sync_at(world.url());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(count_synced(lines()), 150);
}

TEST_F(SyncCli, RecordCommitIsSilentOfflineAndTellsTheHookTheOutcome) {
  const std::string head = repo.commit_file("a.txt", "a\n", "Add a");
  RawServer watcher(RawServer::http_reply(200, "application/json", "{\"projectId\": 1}"));
  auto r = brenik({"sync", "--record-commit"}, {{"BRENIK_API_KEY", "bk_x"}, {"BRENIK_API_URL", watcher.url()}});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  auto recorded = lines();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0]["commit"], head);
  EXPECT_EQ(recorded[0]["synced"], false);
  // Again: already recorded, still success, still one line.
  EXPECT_EQ(brenik({"sync", "--record-commit"}).exit_code, 0);
  EXPECT_EQ(lines().size(), 1u);
  EXPECT_EQ(watcher.accepted(), 0);

  TempDir not_a_repo;
  r = brenik({"sync", "--record-commit"}, {}, not_a_repo.path());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace brenik::testing
