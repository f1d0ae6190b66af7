// `brenik mcp` as a harness runs it: the real binary over pipes, in a real
// repository. Both handshake generations, the tool list, each tool's answer
// and refusal, and input that must neither kill the server nor hold it up.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <set>

#include "paths/paths.hpp"
#include "services/shared.hpp"
#include "services/upload/project_resolution.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/process.hpp"
#include "utils/json.hpp"

namespace brenik::testing {
namespace {

namespace tv = services::tolvern;
using json::Value;
using Env = std::map<std::string, std::optional<std::string>>;

// How long a test waits for one answer before it gives up on the server (a
// safety net against a hung test, not a measure of speed).
constexpr int ANSWER_DEADLINE_MS = 60000;

// `brenik mcp` started with pipes on its standard input and output; its
// standard error goes to a file.
class McpProcess {
public:
  McpProcess(const fs::path& cwd, const Env& env, const std::vector<std::string>& extra_args = {})
      : err_file_(err_dir_.path() / "stderr") {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> env_text = utils::build_environment(env);
    std::vector<char*> envp;
    for (auto& s : env_text) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {built_binary("brenik").string(), "mcp"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, err_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) throw std::runtime_error("posix_spawn: " + std::string(std::strerror(rc)));
    in_ = in[1];
    out_ = out[0];
  }
  ~McpProcess() {
    close_input();
    if (out_ >= 0) ::close(out_);
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  McpProcess(const McpProcess&) = delete;
  McpProcess& operator=(const McpProcess&) = delete;

  void send_raw(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ASSERT_GT(n, 0) << "the server stopped reading";
      done += static_cast<std::size_t>(n);
    }
  }
  void send(const Value& message) { send_raw(json::dumps(message) + "\n"); }

  // The next line of standard output; none at its end or past the deadline.
  std::optional<std::string> line() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ANSWER_DEADLINE_MS);
    for (;;) {
      auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string l = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return l;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{.fd = out_, .events = POLLIN, .revents = 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[65536];
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      buffer_.append(buf, static_cast<std::size_t>(n));
    }
  }
  // The next message, decoded; a test failure when there is none.
  Value receive() {
    auto l = line();
    if (!l) {
      ADD_FAILURE() << "no answer from brenik mcp; stderr: " << stderr_text();
      return Value();
    }
    auto v = json::try_loads(*l);
    EXPECT_TRUE(v) << "not JSON on standard output: " << *l;
    return v ? *v : Value();
  }
  Value request(const std::string& method, const Value& params = Value::object()) {
    const int id = ++next_id_;
    send({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}});
    Value answer = receive();
    EXPECT_EQ(answer["id"], id) << json::dumps(answer);
    return answer;
  }
  // tools/call: the result (content, isError).
  Value call(const std::string& tool, const Value& arguments = Value::object()) {
    Value a = request("tools/call", {{"name", tool}, {"arguments", arguments}});
    EXPECT_TRUE(a.contains("result")) << json::dumps(a);
    return a["result"];
  }

  void close_input() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }
  // Closes standard input and waits for the exit status (-1: did not exit
  // normally within the deadline).
  int finish() {
    close_input();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ANSWER_DEADLINE_MS);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      ::usleep(10000);
    }
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Whatever standard output still held after the exit.
  std::string rest() {
    std::string rest = buffer_;
    buffer_.clear();
    char buf[65536];
    ssize_t n;
    while ((n = ::read(out_, buf, sizeof buf)) > 0) rest.append(buf, static_cast<std::size_t>(n));
    return rest;
  }
  std::string stderr_text() const { return read_file(err_file_); }

private:
  TempDir err_dir_;
  fs::path err_file_;
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  bool exited_ = false;
  std::string buffer_;
  int next_id_ = 0;
};

