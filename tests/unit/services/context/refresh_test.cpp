// The context cache refresh: against a stub that answers each resource as a
// test tells it (faults, odd shapes, entity tags), against raw sockets that
// misbehave, and against the real development server.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <map>
#include <mutex>
#include <thread>

#include "hooks/agent_guidance.hpp"
#include "paths/paths.hpp"
#include "protocol/http_client.hpp"
#include "services/context/context_cache.hpp"
#include "services/context/local_static_files.hpp"
#include "services/context/refresh.hpp"
#include "services/context/secondary_caches.hpp"
#include "services/shared.hpp"
#include "services/sync/session_summary.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/logging.hpp"
#include "utils/yaml.hpp"

namespace tv = brenik::services::tolvern;
namespace paths = brenik::paths;
namespace json = brenik::json;
namespace yaml = brenik::yaml;
namespace logging = brenik::logging;
using json::Value;
using namespace brenik::testing;

namespace {

// Answers /api/v1/projects/<id>/<resource> from a table; a resource with an
// entity tag answers 304 to a request naming it. Records what each request
// sent as If-None-Match.
class RouteStub {
public:
  struct Reply {
    int status = 200;
    std::string body;
    std::string etag;
  };

  static std::map<std::string, Reply> healthy() {
    return {
        {"context", {200, R"({"systems": ["core"]})", ""}},
        {"system-context", {200, R"({"core": {"owner": "team"}})", ""}},
        {"declarative/brenikrules", {200, R"({"principles": {"p1": "keep it small"}})", "\"r1\""}},
        {"declarative/brenikstate", {200, R"({"architecture": {"elements": {"api": {"kind": "service"}}}})", "\"s1\""}},
        {"specs",
         {200,
          R"({"specs": [{"domain": "auth", "content": "# Auth"}], "canonical_docs": [{"name": "architecture", "content": "# Arch"}]})",
          "\"p1\""}},
        {"guardrails", {200, R"({"rules": []})", ""}},
        {"skills", {200, R"({"skills": [{"slug": "review", "content": "Review carefully."}]})", ""}},
        {"custom-docs",
         {200, R"({"system": [{"slug": "style", "content": "S"}], "project": [{"slug": "setup", "content": "P"}]})",
          ""}},
        {"memories", {200, R"({"memories": [{"text": "remember"}]})", ""}},
    };
  }

  explicit RouteStub(std::map<std::string, Reply> routes = healthy()) : routes_(std::move(routes)) {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
      const std::string resource = req.matches[1];
      std::lock_guard<std::mutex> lock(mutex_);
      ++hits_[resource];
      if (req.has_header("If-None-Match")) sent_tags_[resource] = req.get_header_value("If-None-Match");
      auto it = routes_.find(resource);
      if (it == routes_.end()) {
        res.status = 404;
        return;
      }
      const Reply& r = it->second;
      if (!r.etag.empty()) {
        res.set_header("ETag", r.etag);
        if (req.has_header("If-None-Match") && req.get_header_value("If-None-Match") == r.etag) {
          res.status = 304;
          return;
        }
      }
      res.status = r.status;
      res.set_content(r.body, "application/json");
    };
    server_.Get(R"(/api/v1/projects/[^/]+/(.+))", handler);
    server_.Post(R"(/api/v1/projects/[^/]+/(.+))", handler);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~RouteStub() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  void set(const std::string& resource, Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[resource] = std::move(reply);
  }
  std::optional<std::string> sent_tag(const std::string& resource) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sent_tags_.find(resource);
    return it == sent_tags_.end() ? std::nullopt : std::optional(it->second);
  }
  int hits(const std::string& resource) {
    std::lock_guard<std::mutex> lock(mutex_);
    return hits_[resource];
  }

private:
  std::map<std::string, Reply> routes_;
  std::map<std::string, std::string> sent_tags_;
  std::map<std::string, int> hits_;
  std::mutex mutex_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

// Warnings of the library's logger while the scope lives.
class CapturedLog {
public:
  CapturedLog() {
    logging::set_sink([this](logging::Level level, std::string_view, const std::string& message) {
      std::lock_guard<std::mutex> lock(mutex_);
      (level == logging::Level::warning ? warnings_ : debug_).push_back(message);
    });
  }
  ~CapturedLog() { logging::set_sink(nullptr); }
  std::vector<std::string> warnings() {
    std::lock_guard<std::mutex> lock(mutex_);
    return warnings_;
  }
  bool has_debug(const std::string& part) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& m : debug_)
      if (m.find(part) != std::string::npos) return true;
    return false;
  }

private:
  std::mutex mutex_;
  std::vector<std::string> warnings_, debug_;
};

