// Project resolution against a real brenik-server and against sockets that
// misbehave: every failure a code and a remedy, never a raised error, never
// an error message in the reason.
#include <gtest/gtest.h>

#include <set>

#include "paths/paths.hpp"
#include "protocol/http_client.hpp"
#include "services/upload/project_resolution.hpp"
#include "services/shared.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"

namespace tv = brenik::services::tolvern;
namespace http = brenik::protocol::http_client;
namespace paths = brenik::paths;
namespace shared = brenik::services::shared;
using brenik::json::Value;
using namespace brenik::testing;

namespace {

const char* REMOTE = "https://github.com/acme/widget.git";

Value config_of(const fs::path& repo) { return shared::load_local_config(repo); }

}  // namespace

TEST(Remedy, EveryCodeHasItsOwnAdviceAndTheRestAreToldToWait) {
  const std::string wait = "They will upload on the next `brenik sync` that can reach a project.";
  EXPECT_EQ(tv::detail::REMEDY_UNREACHABLE, wait);
  for (const std::optional<std::string>& code :
       {std::optional<std::string>(), std::optional<std::string>(""), std::optional<std::string>("unreachable"),
        std::optional<std::string>("bad_response"), std::optional<std::string>("something_new")})
    EXPECT_EQ(tv::remedy(code), wait) << code.value_or("<none>");

  const std::vector<std::string> codes = {http::CODE_KEY_REJECTED,   http::CODE_ACCOUNT_INACTIVE,
                                          http::CODE_AMBIGUOUS_TEAM, http::CODE_REPO_AMBIGUOUS,
                                          http::CODE_REPO_CONFLICT,  http::CODE_NOT_A_MEMBER,
                                          http::CODE_CAPACITY,       http::CODE_BAD_REMOTE,
                                          tv::NOT_SIGNED_IN,         tv::NO_ORIGIN,
                                          tv::CONFIG_UNWRITABLE};
  ASSERT_EQ(tv::detail::REMEDIES.size(), codes.size());
  std::set<std::string> texts;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    EXPECT_EQ(tv::detail::REMEDIES[i].first, codes[i]) << i;  // table order
    const std::string text = tv::remedy(codes[i]);
    EXPECT_NE(text, wait) << codes[i];
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), codes.size());
  EXPECT_EQ(tv::remedy(std::string(http::CODE_KEY_REJECTED)), "Run `brenik auth login`.");
  EXPECT_NE(tv::remedy(std::string(tv::CONFIG_UNWRITABLE)).find(".brenik/.platform/config.yaml"), std::string::npos);
  EXPECT_NE(tv::remedy(std::string(http::CODE_AMBIGUOUS_TEAM)).find("`brenik sync --team-id <id>`"), std::string::npos);
  EXPECT_EQ(tv::remedy(std::string(tv::NOT_SIGNED_IN)),
            "Run `brenik auth login` and they upload on the next `brenik sync`.");
}

TEST(ProjectIdConversion, IntegersAndIntegerTextOnly) {
  EXPECT_EQ(tv::detail::to_project_id(Value(42)), 42);
  EXPECT_EQ(tv::detail::to_project_id(Value("42")), 42);
  EXPECT_EQ(tv::detail::to_project_id(Value(" 7 ")), 7);
  for (const Value& bad : {Value("abc"), Value("4 2"), Value(""), Value("42.0"), Value(), Value::array(),
                           Value::object(), Value("99999999999999999999")})
    EXPECT_EQ(tv::detail::to_project_id(bad), std::nullopt) << bad.dump();
}

class Resolve : public ::testing::Test {
protected:
  void SetUp() override { isolate_git_environment(); }
  ServerWorld world;
};

TEST_F(Resolve, CreatesOnceSavesTheIdAndFindsItAgain) {
  TempDir repo;
  init_repo(repo.path(), std::string(REMOTE));
  auto first = tv::resolve_project_id(repo.path(), world.key, world.url());
  ASSERT_TRUE(first.ok()) << first.reason.value_or("");
  EXPECT_TRUE(first.created);
  EXPECT_EQ(first.title, "acme/widget");
  EXPECT_EQ(first.reason, std::nullopt);
  EXPECT_EQ(first.code, std::nullopt);
  EXPECT_EQ(config_of(repo.path())["project_id"], *first.project_id);
  EXPECT_FALSE(config_of(repo.path()).contains("team_id"));  // none was in use

  // Another clone spelled differently finds the same project.
  TempDir clone;
  init_repo(clone.path(), std::string("git@github.com:acme/widget.git"));
  auto again = tv::resolve_project_id(clone.path(), world.key, world.url());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.project_id, first.project_id);
  EXPECT_FALSE(again.created);
}