std::string text_of(const Value& result) {
  if (!result.contains("content") || result["content"].empty()) return "";
  return result["content"][0].value("text", "");
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class McpCli : public ::testing::Test {
protected:
  ScopedEnv agent_env;
  void SetUp() override {
    isolate_git_environment();
    clear_agent_environment(agent_env);
  }
  Env env(Env extra = {}) const {
    auto e = isolated_cli_env(home.path());
    e["XDG_CONFIG_HOME"] = home.path().string();
    e["CLAUDE_PROJECT_DIR"] = std::nullopt;
    for (auto& [k, v] : extra) e[k] = v;
    return e;
  }
  std::unique_ptr<McpProcess> start(Env extra = {}, const fs::path& cwd = {},
                                    const std::vector<std::string>& args = {}) {
    return std::make_unique<McpProcess>(cwd.empty() ? repo.root() : cwd, env(std::move(extra)), args);
  }
  // Stages a change and returns the hash `brenik attest` wants.
  std::string stage(const std::string& name, const std::string& content) {
    write_file(repo.root() / name, content);
    repo.git({"add", name});
    auto r = utils::run({"sh", "-c", "git diff --staged | sha256sum | cut -d' ' -f1"}, {.cwd = repo.root()});
    EXPECT_TRUE(r.ok());
    return utils::strip(r.out);
  }
  fs::path pending() const { return paths::commit_attestation(repo.root()); }

  TempRepo repo;
  TempDir home;
};

Value initialize_params(const std::string& version) {
  return {{"protocolVersion", version},
          {"capabilities", Value::object()},
          {"clientInfo", {{"name", "test-harness"}, {"version", "1.0"}}}};
}

Value modern_params(const std::string& version, Value params = Value::object()) {
  params["_meta"] = {{"io.modelcontextprotocol/protocolVersion", version},
                     {"io.modelcontextprotocol/clientCapabilities", Value::object()}};
  return params;
}

TEST_F(McpCli, TheInitializeHandshakeEchoesASupportedVersionElseOffersTheLatest) {
  auto mcp = start();
  for (const char* version : {"2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"}) {
    Value a = mcp->request("initialize", initialize_params(version));
    EXPECT_EQ(a["result"]["protocolVersion"], version);
    EXPECT_EQ(a["result"]["serverInfo"]["name"], "brenik");
    EXPECT_TRUE(a["result"]["capabilities"].contains("tools"));
  }
  Value a = mcp->request("initialize", initialize_params("1999-01-01"));
  EXPECT_EQ(a["result"]["protocolVersion"], "2025-11-25");
  // The notification gets no answer: the next line answers the ping.
  mcp->send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
  EXPECT_EQ(mcp->request("ping")["result"], Value::object());
  EXPECT_EQ(mcp->finish(), 0);
  EXPECT_EQ(mcp->rest(), "");
}

TEST_F(McpCli, TheHandshakeFreeGenerationDiscoversAndIsAnsweredInItsOwnForm) {
  auto mcp = start();
  Value d = mcp->request("server/discover", modern_params("2026-07-28"));
  ASSERT_TRUE(d.contains("result")) << json::dumps(d);
  EXPECT_EQ(d["result"]["resultType"], "complete");
  const auto& versions = d["result"]["supportedVersions"];
  EXPECT_NE(std::find(versions.begin(), versions.end(), "2026-07-28"), versions.end());
  EXPECT_NE(std::find(versions.begin(), versions.end(), "2025-11-25"), versions.end());
  EXPECT_EQ(d["result"]["_meta"]["io.modelcontextprotocol/serverInfo"]["name"], "brenik");
  EXPECT_TRUE(d["result"]["capabilities"].contains("tools"));

  // No initialize first: a request names its revision itself.
  Value l = mcp->request("tools/list", modern_params("2026-07-28"));
  EXPECT_EQ(l["result"]["resultType"], "complete");
  EXPECT_TRUE(l["result"]["ttlMs"].is_number_integer());
  EXPECT_TRUE(l["result"]["cacheScope"] == "public" || l["result"]["cacheScope"] == "private");
  EXPECT_EQ(l["result"]["tools"].size(), 6u);
  Value c = mcp->request("tools/call", modern_params("2026-07-28", {{"name", "status"}}));
  EXPECT_EQ(c["result"]["resultType"], "complete");
  EXPECT_EQ(c["result"]["isError"], false);

  Value u = mcp->request("tools/list", modern_params("2099-01-01"));
  EXPECT_EQ(u["error"]["code"], -32022);
  EXPECT_EQ(u["error"]["data"]["requested"], "2099-01-01");
  EXPECT_TRUE(u["error"]["data"]["supported"].is_array());
  EXPECT_EQ(mcp->finish(), 0);
}

TEST_F(McpCli, ToolsAreListedByNameWithSchemasAndDescriptions) {
  auto mcp = start();
  mcp->request("initialize", initialize_params("2025-06-18"));
  Value tools = mcp->request("tools/list")["result"]["tools"];
  std::set<std::string> names;
  for (const auto& t : tools) {
    names.insert(t["name"].get<std::string>());
    EXPECT_GT(t["description"].get<std::string>().size(), 40u) << t["name"];
    EXPECT_EQ(t["inputSchema"]["type"], "object") << t["name"];
  }
  EXPECT_EQ(names, (std::set<std::string>{"attest", "sync", "status", "rules", "specs", "docs"}));
  for (const auto& t : tools) {
    if (t["name"] == "attest") {
      EXPECT_EQ(t["inputSchema"]["required"], Value::array({"staged_diff_hash", "model", "summary"}));
    }
  }
  Value unknown = mcp->request("tools/call", {{"name", "deploy"}, {"arguments", Value::object()}});
  EXPECT_EQ(unknown["error"]["code"], -32602);
}

TEST_F(McpCli, BadInputIsAnsweredAndTheServerGoesOn) {
  auto mcp = start();
  mcp->send_raw("this is not json\n");
  Value a = mcp->receive();
  EXPECT_EQ(a["error"]["code"], -32700);
  EXPECT_TRUE(a["id"].is_null());
  mcp->send_raw("{\"jsonrpc\": \"2.0\", \"id\": 1, \"method\": \"tools/list\"\n");  // cut short
  EXPECT_EQ(mcp->receive()["error"]["code"], -32700);
  Value m = mcp->request("resources/list");
  EXPECT_EQ(m["error"]["code"], -32601);
  // A notification of a method we do not know is not answered either.
  mcp->send({{"jsonrpc", "2.0"}, {"method", "notifications/whatever"}});
  // Nested deeper than any message needs: copying or writing it would
  // recurse once per level, so it is refused under its id.
  const std::size_t deep = 500000;
  mcp->send_raw(R"({"jsonrpc": "2.0", "id": "deep", "method": "tools/call", "params": {"name": "attest", )"
                R"("arguments": {"rules": )" +
                std::string(deep, '[') + std::string(deep, ']') + "}}}\n");
  Value d = mcp->receive();
  EXPECT_EQ(d["id"], "deep");
  EXPECT_EQ(d["error"]["code"], -32600);
  mcp->send_raw("\n   \n");  // blank lines carry nothing
  EXPECT_EQ(mcp->request("ping")["result"], Value::object());
  EXPECT_EQ(mcp->finish(), 0);
  EXPECT_EQ(mcp->rest(), "");
}

TEST_F(McpCli, ATenMegabyteLineIsRefusedUnderItsIdWithoutHoldingUpTheNext) {
  auto mcp = start();
  const std::string huge = R"({"jsonrpc": "2.0", "id": 41, "method": "tools/call", "params": {"name": "rules", )"
                           R"("arguments": {"name": ")" +
                           std::string(10 << 20, 'x') + "\"}}}\n";
  mcp->send_raw(huge);
  Value a = mcp->receive();
  EXPECT_EQ(a["id"], 41);
  EXPECT_EQ(a["error"]["code"], -32600);
  // The next request is answered while the input is still open.
  EXPECT_EQ(mcp->request("ping")["result"], Value::object());
  // And one without an id it could find, with no newline before the end.
  mcp->send_raw(std::string(10 << 20, '{'));
  mcp->close_input();
  Value b = mcp->receive();
  EXPECT_EQ(b["error"]["code"], -32600);
  EXPECT_TRUE(b["id"].is_null());
  EXPECT_EQ(mcp->finish(), 0);
}