// Modification times (ns) of every file under `dir`, by relative path.
std::map<std::string, long long> mtimes(const fs::path& dir, const std::set<std::string>& skip = {}) {
  std::map<std::string, long long> out;
  std::error_code ec;
  if (!fs::exists(dir, ec)) return out;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    if (!it->is_regular_file()) continue;
    const std::string rel = fs::relative(it->path(), dir).string();
    if (skip.count(rel)) continue;
    struct stat st {};
    ::lstat(it->path().c_str(), &st);
    out[rel] = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  }
  return out;
}

// Moves every file's time an hour back, so that any rewrite shows.
void age_all(const fs::path& dir) {
  const auto then = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file()) fs::last_write_time(it->path(), then);
}

class Refresh : public ::testing::Test {
protected:
  void SetUp() override {
    clear_agent_environment(agent_env);
    agent_env.unset("BRENIK_DEBUG");
    Value config = Value::object();
    config["project_id"] = 7;
    write_repo_config(root(), config);
  }
  const fs::path& root() const { return repo.path(); }
  fs::path platform() const { return paths::platform_dir(root()); }
  tv::RefreshResult refresh(const std::string& url, bool mutate = false) {
    return tv::refresh_context_cache_detailed("bk_test", url, root(), "7", {.mutate_workspace = mutate});
  }
  Value rules() const { return yaml::load(read_file(platform() / "brenikrules.yaml")); }
  Value config() const { return brenik::services::shared::load_local_config(root()); }

  ScopedEnv agent_env;
  TempDir repo;
};

// --- failures: the stage and the error kind, never the message ---------------

TEST_F(Refresh, MissingProjectIdAsksNothing) {
  RawServer raw(RawServer::http_reply(200, "application/json", "{}"));
  auto r = tv::refresh_context_cache_detailed("bk_test", raw.url(), root(), "");
  EXPECT_FALSE(r);
  EXPECT_EQ(r.stage, "missing_project_id");
  EXPECT_FALSE(r.error.has_value());
  EXPECT_FALSE(r.log_path.has_value());
  EXPECT_EQ(raw.accepted(), 0);
  EXPECT_FALSE(tv::refresh_context_cache("bk_test", raw.url(), root(), ""));
}

TEST_F(Refresh, ServerFaultsEndAtTheContextFetchWithTheKindOnly) {
  struct Case {
    std::optional<std::string> reply;
    const char* kind;
  };
  const std::vector<Case> cases = {
      {RawServer::http_reply(401, "application/json", R"({"error": {"code": "key_rejected", "message": "no"}})"),
       "AgentApiError"},
      {RawServer::http_reply(503, "text/plain", "down for maintenance at /srv/secret"), "HTTPError"},
      {std::string(RawServer::GARBAGE), "ProtocolError"},
      {std::nullopt, "TimeoutError"},  // never answers
  };
  for (const auto& c : cases) {
    RawServer raw(c.reply);
    tv::RefreshResult r;
    {
      auto budget = brenik::protocol::http_client::network_budget(1.0);
      r = refresh(raw.url());
    }
    EXPECT_FALSE(r) << c.kind;
    EXPECT_EQ(r.stage, "fetch_context") << c.kind;
    EXPECT_EQ(r.error, c.kind);
    EXPECT_FALSE(r.log_path.has_value()) << "debugging is off";
    EXPECT_FALSE(fs::exists(platform() / "brenikrules.yaml"));
  }
}

TEST_F(Refresh, DebuggingOnWritesTheReportAndNamesIt) {
  agent_env.set("BRENIK_DEBUG", "1");
  RawServer raw(RawServer::http_reply(503, "text/plain", "down"));
  auto r = refresh(raw.url());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error, "HTTPError");
  ASSERT_TRUE(r.log_path.has_value());
  EXPECT_EQ(*r.log_path, paths::debug_log(root()));
  EXPECT_NE(read_file(*r.log_path).find("stage=fetch_context"), std::string::npos);
}

TEST_F(Refresh, FatalFetchesNameTheirStage) {
  {
    RouteStub stub;
    stub.set("system-context", {500, "{}", ""});
    auto r = refresh(stub.url());
    EXPECT_EQ(r.stage, "fetch_system_context");
    EXPECT_EQ(r.error, "HTTPError");
    // The pool was joined: every fetch ran even though one failed.
    EXPECT_EQ(stub.hits("skills"), 1);
  }
  {
    RouteStub stub;
    stub.set("declarative/brenikrules", {401, R"({"error": {"code": "key_rejected", "message": "no"}})", ""});
    auto r = refresh(stub.url());
    EXPECT_EQ(r.stage, "fetch_declarative_state");
    EXPECT_EQ(r.error, "AgentApiError");
  }
}

