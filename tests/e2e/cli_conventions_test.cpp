// The command line as a new user meets it: suggestions for slips, help,
// colour only where it belongs, one wording for one refusal, and signing in
// without leaving the key in the shell history.
#include <gtest/gtest.h>

#include "protocol/credentials.hpp"
#include "support/python_oracle.hpp"
#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/json.hpp"

namespace brenik::testing {
namespace {

using Env = std::map<std::string, std::optional<std::string>>;

utils::RunResult brenik(const std::vector<std::string>& args, const fs::path& cwd, Env env = {}) {
  env.emplace("NO_COLOR", "1");
  env.emplace("PAGER", "cat");
  return run_binary("brenik", args, {.cwd = cwd, .env = env});
}

TEST(CliConventions, SlipsGetSuggestions) {
  TempRepo repo;
  struct Case {
    std::vector<std::string> args;
    std::string said;
  };
  for (const Case& c : std::vector<Case>{
           {{"stauts"}, "error: 'stauts' is not a `brenik` command. Did you mean 'status'?"},
           {{"blam", "x"}, "Did you mean 'blame'?"},
           {{"auth", "logn"}, "'logn' is not a `brenik auth` command. Did you mean 'login'?"},
           {{"attest", "--sumary", "s"}, "`brenik attest` has no option '--sumary'. Did you mean '--summary'?"},
           {{"status", "--jsn"}, "Did you mean '--json'?"},
           {{"log", "--max=3"}, "Did you mean '--max-count'?"},
       }) {
    auto r = brenik(c.args, repo.root());
    EXPECT_EQ(r.exit_code, 2) << c.args[0];
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("A subcommand is required"), std::string::npos) << r.err;
  }
  // Nothing close: no guess, still the command list.
  auto r = brenik({"frobnicate"}, repo.root());
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err.find("Did you mean"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("brenik --help"), std::string::npos) << r.err;
}

TEST(CliConventions, HelpCommandAndTopLevelOrder) {
  TempRepo repo;
  auto top = brenik({"help"}, repo.root());
  ASSERT_EQ(top.exit_code, 0) << top.err;
  EXPECT_NE(top.out.find("Run `brenik setup` once"), std::string::npos) << top.out;
  const auto setup = top.out.find("\n  setup"), attest = top.out.find("\n  attest"), log = top.out.find("\n  log"),
             session = top.out.find("\n  session-start");
  ASSERT_NE(setup, std::string::npos) << top.out;
  EXPECT_LT(setup, attest);
  EXPECT_LT(attest, log);
  EXPECT_LT(log, session);
  EXPECT_EQ(top.out, brenik({"--help"}, repo.root()).out);
  auto one = brenik({"help", "blame"}, repo.root());
  EXPECT_EQ(one.exit_code, 0);
  EXPECT_EQ(one.out, brenik({"blame", "--help"}, repo.root()).out);
  auto nested = brenik({"help", "auth", "login"}, repo.root());
  EXPECT_NE(nested.out.find("--api-key"), std::string::npos) << nested.out;
  EXPECT_EQ(brenik({"help", "stauts"}, repo.root()).exit_code, 2);
  // Nothing at all: a usage error that shows what there is to run.
  auto bare = brenik({}, repo.root());
  EXPECT_EQ(bare.exit_code, 2);
  EXPECT_EQ(bare.err, top.out);
}

TEST(CliConventions, StatusRefusesANegativeCount) {
  TempRepo repo;
  auto r = brenik({"status", "-n", "-1"}, repo.root());
  EXPECT_EQ(r.exit_code, 2) << r.out;
  EXPECT_EQ(brenik({"status", "-n", "0"}, repo.root()).exit_code, 0);
}

TEST(CliConventions, OneRefusalOutsideARepository) {
  TempDir plain;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"status"},
           {"setup"},
           {"sync"},
           {"log"},
           {"show", "HEAD"},
           {"blame", "x"},
           {"attest", "--staged-diff-hash", "x", "--model", "m", "--summary", "s"},
           {"attest", "add", "--commit", "x", "--session", "s", "--task-type", "feature"}}) {
    auto r = brenik(args, plain.path(), {{"HOME", plain.path().string()}});
    EXPECT_EQ(r.exit_code, 1) << args[0];
    EXPECT_EQ(r.err, "error: Not inside a git repository.\n") << args[0];
  }
}

// Runs `brenik log` on a pseudo-terminal with `env` and says whether its
// output carried colour.
bool coloured_on_terminal(const fs::path& cwd, Env env) {
  json::Value spec = json::Value::object();
  spec["argv"] = json::Value::array({built_binary("brenik").string(), "log"});
  spec["cwd"] = cwd.string();
  spec["env"] = json::Value::object();
  env.emplace("PAGER", "cat");
  env.emplace("GIT_PAGER", std::nullopt);
  for (const auto& [k, v] : env) spec["env"][k] = v ? json::Value(*v) : json::Value();
  const auto lines = run_python(R"(
import json, os, pty, sys
spec = json.load(open(sys.argv[1]))
env = dict(os.environ)
for k, v in spec["env"].items():
    if v is None: env.pop(k, None)
    else: env[k] = v
pid, fd = pty.fork()
if pid == 0:
    os.chdir(spec["cwd"])
    os.execve(spec["argv"][0], spec["argv"], env)
out = b""
while True:
    try:
        chunk = os.read(fd, 65536)
    except OSError:
        break
    if not chunk: break
    out += chunk
os.waitpid(pid, 0)
print("coloured" if b"\x1b[" in out else "plain")
)",
                                json::dumps(spec));
  return !lines.empty() && lines.back() == "coloured";
}