TEST_F(McpCli, EndOfInputEndsTheServerWithStatusZeroEvenMidLine) {
  auto mcp = start();
  mcp->send_raw(R"({"jsonrpc": "2.0", "id": 1, "method": "ping"})");  // no newline
  EXPECT_EQ(mcp->finish(), 0);
  auto answer = json::loads(mcp->rest());
  EXPECT_EQ(answer["id"], 1);
  // Outside any repository the tools refuse, and the server still ends cleanly.
  TempDir elsewhere;
  auto outside = start({}, elsewhere.path());
  Value r = outside->call("status");
  EXPECT_EQ(r["isError"], true);
  EXPECT_TRUE(contains(text_of(r), "Not inside a git repository")) << text_of(r);
  EXPECT_EQ(outside->finish(), 0);
}

TEST_F(McpCli, AttestWritesThePendingFileAsTheCommandDoes) {
  repo.commit_file("README", "first\n", "init");
  const std::string hash = stage("a.txt", "change\n");
  auto mcp = start();
  Value r = mcp->call("attest", {{"staged_diff_hash", hash},
                                 {"model", "m1"},
                                 {"summary", "Add a"},
                                 {"timestamp", "2025-01-02T03:04:05Z"},
                                 {"task_type", "feature"},
                                 {"rules", {{"checked", true}, {"applicable", {"r1"}}}},
                                 {"provenance", R"({"type": "spec", "ref": "add-a"})"}});
  EXPECT_EQ(r["isError"], false) << text_of(r);
  EXPECT_TRUE(contains(text_of(r), "Created .brenik/.commit-attestation.yaml")) << text_of(r);
  EXPECT_EQ(read_file(pending()),
            "---\n"
            "staged_diff_hash: '" +
                hash + "'\n" +
                "timestamp: '2025-01-02T03:04:05Z'\n"
                "agent_model: m1\n"
                "provenance:\n"
                "  type: spec\n"
                "  ref: add-a\n"
                "task_type: feature\n"
                "rules:\n"
                "  checked: true\n"
                "  applicable:\n"
                "  - r1\n"
                "summary: Add a\n"
                "---\n");
  // The same arguments through the command line give the same file.
  const std::string by_server = read_file(pending());
  fs::remove(pending());
  auto cli =
      run_binary("brenik",
                 {"attest", "--staged-diff-hash", hash, "--model", "m1", "--summary", "Add a", "--timestamp",
                  "2025-01-02T03:04:05Z", "--task-type", "feature", "--rules",
                  R"({"checked": true, "applicable": ["r1"]})", "--provenance", R"({"type": "spec", "ref": "add-a"})"},
                 {.cwd = repo.root(), .env = env()});
  ASSERT_EQ(cli.exit_code, 0) << cli.err;
  EXPECT_EQ(read_file(pending()), by_server);
  EXPECT_EQ(mcp->finish(), 0);
}