TEST_F(Refresh, NonFatalFetchesFailAloneAndLeaveTheirCopies) {
  RouteStub stub;
  ASSERT_TRUE(refresh(stub.url()));
  const fs::path spec = tv::detail::spec_file(root(), "auth");
  const fs::path skill = paths::skills_dir(root()) / "review.md";
  ASSERT_TRUE(fs::exists(spec));
  ASSERT_TRUE(fs::exists(skill));
  const Value rules_before = rules();
  for (const char* resource : {"specs", "guardrails", "skills", "custom-docs"}) stub.set(resource, {503, "", ""});
  CapturedLog log;
  auto r = refresh(stub.url());
  EXPECT_TRUE(r) << r.stage.value_or("") << " " << r.error.value_or("");
  EXPECT_TRUE(fs::exists(spec));
  EXPECT_TRUE(fs::exists(skill));
  EXPECT_TRUE(fs::exists(paths::guidance_dir(root()) / "project" / "setup.md"));
  EXPECT_EQ(rules(), rules_before);
  EXPECT_TRUE(log.has_debug("Specs fetch failed (non-fatal): "));
  EXPECT_TRUE(log.has_debug("Custom docs fetch failed (non-fatal): "));
}

// --- specs and canonical documents -------------------------------------------

TEST_F(Refresh, UnsafeAndMalformedRowsAreSkippedOneByOne) {
  const std::string long_domain(300, 'a');
  Value specs = Value::array();
  specs.push_back(1);
  specs.push_back("auth");
  for (const std::string& d : {std::string("../evil"), std::string("a/b"), std::string("nul\0x", 5), long_domain,
                               std::string("Upper"), std::string("..")})
    specs.push_back({{"domain", d}, {"content", "bad"}});
  specs.push_back({{"domain", 5}, {"content", "number"}});
  specs.push_back({{"domain", "good"}, {"content", "G"}});
  specs.push_back({{"domain", "empty"}, {"content", ""}});
  Value docs = Value::array();
  docs.push_back(Value::array());
  docs.push_back({{"name", "../../outside"}, {"content", "bad"}});
  docs.push_back({{"name", "guide"}, {"content", "D"}});
  RouteStub stub;
  stub.set("specs", {200, json::dumps(Value{{"specs", specs}, {"canonical_docs", docs}}), "\"p2\""});
  CapturedLog log;
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_EQ(read_file(tv::detail::spec_file(root(), "good")), "G");
  EXPECT_EQ(read_file(tv::detail::canonical_doc_file(root(), "guide")), "D");
  std::set<std::string> listed;
  for (const auto& e : fs::directory_iterator(paths::specs_dir(root()))) listed.insert(e.path().filename().string());
  EXPECT_EQ(listed, (std::set<std::string>{"good"}));
  EXPECT_FALSE(fs::exists(root() / ".brenik" / "evil"));
  EXPECT_FALSE(fs::exists(root() / "outside.md"));
  const auto w = log.warnings();
  auto count = [&](const std::string& prefix) {
    return std::count_if(w.begin(), w.end(), [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
  };
  EXPECT_EQ(count("Skipping malformed spec row during sync"), 2);
  EXPECT_EQ(count("Skipping spec with unsafe domain during sync: "), 7);
  EXPECT_EQ(count("Skipping malformed canonical doc row during sync"), 1);
  EXPECT_EQ(count("Skipping canonical doc with unsafe name during sync: '../../outside'"), 1);
  EXPECT_EQ(config()["cache"]["etags"]["specs"], "\"p2\"");
}

TEST_F(Refresh, ABadSpecsAnswerNeverEmptiesTheLocalCopies) {
  RouteStub stub;
  ASSERT_TRUE(refresh(stub.url()));
  ASSERT_TRUE(fs::exists(tv::detail::spec_file(root(), "auth")));
  stub.set("specs", {200, R"({"specs": [{"domain": "../x", "content": "y"}, 3], "canonical_docs": []})", "\"p3\""});
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_TRUE(fs::exists(tv::detail::spec_file(root(), "auth")));
  EXPECT_TRUE(fs::exists(tv::detail::canonical_doc_file(root(), "architecture")));
  // A payload without lists writes and prunes nothing either.
  stub.set("specs", {200, R"({"specs": "none", "canonical_docs": null})", "\"p4\""});
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_TRUE(fs::exists(tv::detail::spec_file(root(), "auth")));
  EXPECT_EQ(config()["cache"]["etags"]["specs"], "\"p3\"") << "no list: no new tag from the specs";
}

TEST_F(Refresh, DroppedDomainsAndDocumentsArePrunedSeparately) {
  RouteStub stub;
  stub.set("specs", {200,
                     R"({"specs": [{"domain": "auth", "content": "A"}, {"domain": "billing", "content": "B"}],
                         "canonical_docs": [{"name": "auth", "content": "doc"}, {"name": "old", "content": "O"}]})",
                     "\"q1\""});
  ASSERT_TRUE(refresh(stub.url()));
  ASSERT_TRUE(fs::exists(tv::detail::spec_file(root(), "billing")));
  stub.set("specs", {200,
                     R"({"specs": [{"domain": "auth", "content": "A"}],
                         "canonical_docs": [{"name": "billing", "content": "doc"}]})",
                     "\"q2\""});
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_TRUE(fs::exists(tv::detail::spec_file(root(), "auth")));
  EXPECT_FALSE(fs::exists(paths::specs_dir(root()) / "billing")) << "a document name never keeps a spec domain";
  EXPECT_FALSE(fs::exists(tv::detail::canonical_doc_file(root(), "auth"))) << "a domain never keeps a document";
  EXPECT_FALSE(fs::exists(tv::detail::canonical_doc_file(root(), "old")));
  EXPECT_TRUE(fs::exists(tv::detail::canonical_doc_file(root(), "billing")));
  // The session summary counts exactly the cached domains.
  const auto summary = tv::generate_session_summary(platform(), Value("7"), std::nullopt);
  EXPECT_NE(summary.find("  specs: 1\n"), std::string::npos) << summary;
}