TEST(CliConventions, ColourFollowsNoColorAndTerm) {
  if (!python_available()) GTEST_SKIP() << "python3 missing";
  TempRepo repo;
  repo.commit_file("a.txt", "a\n", "one");
  EXPECT_TRUE(coloured_on_terminal(repo.root(), {{"NO_COLOR", std::nullopt}, {"TERM", "xterm"}}));
  // Only a non-empty NO_COLOR turns colour off.
  EXPECT_TRUE(coloured_on_terminal(repo.root(), {{"NO_COLOR", ""}, {"TERM", "xterm"}}));
  EXPECT_FALSE(coloured_on_terminal(repo.root(), {{"NO_COLOR", "1"}, {"TERM", "xterm"}}));
  EXPECT_FALSE(coloured_on_terminal(repo.root(), {{"NO_COLOR", std::nullopt}, {"TERM", "dumb"}}));
  // Never into a pipe.
  auto r = run_binary("brenik", {"log"}, {.cwd = repo.root(), .env = {{"NO_COLOR", std::nullopt}, {"TERM", "xterm"}}});
  EXPECT_EQ(r.out.find("\x1b["), std::string::npos);
}

TEST(CliConventions, PagerRunsOnlyOnATerminal) {
  TempRepo repo;
  repo.commit_file("a.txt", "a\n", "one");
  TempDir marks;
  const std::string pager = "cat > " + (marks.path() / "paged").string();
  auto r = run_binary("brenik", {"log"}, {.cwd = repo.root(), .env = {{"PAGER", pager}, {"GIT_PAGER", std::nullopt}}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("one"), std::string::npos);
  EXPECT_FALSE(fs::exists(marks.path() / "paged"));  // output into a pipe: no pager
  if (!python_available()) return;
  // On a terminal the output goes through it, a shell command as git runs one.
  coloured_on_terminal(repo.root(), {{"PAGER", pager}, {"NO_COLOR", "1"}});
  ASSERT_TRUE(fs::exists(marks.path() / "paged"));
  EXPECT_NE(read_file(marks.path() / "paged").find("one"), std::string::npos);
  // "cat" or an empty pager means none.
  fs::remove(marks.path() / "paged");
  coloured_on_terminal(repo.root(), {{"PAGER", ""}, {"NO_COLOR", "1"}});
  EXPECT_FALSE(fs::exists(marks.path() / "paged"));
}

class AuthCli : public ::testing::Test {
protected:
  TempDir home;
  TempRepo repo;
  Env env() const {
    return {{"XDG_CONFIG_HOME", home.path().string()},
            {"HOME", home.path().string()},
            {"BRENIK_API_KEY", std::nullopt},
            {"BRENIK_API_URL", std::nullopt}};
  }
  utils::RunResult run(const std::vector<std::string>& args, const std::optional<std::string>& input = std::nullopt) {
    Env e = env();
    e.emplace("NO_COLOR", "1");
    return run_binary("brenik", args, {.cwd = repo.root(), .stdin_data = input, .env = e});
  }
  fs::path file() const { return home.path() / "brenik" / "credentials.json"; }
};

TEST_F(AuthCli, LoginReadsTheKeyFromStandardInputAndChecksIt) {
  ServerWorld world;
  auto r = run({"auth", "login", "--api-key", "-", "--api-url", world.url()}, world.key + "\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("the server accepted the key"), std::string::npos) << r.out;
  EXPECT_NE(read_file(file()).find(world.key), std::string::npos);

  // A key the server refuses is said to be refused and not saved.
  r = run({"auth", "login", "--api-key", "-", "--api-url", world.url()}, "bk_wrong\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("refused this key (key_rejected)"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(file()).find("bk_wrong"), std::string::npos);
  EXPECT_NE(read_file(file()).find(world.key), std::string::npos);

  // Nothing on standard input, and none asked for off a terminal.
  EXPECT_EQ(run({"auth", "login", "--api-key", "-", "--api-url", world.url()}, "").exit_code, 1);
  EXPECT_EQ(run({"auth", "login", "--api-url", world.url()}, world.key).exit_code, 2);
}

TEST_F(AuthCli, AnUnreachableServerSavesTheKeyUnchecked) {
  auto r = run({"auth", "login", "--api-key", "bk_offline", "--api-url", "http://127.0.0.1:1"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("Could not reach http://127.0.0.1:1 to check the key"), std::string::npos) << r.err;
  EXPECT_NE(read_file(file()).find("bk_offline"), std::string::npos);
}

TEST_F(AuthCli, StatusAndLogout) {
  auto r = run({"auth", "status"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("Not signed in"), std::string::npos) << r.out;
  ASSERT_EQ(run({"auth", "login", "--api-key", "bk_0123456789abcdef", "--api-url", "http://127.0.0.1:1"}).exit_code, 0);
  r = run({"auth", "status"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Signed in to http://127.0.0.1:1 with key bk_0...cdef"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("bk_0123456789abcdef"), std::string::npos);  // never shown whole
  r = run({"auth", "logout"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Signed out"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(file()));
  EXPECT_EQ(run({"auth", "status"}).exit_code, 1);
  r = run({"auth", "logout"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Not signed in"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace brenik::testing