TEST_F(McpCli, AttestRefusesWithTheCommandsMessagesAndWritesNothing) {
  repo.commit_file("README", "first\n", "init");
  const std::string hash = stage("a.txt", "change\n");
  const std::string wrong(64, '0');
  auto mcp = start();
  Value mismatch = mcp->call("attest", {{"staged_diff_hash", wrong}, {"model", "m1"}, {"summary", "s"}});
  EXPECT_EQ(mismatch["isError"], true);
  auto cli = run_binary("brenik", {"attest", "--staged-diff-hash", wrong, "--model", "m1", "--summary", "s"},
                        {.cwd = repo.root(), .env = env()});
  ASSERT_EQ(cli.exit_code, 1);
  // Every line the command prints, the tool says too.
  std::string printed = cli.err + cli.out;
  std::size_t start_at = 0;
  while (start_at < printed.size()) {
    auto end = printed.find('\n', start_at);
    if (end == std::string::npos) end = printed.size();
    const std::string l = printed.substr(start_at, end - start_at);
    if (!l.empty()) {
      EXPECT_TRUE(contains(text_of(mismatch), l)) << l << "\n---\n" << text_of(mismatch);
    }
    start_at = end + 1;
  }
  EXPECT_TRUE(contains(text_of(mismatch), "Diff hash mismatch"));

  struct Case {
    Value args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{{"model", "m1"}}, "Missing required flags: --staged-diff-hash, --summary"},
      {{{"staged_diff_hash", hash}, {"model", "m1"}, {"summary", "s"}, {"rules", "{nope"}}, "Invalid --rules JSON: "},
      {{{"staged_diff_hash", hash}, {"model", "m1"}, {"summary", "s"}, {"provenance", {1}}},
       "--provenance must be a JSON object, got: list"},
      {{{"staged_diff_hash", hash}, {"model", "m1"}, {"summary", "s"}, {"provenance", {{"ref", "x"}}}}, "got: None"},
      {{{"staged_diff_hash", hash}, {"model", "m1"}, {"summary", "s"}, {"task_type", "party"}},
       "--task-type must be one of"},
      {{{"staged_diff_hash", hash}, {"model", 3}, {"summary", "s"}}, "`model` must be a string"},
  };
  for (const auto& c : cases) {
    Value r = mcp->call("attest", c.args);
    EXPECT_EQ(r["isError"], true) << json::dumps(c.args);
    EXPECT_TRUE(contains(text_of(r), c.message)) << text_of(r);
  }
  EXPECT_FALSE(fs::exists(pending()));
  EXPECT_EQ(mcp->finish(), 0);
}