TEST_F(Refresh, UnchangedSpecsSendTheTagAndTouchNothing) {
  RouteStub stub;
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_FALSE(stub.sent_tag("specs").has_value());
  EXPECT_EQ(config()["cache"]["etags"]["specs"], "\"p1\"");
  EXPECT_EQ(config()["cache"]["fetch_status"]["brenikrules"], 200);
  // The server drops "auth" but says nothing changed: the copy stays.
  fs::create_directories(paths::specs_dir(root()) / "kept");
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_EQ(stub.sent_tag("specs"), "\"p1\"");
  EXPECT_EQ(stub.sent_tag("declarative/brenikrules"), "\"r1\"");
  EXPECT_EQ(config()["cache"]["fetch_status"]["brenikrules"], 304);
  EXPECT_TRUE(fs::exists(paths::specs_dir(root()) / "kept"));
  EXPECT_EQ(config()["cache"]["etags"]["specs"], "\"p1\"");
}

TEST(PruneSpecs, KeepsServedFoldersAndEveryFile) {
  TempDir repo;
  const fs::path specs = paths::specs_dir(repo.path());
  write_file(specs / "auth" / "index.md", "a");
  write_file(specs / "billing" / "index.md", "b");
  write_file(specs / "notes.md", "n");
  tv::detail::prune_spec_dirs(repo.path(), {"auth"});
  EXPECT_TRUE(fs::exists(specs / "auth" / "index.md"));
  EXPECT_TRUE(fs::exists(specs / "notes.md"));
  EXPECT_FALSE(fs::exists(specs / "billing"));
}

TEST(PruneDocs, OnlyStaleMarkdownFilesGo) {
  TempDir repo;
  const fs::path docs = paths::canonical_docs_dir(repo.path());
  for (const char* f : {"architecture.md", "old.md", "old.txt"}) write_file(docs / f, "x");
  fs::create_directories(docs / "drafts");
  tv::detail::prune_canonical_docs_dir(repo.path(), {"architecture"});
  EXPECT_TRUE(fs::exists(docs / "architecture.md"));
  EXPECT_FALSE(fs::exists(docs / "old.md"));
  EXPECT_TRUE(fs::exists(docs / "old.txt"));
  EXPECT_TRUE(fs::is_directory(docs / "drafts"));
}

TEST(PruneSpecs, MissingFoldersAreFineAndCreateNothing) {
  TempDir repo;
  tv::detail::prune_spec_dirs(repo.path(), {"auth"});
  tv::detail::prune_canonical_docs_dir(repo.path(), {"x"});
  EXPECT_FALSE(fs::exists(repo.path() / ".brenik"));
}

// A clone can plant links where the cache lives: pruning removes a link at
// most, never what it points to.
TEST(PruneSpecs, PlantedLinksNeverLeadTheRemovalOutside) {
  TempDir repo, outside;
  write_file(outside.path() / "precious" / "keep.txt", "mine");
  write_file(outside.path() / "old.md", "mine too");
  const fs::path specs = paths::specs_dir(repo.path());
  fs::create_directories(specs);
  fs::create_directory_symlink(outside.path() / "precious", specs / "billing");
  tv::detail::prune_spec_dirs(repo.path(), {"auth"});
  EXPECT_TRUE(fs::exists(outside.path() / "precious" / "keep.txt"));
  // The specs folder itself a link to the outside folder.
  fs::remove_all(specs);
  fs::create_directory_symlink(outside.path(), specs);
  tv::detail::prune_spec_dirs(repo.path(), {"auth"});
  EXPECT_TRUE(fs::exists(outside.path() / "precious" / "keep.txt"));
  fs::create_directory_symlink(outside.path(), paths::canonical_docs_dir(repo.path()));
  tv::detail::prune_canonical_docs_dir(repo.path(), {"auth"});
  EXPECT_TRUE(fs::exists(outside.path() / "old.md"));
  // A stale document that is a link: the link goes, its target stays.
  fs::remove(paths::canonical_docs_dir(repo.path()));
  fs::create_directories(paths::canonical_docs_dir(repo.path()));
  fs::create_symlink(outside.path() / "old.md", paths::canonical_docs_dir(repo.path()) / "old.md");
  tv::detail::prune_canonical_docs_dir(repo.path(), {"auth"});
  EXPECT_FALSE(fs::is_symlink(paths::canonical_docs_dir(repo.path()) / "old.md"));
  EXPECT_EQ(read_file(outside.path() / "old.md"), "mine too");
}