TEST_F(Resolve, TeamIdIsTakenFromTheConfigurationAndKeptNextToTheProject) {
  // Two teams: without a team id the server cannot choose.
  auto second_team = server_admin(world.db, {"create-team", "beta"});
  server_admin(world.db, {"add-member", "--key", world.key, "--team", second_team});
  TempDir repo;
  init_repo(repo.path(), std::string(REMOTE));
  auto ambiguous = tv::resolve_project_id(repo.path(), world.key, world.url());
  EXPECT_FALSE(ambiguous.ok());
  EXPECT_EQ(ambiguous.code, http::CODE_AMBIGUOUS_TEAM);
  ASSERT_TRUE(ambiguous.reason.has_value());
  EXPECT_NE(ambiguous.reason->find(world.team), std::string::npos) << *ambiguous.reason;
  EXPECT_NE(ambiguous.reason->find(second_team), std::string::npos);

  Value config = Value::object();
  config["team_id"] = std::stoll(second_team);
  config["agents"] = Value::array({"claude-code"});
  write_repo_config(repo.path(), config);
  auto from_config = tv::resolve_project_id(repo.path(), world.key, world.url());
  ASSERT_TRUE(from_config.ok()) << from_config.reason.value_or("");
  auto saved = config_of(repo.path());
  EXPECT_EQ(saved["team_id"], std::stoll(second_team));
  EXPECT_EQ(saved["project_id"], *from_config.project_id);
  EXPECT_EQ(saved["agents"], Value::array({"claude-code"}));  // other keys survive

  // An explicit team id wins and is saved with the project.
  TempDir other;
  init_repo(other.path(), std::string("https://github.com/acme/other.git"));
  auto explicit_team = tv::resolve_project_id(other.path(), world.key, world.url(), std::stoll(world.team));
  ASSERT_TRUE(explicit_team.ok());
  EXPECT_EQ(config_of(other.path())["team_id"], std::stoll(world.team));
}

TEST_F(Resolve, EveryRefusalKeepsTheServersTextAndCode) {
  struct Case {
    std::string name;
    std::string key;
    std::string remote;
    std::optional<std::int64_t> team;
    std::string code;
  };
  // The states the server refuses in.
  const auto states = world.refusal_states();
  const auto& [inactive, two_teams, beta, full_key] = states;

  const std::vector<Case> cases = {
      {"bad key", "bk_no_such_key", REMOTE, std::nullopt, http::CODE_KEY_REJECTED},
      {"inactive", inactive, REMOTE, std::nullopt, http::CODE_ACCOUNT_INACTIVE},
      {"two teams", two_teams, REMOTE, std::nullopt, http::CODE_AMBIGUOUS_TEAM},
      {"two projects", world.key, "https://github.com/acme/twice.git", std::nullopt, http::CODE_REPO_AMBIGUOUS},
      {"other team's repo", world.key, "https://github.com/beta/theirs.git", std::nullopt, http::CODE_REPO_CONFLICT},
      {"foreign team", world.key, REMOTE, std::stoll(beta), http::CODE_NOT_A_MEMBER},
      {"project limit", full_key, REMOTE, std::nullopt, http::CODE_CAPACITY},
      {"local remote", world.key, "/srv/git/widget", std::nullopt, http::CODE_BAD_REMOTE},
  };
  for (const auto& c : cases) {
    TempDir repo;
    init_repo(repo.path(), c.remote);
    auto r = tv::resolve_project_id(repo.path(), c.key, world.url(), c.team);
    EXPECT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.code, c.code) << c.name;
    ASSERT_TRUE(r.reason.has_value()) << c.name;
    EXPECT_FALSE(r.reason->empty()) << c.name;
    EXPECT_NE(tv::remedy(r.code), tv::detail::REMEDY_UNREACHABLE) << c.name;
    EXPECT_FALSE(config_of(repo.path()).contains("project_id")) << c.name;
  }
}

TEST(ResolveOffline, NotSignedInAndNoOriginNeverTouchTheNetwork) {
  isolate_git_environment();
  RawServer watcher(RawServer::http_reply(200, "application/json", "{\"projectId\": 1}"));
  TempDir repo;
  init_repo(repo.path(), std::string(REMOTE));
  for (const auto& [key, url] :
       std::vector<std::pair<std::string, std::string>>{{"", watcher.url()}, {"bk_x", ""}, {"", ""}}) {
    auto r = tv::resolve_project_id(repo.path(), key, url);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.reason, "not signed in");
    EXPECT_EQ(r.code, tv::NOT_SIGNED_IN);
  }
  TempDir bare;
  init_repo(bare.path());
  auto r = tv::resolve_project_id(bare.path(), "bk_x", watcher.url());
  EXPECT_EQ(r.reason, "this repo has no origin remote");
  EXPECT_EQ(r.code, tv::NO_ORIGIN);
  // Not a repository at all: no origin either.
  TempDir plain;
  EXPECT_EQ(tv::resolve_project_id(plain.path(), "bk_x", watcher.url()).code, tv::NO_ORIGIN);
  EXPECT_EQ(watcher.accepted(), 0);
}