TEST_F(McpCli, StatusGivesTheSessionSummaryThenTheLogsCounts) {
  append_log_lines(repo.root(), log_lines(0, 3));
  Value synced = log_line(3);
  synced["synced"] = true;
  append_log_lines(repo.root(), {synced});
  auto mcp = start();
  Value r = mcp->call("status");
  EXPECT_EQ(r["isError"], false);
  const std::string text = text_of(r);
  EXPECT_EQ(text.rfind("brenik session context loaded\n", 0), 0u) << text;
  EXPECT_TRUE(contains(text, "  3 attestation(s) recorded locally, waiting for a project")) << text;
  EXPECT_TRUE(contains(text, "waiting for upload: 3")) << text;
  EXPECT_TRUE(contains(text, "uploaded: 1")) << text;
  EXPECT_TRUE(contains(text, "pending attestation: none")) << text;
  EXPECT_EQ(mcp->finish(), 0);
}

TEST_F(McpCli, RulesSpecsAndDocsAreReadFromTheLocalCacheOnly) {
  const fs::path platform = paths::platform_dir(repo.root());
  fs::create_directories(platform / "specs" / "auth");
  write_file(platform / "brenikrules.yaml",
             "principles:\n  small-modules:\n    description: One job each\n"
             "constraints:\n  no-secrets:\n    description: Never log a key\n");
  write_file(platform / "specs" / "auth" / "index.md", "# Auth\nTokens expire.\n");
  write_file(platform / "specs" / "billing.md", "# Billing\n");
  fs::create_directories(paths::canonical_docs_dir(repo.root()));
  write_file(paths::canonical_docs_dir(repo.root()) / "architecture.md", "Layers: one way.\n");
  fs::create_directories(paths::guidance_dir(repo.root()) / "project");
  write_file(paths::guidance_dir(repo.root()) / "project" / "style.md", "Short names.\n");
  // A sign-in pointing nowhere: any network use would show as a failure.
  auto mcp =
      start({{"BRENIK_API_KEY", "bk_test"}, {"BRENIK_API_URL", "http://127.0.0.1:" + std::to_string(closed_port())}});

  Value rules = mcp->call("rules");
  EXPECT_EQ(rules["isError"], false);
  EXPECT_TRUE(contains(text_of(rules), "principles: small-modules")) << text_of(rules);
  EXPECT_TRUE(contains(text_of(rules), "constraints: no-secrets")) << text_of(rules);
  EXPECT_TRUE(contains(text_of(mcp->call("rules", {{"name", "no-secrets"}})), "Never log a key"));
  EXPECT_TRUE(contains(text_of(mcp->call("rules", {{"name", "principles"}})), "One job each"));
  Value no_rule = mcp->call("rules", {{"name", "nope"}});
  EXPECT_EQ(no_rule["isError"], true);
  EXPECT_TRUE(contains(text_of(no_rule), "small-modules")) << text_of(no_rule);

  EXPECT_TRUE(contains(text_of(mcp->call("specs")), "auth, billing")) << text_of(mcp->call("specs"));
  EXPECT_TRUE(contains(text_of(mcp->call("specs", {{"domain", "auth"}})), "Tokens expire."));
  EXPECT_EQ(text_of(mcp->call("specs", {{"domain", "billing"}})), "# Billing\n");
  Value no_spec = mcp->call("specs", {{"domain", "../specs"}});
  EXPECT_EQ(no_spec["isError"], true);
  EXPECT_TRUE(contains(text_of(no_spec), "auth, billing")) << text_of(no_spec);

  EXPECT_TRUE(contains(text_of(mcp->call("docs")), "architecture, project/style")) << text_of(mcp->call("docs"));
  EXPECT_EQ(text_of(mcp->call("docs", {{"name", "architecture"}})), "Layers: one way.\n");
  EXPECT_EQ(text_of(mcp->call("docs", {{"name", "style"}})), "Short names.\n");
  Value no_doc = mcp->call("docs", {{"name", "roadmap"}});
  EXPECT_EQ(no_doc["isError"], true);
  EXPECT_TRUE(contains(text_of(no_doc), "architecture, project/style")) << text_of(no_doc);
  EXPECT_EQ(mcp->finish(), 0);
}