TEST(LocalStaticFiles, ExampleIsWrittenAndAReadOnlyPlaceIsSurvived) {
  TempDir repo;
  tv::detail::refresh_local_static_files(repo.path());
  const fs::path example = paths::example_attestation(repo.path());
  ASSERT_TRUE(fs::exists(example));
  EXPECT_FALSE(read_file(example).empty());
  write_file(example, "stale");
  tv::detail::refresh_local_static_files(repo.path());
  EXPECT_NE(read_file(example), "stale");
  if (::geteuid() != 0) {
    fs::remove(example);
    fs::permissions(paths::brenik_dir(repo.path()), fs::perms::owner_read | fs::perms::owner_exec);
    CapturedLog log;
    tv::detail::refresh_local_static_files(repo.path());
    EXPECT_TRUE(log.has_debug("Failed to refresh example-attestation.yaml"));
    fs::permissions(paths::brenik_dir(repo.path()), fs::perms::owner_all);
  }
}

// --- the rules file -------------------------------------------------------------

const char* GUARDRAILS = R"({"rules": [
  {"ruleType": "constraint", "name": "no-secrets", "description": "Never commit keys", "checkCondition": "scan",
   "invariantCondition": "ignored"},
  {"ruleType": "guardrail", "name": "small-prs", "invariantCondition": "lines < 400", "inheritedFromSystem": true},
  {"ruleType": "check", "name": "lint", "description": "not a constraint"},
  "not a rule",
  {"ruleType": "constraint", "name": "no-secrets", "description": "later wins"}
]})";

TEST_F(Refresh, GuardrailsMergeIntoConstraintsKeepingTheRest) {
  RouteStub stub;
  stub.set("declarative/brenikrules",
           {200, R"({"principles": {"p1": "x"}, "constraints": {"mine": {"description": "kept"}}})", ""});
  stub.set("guardrails", {200, GUARDRAILS, ""});
  ASSERT_TRUE(refresh(stub.url()));
  const Value doc = rules();
  EXPECT_EQ(doc["principles"]["p1"], "x");
  const Value& c = doc["constraints"];
  std::vector<std::string> keys;
  for (const auto& [k, _] : c.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"mine", "no-secrets", "small-prs"}));
  EXPECT_EQ(c["no-secrets"],
            (Value{{"description", "later wins"}, {"status", "active"}, {"condition", "{}"}, {"inherited", false}}));
  EXPECT_EQ(c["small-prs"],
            (Value{{"description", ""}, {"status", "active"}, {"condition", "lines < 400"}, {"inherited", true}}));
  // Only constraint and guardrail rules: a check-only answer keeps the section.
  stub.set("guardrails", {200, R"({"rules": [{"ruleType": "check", "name": "lint"}]})", ""});
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_EQ(rules()["constraints"], c);
}

TEST_F(Refresh, ARulesFileThatIsNotYamlOrNotAMappingIsReplaced) {
  for (const std::string& bad :
       std::vector<std::string>{"key: [unclosed\n  - : :\n", "just a sentence\n", "- a\n- b\n", "a: 1\n\tb: [\n"}) {
    RouteStub stub;
    stub.set("declarative/brenikrules", {304, "", "\"same\""});  // the rules resource unchanged
    Value config = Value::object();
    config["project_id"] = 7;
    config["cache"] = {{"etags", {{"brenikrules", "\"same\""}}}};
    write_repo_config(root(), config);
    stub.set("guardrails", {200, GUARDRAILS, ""});
    write_file(platform() / "brenikrules.yaml", bad);
    CapturedLog log;
    auto r = refresh(stub.url());
    ASSERT_TRUE(r) << r.stage.value_or("") << r.error.value_or("");
    const Value doc = rules();
    ASSERT_TRUE(doc.is_object());
    EXPECT_EQ(doc.size(), 1u) << json::dumps(doc);
    EXPECT_EQ(doc["constraints"].size(), 2u);
    EXPECT_TRUE(log.has_debug("Corrupt brenikrules.yaml, overwriting")) << json::repr(Value(bad));
  }
}