TEST(ResolveOffline, UnreachableServersGiveTheErrorKindOnly) {
  isolate_git_environment();
  TempDir repo;
  init_repo(repo.path(), std::string(REMOTE));
  auto check = [&](const std::string& url, const std::string& kind) {
    auto r = tv::resolve_project_id(repo.path(), "bk_secret_key", url);
    EXPECT_FALSE(r.ok()) << url;
    EXPECT_EQ(r.code, "unreachable") << url;
    EXPECT_EQ(r.reason, "could not reach brenik (" + kind + ")") << url;
    EXPECT_EQ(tv::remedy(r.code), tv::detail::REMEDY_UNREACHABLE);
  };
  check("http://127.0.0.1:" + std::to_string(closed_port()), "ConnectionError");
  {
    RawServer junk(std::string(RawServer::GARBAGE));
    check(junk.url(), "ProtocolError");
  }
  {
    RawServer down(RawServer::http_reply(503, "text/html", "<html>down for maintenance</html>"));
    check(down.url(), "HTTPError");
  }
  // A key must never go in clear to a remote host: refused before sending.
  check("http://brenik.example.test", "InsecureURLError");
  {
    RawServer silent(std::nullopt);
    auto budget = http::network_budget(0.5);
    check(silent.url(), "TimeoutError");
  }
}

TEST(ResolveOffline, OnlyAUsableProjectIdCounts) {
  isolate_git_environment();
  TempDir repo;
  init_repo(repo.path(), std::string(REMOTE));
  {
    RawServer text_id(RawServer::http_reply(200, "application/json", "{\"projectId\": \"42\"}"));
    auto r = tv::resolve_project_id(repo.path(), "bk_x", text_id.url());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.project_id, 42);
    EXPECT_FALSE(r.created);  // no "created" member
    EXPECT_EQ(r.title, std::nullopt);
    EXPECT_EQ(config_of(repo.path())["project_id"], 42);
  }
  for (const char* body : {"{\"projectId\": \"abc\"}", "{\"projectId\": null}", "{\"title\": \"t\"}",
                           "{\"projectId\": true}", "{\"projectId\": [4]}",
                           // Answers that are JSON but not an object: the server
                           // answered, badly; it was reachable.
                           "[{\"projectId\": 4}]", "42", "\"42\"", "null"}) {
    TempDir fresh;
    init_repo(fresh.path(), std::string(REMOTE));
    RawServer server(RawServer::http_reply(200, "application/json", body));
    auto r = tv::resolve_project_id(fresh.path(), "bk_x", server.url());
    EXPECT_FALSE(r.ok()) << body;
    EXPECT_EQ(r.code, "bad_response") << body;
    EXPECT_EQ(r.reason, "the server returned no usable project id");
    EXPECT_FALSE(config_of(fresh.path()).contains("project_id")) << body;
  }
}

TEST(ResolveOffline, UnsavableIdIsAFailureSoTheNextSyncResolvesAgain) {
  isolate_git_environment();
  TempDir repo;
  init_repo(repo.path(), std::string(REMOTE));
  // A directory where the configuration file belongs cannot be replaced
  // (tests run as root, so permissions alone would not stop the write).
  fs::create_directories(paths::config_yaml(repo.path()));
  RawServer server(RawServer::http_reply(200, "application/json", "{\"projectId\": 9}"));
  auto r = tv::resolve_project_id(repo.path(), "bk_x", server.url());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.project_id, std::nullopt);
  EXPECT_EQ(r.code, tv::CONFIG_UNWRITABLE);
  ASSERT_TRUE(r.reason.has_value());
  EXPECT_EQ(r.reason->rfind("could not save the project id locally (", 0), 0u) << *r.reason;
  EXPECT_EQ(r.reason->find(repo.path().string()), std::string::npos);  // no path leaks
}

#ifdef BRENIK_HAVE_PENDING
TEST(ResolveIfUnlinked, LinkedRepositoryArchivesAndNeverCallsTheServer) {
  isolate_git_environment();
  RawServer watcher(RawServer::http_reply(200, "application/json", "{\"projectId\": 1}"));
  TempRepo repo;
  repo.git({"remote", "add", "origin", REMOTE});
  repo.commit_file("a.txt", "a\n", "first");
  Value config = Value::object();
  config["project_id"] = 12;
  write_repo_config(repo.root(), config);
  auto [archived, resolution] = tv::resolve_if_unlinked(repo.root(), "bk_x", watcher.url());
  EXPECT_FALSE(archived.found);  // no pending attestation
  EXPECT_FALSE(resolution.has_value());
  EXPECT_EQ(watcher.accepted(), 0);
}

TEST(ResolveIfUnlinked, UnlinkedRepositoryResolvesOnceAndThenStaysOffline) {
  isolate_git_environment();
  ServerWorld world;
  TempRepo repo;
  repo.git({"remote", "add", "origin", REMOTE});
  repo.commit_file("a.txt", "a\n", "first");
  auto [archived, resolution] = tv::resolve_if_unlinked(repo.root(), world.key, world.url());
  EXPECT_FALSE(archived.found);
  ASSERT_TRUE(resolution.has_value());
  ASSERT_TRUE(resolution->ok()) << resolution->reason.value_or("");
  EXPECT_EQ(config_of(repo.root())["project_id"], *resolution->project_id);

  // The server is gone: the next call does not need it.
  world.server->kill_now();
  auto [again, none] = tv::resolve_if_unlinked(repo.root(), world.key, world.url());
  EXPECT_FALSE(none.has_value());
}
#endif