TEST_F(McpCli, AnEmptyCacheSaysSoAndLinksInTheCacheAreNotFollowed) {
  auto mcp = start();
  for (const char* tool : {"rules", "specs", "docs"}) {
    Value r = mcp->call(tool);
    EXPECT_EQ(r["isError"], false) << tool;
    EXPECT_TRUE(contains(text_of(r), "sync")) << text_of(r);
  }
  // A clone that plants links where the cache belongs shows nothing of where
  // they lead.
  TempDir outside;
  write_file(outside.path() / "secret.md", "private key material\n");
  fs::create_directories(paths::platform_dir(repo.root()));
  fs::create_directory_symlink(outside.path(), paths::specs_dir(repo.root()));
  fs::create_directories(paths::canonical_docs_dir(repo.root()));
  fs::create_symlink(outside.path() / "secret.md", paths::canonical_docs_dir(repo.root()) / "secret.md");
  fs::create_symlink(outside.path() / "secret.md", paths::platform_dir(repo.root()) / "brenikrules.yaml");
  for (const char* tool : {"specs", "docs"}) {
    const std::string listed = text_of(mcp->call(tool));
    EXPECT_FALSE(contains(listed, "secret")) << tool << ": " << listed;
  }
  for (const auto& [tool, args] : std::vector<std::pair<std::string, Value>>{
           {"specs", {{"domain", "secret"}}}, {"docs", {{"name", "secret"}}}, {"rules", {{"name", "all"}}}}) {
    Value r = mcp->call(tool, args);
    EXPECT_EQ(r["isError"], true) << tool;
    EXPECT_FALSE(contains(text_of(r), "private key material")) << tool << ": " << text_of(r);
  }
  EXPECT_EQ(mcp->finish(), 0);
}