TEST_F(Refresh, NoRulesCreatesAnEmptyFileAFailedFetchNothing) {
  RouteStub stub;
  stub.set("declarative/brenikrules", {304, "", "\"same\""});
  Value config = Value::object();
  config["project_id"] = 7;
  config["cache"] = {{"etags", {{"brenikrules", "\"same\""}}}};
  write_repo_config(root(), config);
  stub.set("guardrails", {503, "", ""});
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_FALSE(fs::exists(platform() / "brenikrules.yaml"));
  stub.set("guardrails", {200, R"({"rules": []})", ""});
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_EQ(read_file(platform() / "brenikrules.yaml"), "");
}

// --- skills, custom documents, memories --------------------------------------------

Value skill(const std::string& slug, const std::string& content) { return {{"slug", slug}, {"content", content}}; }

// Content whose built skill file has exactly `chars` characters.
Value skill_of_size(const std::string& slug, std::size_t chars) {
  const std::string head = "---\nname: " + slug + "\n---\n";
  Value s = skill(slug, head + "\n");
  const std::size_t base = tv::detail::char_count(brenik::hooks::agent_guidance::build_skill_file(s));
  s["content"] = head + std::string(chars - base, 'x') + "\n";
  return s;
}

TEST_F(Refresh, SkillsCacheFollowsTheServerWithinTheSizeLimit) {
  RouteStub stub;
  const fs::path dir = paths::skills_dir(root());
  write_file(dir / "gone.md", "old");
  write_file(dir / "huge.md", "older copy");
  write_file(platform() / "skills.json", "[]");
  Value list = Value::array();
  list.push_back(skill_of_size("exact", 100000));
  list.push_back(skill_of_size("huge", 100001));
  list.push_back(skill("../escape", "x"));
  list.push_back(skill(std::string("nul\0", 4), "x"));
  list.push_back(skill(std::string(300, 'a'), "x"));
  list.push_back("not a mapping");
  list.push_back(skill("fine", "Fine."));
  stub.set("skills", {200, json::dumps(Value{{"skills", list}}), ""});
  CapturedLog log;
  ASSERT_TRUE(refresh(stub.url()));
  ASSERT_TRUE(fs::exists(dir / "exact.md"));
  EXPECT_EQ(tv::detail::char_count(read_file(dir / "exact.md")), 100000u);
  EXPECT_EQ(read_file(dir / "huge.md"), "older copy");
  EXPECT_TRUE(fs::exists(dir / "fine.md"));
  EXPECT_FALSE(fs::exists(dir / "gone.md"));
  EXPECT_FALSE(fs::exists(platform() / "skills.json"));
  EXPECT_FALSE(fs::exists(paths::brenik_dir(root()) / "escape.md"));
  const auto w = log.warnings();
  EXPECT_EQ(std::count_if(w.begin(), w.end(),
                          [](const std::string& m) {
                            return m.rfind("Skipping skill with unsafe slug during sync cache: ", 0) == 0;
                          }),
            3);
  // An empty answer leaves the cache as it is.
  stub.set("skills", {200, R"({"skills": []})", ""});
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_TRUE(fs::exists(dir / "fine.md"));
}

TEST_F(Refresh, CustomDocumentsMirrorEachScope) {
  RouteStub stub;
  ASSERT_TRUE(refresh(stub.url()));
  const fs::path g = paths::guidance_dir(root());
  ASSERT_TRUE(fs::exists(g / "project" / "setup.md"));
  write_file(g / "system" / "stray.md", "left over");
  stub.set("custom-docs", {200,
                           R"({"system": [{"slug": "style", "content": "S2"}, {"slug": "nocontent"},
                                          {"slug": "../up", "content": "x"}, "row", {"slug": 3, "content": "n"}],
                               "project": []})",
                           ""});
  CapturedLog log;
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_FALSE(fs::exists(g / "project"));
  EXPECT_EQ(read_file(g / "system" / "style.md"), "S2");
  EXPECT_FALSE(fs::exists(g / "system" / "stray.md"));
  EXPECT_FALSE(fs::exists(g / "system" / "nocontent.md"));
  EXPECT_FALSE(fs::exists(g / "up.md"));
  const auto w = log.warnings();
  EXPECT_EQ(
      std::count_if(w.begin(), w.end(),
                    [](const std::string& m) { return m.rfind("Skipping custom doc with unsafe slug: ", 0) == 0; }),
      2);
}

// A scope that is not a list says nothing about which documents exist: its
// copies stay, and so does the other scope's refresh.
TEST_F(Refresh, AMalformedCustomDocsScopeKeepsItsCopies) {
  RouteStub stub;
  ASSERT_TRUE(refresh(stub.url()));
  const fs::path g = paths::guidance_dir(root());
  stub.set("custom-docs", {200, R"({"system": [{"slug": "style", "content": "S3"}], "project": "oops"})", ""});
  CapturedLog log;
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_EQ(read_file(g / "project" / "setup.md"), "P");
  EXPECT_EQ(read_file(g / "system" / "style.md"), "S3");
  const auto w = log.warnings();
  EXPECT_NE(std::find(w.begin(), w.end(), "Skipping malformed custom doc scope during sync: project"), w.end());
  // An answer that is no mapping at all changes nothing either.
  stub.set("custom-docs", {200, R"([1, 2])", ""});
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_EQ(read_file(g / "project" / "setup.md"), "P");
}