TEST_F(McpCli, TheHarnessProjectFolderOrRepoOptionNamesTheRepository) {
  TempDir elsewhere;
  append_log_lines(repo.root(), log_lines(0, 2));
  auto by_env = start({{"CLAUDE_PROJECT_DIR", repo.root().string()}}, elsewhere.path());
  EXPECT_TRUE(contains(text_of(by_env->call("status")), "waiting for upload: 2"));
  EXPECT_EQ(by_env->finish(), 0);
  auto by_option = start({}, elsewhere.path(), {"--repo", repo.root().string()});
  EXPECT_TRUE(contains(text_of(by_option->call("status")), "waiting for upload: 2"));
  EXPECT_EQ(by_option->finish(), 0);
  // An option the harness did not expand falls back to the working directory.
  auto unexpanded = start({}, repo.root(), {"--repo", "${workspaceFolder}"});
  EXPECT_TRUE(contains(text_of(unexpanded->call("status")), "waiting for upload: 2"));
  EXPECT_EQ(unexpanded->finish(), 0);
}

class McpSync : public McpCli {
protected:
  static constexpr const char* REMOTE = "https://github.com/acme/widget.git";
  void SetUp() override {
    McpCli::SetUp();
    repo.git({"remote", "add", "origin", REMOTE});
  }
  Env signed_in(const std::string& key, const std::string& url) const {
    return {{"BRENIK_API_KEY", key}, {"BRENIK_API_URL", url}};
  }
  ServerWorld world;
};

TEST_F(McpSync, NotSignedInIsARefusalWithItsRemedyAndTheRecordsStay) {
  append_log_lines(repo.root(), log_lines(0, 2));
  auto mcp = start();
  Value r = mcp->call("sync");
  EXPECT_EQ(r["isError"], true);
  EXPECT_TRUE(contains(text_of(r), "not signed in")) << text_of(r);
  EXPECT_TRUE(contains(text_of(r), tv::remedy(std::string(tv::NOT_SIGNED_IN)))) << text_of(r);
  EXPECT_EQ(count_synced(read_log_lines(repo.root())), 0);
  Value bad = mcp->call("sync", {{"team_id", "seven"}});
  EXPECT_EQ(bad["isError"], true);
  EXPECT_TRUE(contains(text_of(bad), "team_id")) << text_of(bad);
  EXPECT_EQ(mcp->finish(), 0);
}

TEST_F(McpSync, ThePendingAttestationIsFiledBeforeTheNetworkIsTried) {
  repo.commit_file("README", "first\n", "init");
  const std::string hash = stage("a.txt", "change\n");
  auto mcp = start(signed_in(world.key, "http://127.0.0.1:" + std::to_string(closed_port())));
  ASSERT_EQ(mcp->call("attest", {{"staged_diff_hash", hash}, {"model", "m1"}, {"summary", "Add a"}})["isError"], false);
  repo.git({"commit", "-q", "-m", "add a"});  // no hooks installed: the attestation stays pending
  const std::string commit = repo.head();
  Value r = mcp->call("sync");
  EXPECT_EQ(r["isError"], true);
  const std::string text = text_of(r);
  EXPECT_TRUE(contains(text, "Filed the pending attestation under commit " + commit.substr(0, 7))) << text;
  EXPECT_TRUE(contains(text, "could not reach brenik")) << text;
  EXPECT_TRUE(contains(text, tv::remedy(std::string("unreachable")))) << text;
  EXPECT_FALSE(fs::exists(pending()));
  EXPECT_TRUE(fs::exists(paths::attestations_dir(repo.root()) / (commit + ".yaml")));
  EXPECT_EQ(mcp->finish(), 0);
}

TEST_F(McpSync, AnAmbiguousTeamIsNamedOnceThroughTheTeamIdArgument) {
  const auto states = world.refusal_states();
  append_log_lines(repo.root(), log_lines(0, 2));
  auto mcp = start(signed_in(states.two_teams_key, world.url()));
  Value refused = mcp->call("sync");
  EXPECT_EQ(refused["isError"], true);
  EXPECT_TRUE(contains(text_of(refused), "`team_id` argument on the MCP sync tool")) << text_of(refused);

  Value r = mcp->call("sync", {{"team_id", std::stoll(states.beta_team)}});
  const std::string text = text_of(r);
  const Value config = services::shared::load_local_config(repo.root());
  ASSERT_TRUE(config["project_id"].is_number_integer()) << text;
  EXPECT_EQ(config["team_id"], std::stoll(states.beta_team));
  const std::int64_t project = config["project_id"].get<std::int64_t>();
  EXPECT_TRUE(contains(text, "project " + std::to_string(project))) << text;
  // The records went, and the tool says so.
  EXPECT_EQ(r["isError"], false) << text;
  EXPECT_EQ(upload_sizes(world.uploads(project)), (std::vector<std::int64_t>{2}));
  EXPECT_EQ(count_synced(read_log_lines(repo.root())), 2);
  EXPECT_TRUE(contains(text, "Uploaded to project " + std::to_string(project) + ": 2 records.")) << text;
  EXPECT_TRUE(contains(text, "Context cache: refreshed")) << text;
  // Linked now: the next sync finds nothing left to send.
  Value again = mcp->call("sync");
  EXPECT_TRUE(contains(text_of(again), "Nothing to upload")) << text_of(again);
  EXPECT_EQ(mcp->finish(), 0);
}

TEST_F(McpCli, SetupRegistersTheServerBesideTheEntriesThereAndASecondRunChangesNothing) {
  fs::create_directories(repo.root() / ".claude");
  fs::create_directories(repo.root() / ".cursor");
  write_file(repo.root() / ".mcp.json",
             "{\"mcpServers\": {\"docs\": {\"command\": \"docs-server\", \"args\": [\"ü\"]}}}\n");
  auto first = run_binary("brenik", {"setup", "--no-harness-hooks"}, {.cwd = repo.root(), .env = env()});
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  const std::string claude = read_file(repo.root() / ".mcp.json");
  const std::string cursor = read_file(repo.root() / ".cursor" / "mcp.json");
  const Value v = json::loads(claude);
  EXPECT_EQ(v["mcpServers"]["docs"], json::loads(R"({"command": "docs-server", "args": ["ü"]})"));
  EXPECT_EQ(v["mcpServers"]["brenik"]["args"], Value::array({"mcp"}));
  EXPECT_TRUE(fs::path(v["mcpServers"]["brenik"]["command"].get<std::string>()).filename() == "brenik");
  EXPECT_TRUE(contains(first.out, ".mcp.json")) << first.out;
  auto second = run_binary("brenik", {"setup", "--no-harness-hooks"}, {.cwd = repo.root(), .env = env()});
  ASSERT_EQ(second.exit_code, 0) << second.out << second.err;
  EXPECT_EQ(read_file(repo.root() / ".mcp.json"), claude);
  EXPECT_EQ(read_file(repo.root() / ".cursor" / "mcp.json"), cursor);
  // Without leave to edit the user's files, the home stays untouched.
  EXPECT_FALSE(fs::exists(home.path() / ".codeium"));
}

TEST_F(McpCli, SetupLeavesAConfigurationThatDoesNotParseAsItIsAndSaysSo) {
  fs::create_directories(repo.root() / ".codex");
  const std::string broken = "model = \"o3\"\n[mcp_servers.other\ncommand = \"tool\"\n";
  write_file(repo.root() / ".codex" / "config.toml", broken);
  auto r = run_binary("brenik", {"setup", "--no-harness-hooks"}, {.cwd = repo.root(), .env = env()});
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "config.toml: the file is not valid TOML")) << r.err;
  EXPECT_EQ(read_file(repo.root() / ".codex" / "config.toml"), broken);
}

}  // namespace
}  // namespace brenik::testing