TEST_F(Refresh, MemoriesFromEitherShapeAndAnEmptyListTouchesNothing) {
  RouteStub stub;
  stub.set("memories", {200, R"({"data": [{"text": "from data"}]})", ""});
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_EQ(json::loads(read_file(paths::memories_file(root())))[0]["text"], "from data");
  stub.set("memories", {200, R"({"memories": []})", ""});
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_EQ(json::loads(read_file(paths::memories_file(root())))[0]["text"], "from data");
  stub.set("memories", {200, R"([{"text": "a list"}])", ""});
  ASSERT_TRUE(refresh(stub.url()));
  EXPECT_EQ(read_file(paths::memories_file(root())), "[\n  {\n    \"text\": \"a list\"\n  }\n]");
}

TEST(SkillAdapters, ConfiguredKnownAgentsElseTheRunningOne) {
  TempDir repo;
  ScopedEnv env;
  clear_agent_environment(env);
  Value config = Value::object();
  config["agents"] = Value::array({"claude-code", "no-such-agent"});
  write_repo_config(repo.path(), config);
  auto adapters = tv::detail::skill_adapters(repo.path());
  ASSERT_EQ(adapters.size(), 1u);
  EXPECT_EQ(adapters[0]->name(), "claude-code");
  write_repo_config(repo.path(), Value::object());
  EXPECT_TRUE(tv::detail::skill_adapters(repo.path()).empty());
  env.set("CLAUDECODE", "1");
  adapters = tv::detail::skill_adapters(repo.path());
  ASSERT_EQ(adapters.size(), 1u);
  EXPECT_EQ(adapters[0]->name(), "claude-code");
}

// --- modes ------------------------------------------------------------------------

// Every file of the repository outside `.brenik/`, with its content.
std::map<std::string, std::string> workspace(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path().filename() == ".brenik") {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file()) out[fs::relative(it->path(), root).string()] = read_file(it->path());
  }
  return out;
}

TEST_F(Refresh, HookModeWritesOnlyUnderTheToolsFolderAndStartsNoInstaller) {
  TempDir bin;
  const fs::path marker = bin.path() / "npx-ran";
  write_file(bin.path() / "npx", "#!/bin/sh\ntouch '" + marker.string() + "'\n");
  fs::permissions(bin.path() / "npx", fs::perms::owner_all);
  agent_env.set("PATH", bin.path().string() + ":" + std::string(std::getenv("PATH")));
  write_file(root() / "CLAUDE.md", "# mine\n");
  write_file(root() / ".claude" / "settings.json", "{not json");
  const auto before = workspace(root());
  tv::record_hydrate_attempt(root(), "specs", 1.0);
  RouteStub stub;
  ASSERT_TRUE(refresh(stub.url(), /*mutate=*/false));
  EXPECT_EQ(workspace(root()), before);
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_FALSE(tv::last_hydrate_attempt(root(), "specs").has_value());
  // The caches inside .brenik/ were refreshed all the same.
  EXPECT_TRUE(fs::exists(paths::skills_dir(root()) / "review.md"));
  EXPECT_TRUE(fs::exists(paths::memories_file(root())));
  EXPECT_TRUE(fs::exists(paths::guidance_dir(root()) / "system" / "style.md"));
}

TEST_F(Refresh, BothModesForgetTheFillAttemptsAndAFailureToDoSoIsTheRefreshs) {
  RouteStub stub;
  for (bool mutate : {false, true}) {
    tv::record_hydrate_attempt(root(), "specs", 5.0);
    ASSERT_EQ(tv::last_hydrate_attempt(root(), "specs"), 5.0);
    auto r = refresh(stub.url(), mutate);
    EXPECT_TRUE(r) << mutate << " " << r.stage.value_or("") << " " << r.error.value_or("");
    EXPECT_FALSE(tv::last_hydrate_attempt(root(), "specs").has_value()) << mutate;
  }
  // A record that cannot be removed ends the refresh at its last stage.
  fs::create_directories(tv::detail::hydrate_attempts_file(root()) / "x");
  auto r = refresh(stub.url());
  EXPECT_FALSE(r);
  EXPECT_EQ(r.stage, "write_local_caches");
  EXPECT_EQ(r.error, "IsADirectoryError");
}

// A clone can plant links where the caches go: the refresh writes and
// deletes nothing through them, whatever else it manages.
TEST_F(Refresh, PlantedLinksInTheCachesLeadNowhere) {
  TempDir outside;
  write_file(outside.path() / "keep.md", "mine");
  write_file(outside.path() / "memories.json", "mine");
  const auto snapshot = [&] {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(outside.path()))
      if (e.is_regular_file()) out[e.path().string()] = read_file(e.path());
    return out;
  };
  const auto before = snapshot();
  fs::create_directories(paths::guidance_dir(root()));
  fs::create_directory_symlink(outside.path(), paths::skills_dir(root()));
  fs::create_directory_symlink(outside.path(), paths::guidance_dir(root()) / "system");
  fs::create_symlink(outside.path() / "memories.json", paths::memories_file(root()));
  fs::create_directory_symlink(outside.path(), paths::canonical_docs_dir(root()));
  RouteStub stub;
  stub.set("custom-docs", {200, R"({"system": [], "project": [{"slug": "setup", "content": "P"}]})", ""});
  const auto r = refresh(stub.url());
  EXPECT_EQ(snapshot(), before);
  // The canonical document could not be written through the link: the
  // refresh says so rather than pretending.
  EXPECT_FALSE(r);
  EXPECT_EQ(r.stage, "write_local_caches");
  EXPECT_EQ(r.error, "OSError");
}

// --- against the development server -------------------------------------------------

TEST(RefreshAgainstServer, FillsTheCacheThenANoChangeRefreshRewritesNothing) {
  ScopedEnv env;
  clear_agent_environment(env);
  ServerWorld world;
  const auto project = world.project("https://github.com/acme/widget.git");
  TempDir seed;
  write_file(seed.path() / "context.json", R"({"systems": ["core"], "name": "widget"})");
  write_file(seed.path() / "brenikrules.yaml",
             "principles:\n  small: Keep changes small\nchecks:\n  tests: Run tests\n");
  write_file(seed.path() / "brenikstate.yaml",
             "architecture:\n  elements:\n    api: {kind: service}\n    db: {kind: store}\n");
  write_file(seed.path() / "guardrails.json",
             R"({"rules": [{"ruleType": "constraint", "name": "no-secrets", "checkCondition": "scan"}]})");
  write_file(seed.path() / "memories.json", R"({"memories": [{"text": "we use tabs"}]})");
  for (const char* d : {"auth", "billing", "search"}) write_file(seed.path() / "specs" / (std::string(d) + ".md"), d);
  write_file(seed.path() / "docs" / "architecture.md", "# Architecture");
  write_file(seed.path() / "skills" / "review.md", "Review every change.");
  write_file(seed.path() / "custom-docs" / "project" / "setup.md", "Run make.");
  server_admin(world.db, {"load-context", "--project", std::to_string(project), seed.path().string()});

  TempDir repo;
  Value config = Value::object();
  config["project_id"] = project;
  write_repo_config(repo.path(), config);
  const std::string id = std::to_string(project);
  auto r = tv::refresh_context_cache_detailed(world.key, world.url(), repo.path(), id, {.mutate_workspace = false});
  ASSERT_TRUE(r) << r.stage.value_or("") << " " << r.error.value_or("");
  const fs::path platform = paths::platform_dir(repo.path());
  const Value doc = yaml::load(read_file(platform / "brenikrules.yaml"));
  EXPECT_EQ(doc["principles"]["small"], "Keep changes small");
  EXPECT_EQ(doc["constraints"]["no-secrets"]["condition"], "scan");
  EXPECT_EQ(read_file(tv::detail::spec_file(repo.path(), "billing")), "billing");
  EXPECT_EQ(read_file(tv::detail::canonical_doc_file(repo.path(), "architecture")), "# Architecture");
  EXPECT_TRUE(fs::exists(paths::skills_dir(repo.path()) / "review.md"));
  EXPECT_TRUE(fs::exists(paths::guidance_dir(repo.path()) / "project" / "setup.md"));
  EXPECT_TRUE(fs::exists(paths::memories_file(repo.path())));
  const auto summary = tv::generate_session_summary(platform, Value(project), std::nullopt);
  EXPECT_NE(summary.find("  elements: 2\n  rules: 3\n  specs: 3\n  cache: fresh"), std::string::npos) << summary;

  age_all(paths::brenik_dir(repo.path()));
  const std::set<std::string> bookkeeping = {".platform/config.yaml", ".platform/config.yaml.lock"};
  const auto before = mtimes(paths::brenik_dir(repo.path()), bookkeeping);
  r = tv::refresh_context_cache_detailed(world.key, world.url(), repo.path(), id, {.mutate_workspace = false});
  ASSERT_TRUE(r);
  EXPECT_EQ(mtimes(paths::brenik_dir(repo.path()), bookkeeping), before);
  const Value cache = brenik::services::shared::load_local_config(repo.path())["cache"];
  EXPECT_EQ(cache["fetch_status"]["brenikrules"], 304);
  EXPECT_EQ(cache["fetch_status"]["brenikstate"], 304);
  EXPECT_TRUE(cache["etags"]["specs"].is_string());
  EXPECT_EQ(brenik::services::shared::load_local_config(repo.path())["project_id"], project);
}

}  // namespace
