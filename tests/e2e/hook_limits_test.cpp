// The hooks (`brenik attest add --from-hook` and `brenik sync --record-commit`)
// through the real binary under hostile conditions: a reader that went away,
// a file size limit, an input that never ends, pending attestation files
// that are huge, malformed or links. Each must end with its status (0 for the
// harness hook), not by a signal, and within the test's kill timeout.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/server_fixture.hpp"
#include "support/temp_repo.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::testing {
namespace {

using utils::UniqueFd;

struct Pipe {
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    read = UniqueFd(fds[0]);
    write = UniqueFd(fds[1]);
  }
  UniqueFd read, write;
};

struct Ended {
  bool exited = false;  // ended by exit(), not by a signal
  int exit_code = -1;
  int signal = 0;
  bool killed_by_test = false;
};

struct SpawnOptions {
  int stdin_fd = -1;   // -1: /dev/null
  int stdout_fd = -1;  // -1: /dev/null
  std::optional<rlim_t> file_size_limit = std::nullopt;
  double kill_after_seconds = 60;  // guard against a hang, not a timing
};

// Runs the built `brenik` with the given descriptors and limits; the test
// process keeps its own ends of the pipes, so it decides when input ends.
Ended spawn_brenik(const std::vector<std::string>& args, const fs::path& cwd,
                   const std::map<std::string, std::optional<std::string>>& env, const SpawnOptions& o) {
  std::vector<std::string> argv{built_binary("brenik").string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> envs = utils::build_environment(env);
  std::vector<char*> cargv, cenv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  for (auto& e : envs) cenv.push_back(e.data());
  cenv.push_back(nullptr);
  const std::string dir = cwd.string();

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    const int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(o.stdin_fd >= 0 ? o.stdin_fd : devnull, 0);
    ::dup2(o.stdout_fd >= 0 ? o.stdout_fd : devnull, 1);
    ::dup2(devnull, 2);
    if (o.file_size_limit) {
      rlimit lim{*o.file_size_limit, *o.file_size_limit};
      ::setrlimit(RLIMIT_FSIZE, &lim);
    }
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    ::execve(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
  }
  Ended ended;
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.kill_after_seconds);
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ended.killed_by_test = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFEXITED(status)) {
    ended.exited = true;
    ended.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    ended.signal = WTERMSIG(status);
  }
  return ended;
}

std::string describe(const Ended& e) {
  if (e.killed_by_test) return "hung: killed by the test";
  if (e.exited) return "exit " + std::to_string(e.exit_code);
  return "signal " + std::to_string(e.signal);
}

class HookLimits : public ::testing::Test {
protected:
  void SetUp() override {
    env = isolated_cli_env(home.path());
    write_file(repo.root() / ".brenik" / ".platform" / "config.yaml", "installed_at: '2000-01-01T00:00:00Z'\n");
  }

  std::string payload(const std::string& command) const {
    return R"({"session_id": "s-1", "cwd": )" + json::dumps(json::Value(repo.root().string())) +
           R"(, "hook_event_name": "PostToolUse", "tool_name": "Bash", "tool_input": {"command": )" +
           json::dumps(json::Value(command)) + R"(}, "tool_response": {"exit_code": 0}})";
  }

  // The harness hook with `input` on a pipe, closed after it unless told not to.
  Ended hook(const std::string& input, SpawnOptions o = {}, bool close_input = true) {
    Pipe in;
    EXPECT_EQ(::write(in.write.get(), input.data(), input.size()), static_cast<ssize_t>(input.size()));
    if (close_input) in.write.reset();
    o.stdin_fd = in.read.get();
    return spawn_brenik({"attest", "add", "--from-hook", "--agent", "claude-code"}, repo.root(), env, o);
  }
  Ended record_commit(SpawnOptions o = {}) { return spawn_brenik({"sync", "--record-commit"}, repo.root(), env, o); }

  std::vector<json::Value> log() const { return read_log_lines(repo.root()); }
  fs::path pending() const { return repo.root() / ".brenik" / ".commit-attestation.yaml"; }
  fs::path log_path() const { return repo.root() / ".brenik" / ".platform" / "log.jsonl"; }

  TempDir home;
  TempRepo repo;
  std::map<std::string, std::optional<std::string>> env;
};

TEST_F(HookLimits, AReaderThatWentAwayDoesNotStopTheRecordOrTheStatus) {
  const auto sha = repo.commit_file("a.txt", "a\n", "feat: one");
  // Standard output is a pipe nobody reads any more: the reminder's write
  // fails, the commit is recorded all the same, and the status is 0.
  Pipe out;
  out.read.reset();
  auto r = hook(payload("git commit -m one"), {.stdout_fd = out.write.get()});
  EXPECT_TRUE(r.exited && r.exit_code == 0) << describe(r);
  auto lines = log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["commit"], sha);

  const auto second = repo.commit_file("b.txt", "b\n", "feat: two");
  Pipe out2;
  out2.read.reset();
  r = record_commit({.stdout_fd = out2.write.get()});
  EXPECT_TRUE(r.exited && r.exit_code == 0) << describe(r);
  lines = log();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["commit"], second);
}

TEST_F(HookLimits, AFileSizeLimitFailsTheWriteNotTheProcess) {
  repo.commit_file("a.txt", "a\n", "feat: one");
  // The log must grow and may not: the append fails with EFBIG.
  auto r = hook(payload("git commit -m one"), {.file_size_limit = 0});
  EXPECT_TRUE(r.exited && r.exit_code == 0) << describe(r);
  EXPECT_TRUE(log().empty());

  // The post-commit entry reports "not recorded" (its hook script then
  // falls back), by its status rather than by dying.
  r = record_commit({.file_size_limit = 0});
  EXPECT_TRUE(r.exited && r.exit_code == 1) << describe(r);
  EXPECT_TRUE(log().empty());

  // Without the limit the same commit is recorded: nothing was left half done.
  r = record_commit();
  EXPECT_TRUE(r.exited && r.exit_code == 0) << describe(r);
  EXPECT_EQ(log().size(), 1u);
}

TEST_F(HookLimits, AnInputThatNeverEndsDoesNotHoldTheHook) {
  const auto sha = repo.commit_file("a.txt", "a\n", "feat: one");
  // Nothing written, never closed: the hook gives up on its input and ends.
  auto r = hook("", {.kill_after_seconds = 15}, /*close_input=*/false);
  EXPECT_TRUE(r.exited && r.exit_code == 0) << describe(r);
  EXPECT_TRUE(log().empty());

  // The payload written, the pipe left open: the payload still counts.
  r = hook(payload("git commit -m one"), {.kill_after_seconds = 15}, /*close_input=*/false);
  EXPECT_TRUE(r.exited && r.exit_code == 0) << describe(r);
  auto lines = log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["commit"], sha);
}

TEST_F(HookLimits, SessionStartWithAnInputNeverClosedStillReadsItsPayload) {
  repo.commit_file("a.txt", "a\n", "feat: one");
  // Started outside the repository: only the payload's cwd leads to it.
  const std::string input = R"({"cwd": )" + json::dumps(json::Value(repo.root().string())) + "}";
  Pipe in;
  ASSERT_EQ(::write(in.write.get(), input.data(), input.size()), static_cast<ssize_t>(input.size()));
  const fs::path out_path = home.path() / "session-start.out";
  UniqueFd out(::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  auto r = spawn_brenik({"session-start", "--agent", "claude-code"}, home.path(), env,
                        {.stdin_fd = in.read.get(), .stdout_fd = out.get(), .kill_after_seconds = 15});
  EXPECT_TRUE(r.exited && r.exit_code == 0) << describe(r);
  const auto printed = read_file(out_path);
  EXPECT_NE(printed.find("brenik session context loaded"), std::string::npos) << printed;
}

TEST_F(HookLimits, AnOversizedPayloadIsNotACommitPayload) {
  repo.commit_file("a.txt", "a\n", "feat: one");
  // A real commit payload padded past the cap: refused as a whole, even
  // though the writer keeps the pipe open with more to come.
  std::string p = payload("git commit -m one");
  p.insert(p.size() - 1, ", \"padding\": \"" + std::string(std::size_t{1} << 20, 'x') + "\"");
  Pipe in;
  std::thread writer([&] { (void)!::write(in.write.get(), p.data(), p.size()); });
  auto r = spawn_brenik({"attest", "add", "--from-hook"}, repo.root(), env,
                        {.stdin_fd = in.read.get(), .kill_after_seconds = 15});
  in.read.reset();  // lets the writer fail instead of waiting for a reader
  in.write.reset();
  writer.join();
  EXPECT_TRUE(r.exited && r.exit_code == 0) << describe(r);
  EXPECT_TRUE(log().empty());
}

TEST_F(HookLimits, AnAliasBombIsKeptForCorrectionNotFiled) {
  repo.commit_file("a.txt", "a\n", "feat: one");
  // 46 kB of text whose aliases expand to 80 MB.
  std::string bomb = "agent: claude-code\nsummary: &s " + std::string(40000, 'x') + "\nnotes: [";
  for (int i = 0; i < 2000; ++i) bomb += i ? ", *s" : "*s";
  bomb += "]\n";
  write_file(pending(), bomb);
  auto r = record_commit();
  EXPECT_TRUE(r.exited) << describe(r);
  EXPECT_TRUE(fs::exists(pending()));
  EXPECT_EQ(read_file(pending()), bomb);
  std::error_code ec;
  const auto size = fs::file_size(log_path(), ec);
  EXPECT_TRUE(ec || size < 100000u) << size;

  r = hook(payload("git commit -m one"));
  EXPECT_TRUE(r.exited && r.exit_code == 0) << describe(r);
  EXPECT_EQ(read_file(pending()), bomb);
  EXPECT_TRUE(ec || fs::file_size(log_path()) < 100000u);
}

TEST_F(HookLimits, ManyKeysAreFiledInLinearTime) {
  const auto sha = repo.commit_file("a.txt", "a\n", "feat: one");
  // 160,000 keys in 800 kB: under the size cap, so it is parsed and filed;
  // inserting each key by a search from the front took 15 s here.
  std::string text = "agent: claude-code\nsummary: many keys\n";
  const char* digits = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  int n = 0;
  std::string last_key;
  for (int a = 0; a < 62 && n < 160000; ++a)
    for (int b = 0; b < 62 && n < 160000; ++b)
      for (int c = 0; c < 62 && n < 160000; ++c, ++n)
        text += (last_key = std::string("k") + digits[a] + digits[b] + digits[c]) + ":\n";
  text += "summary: last wins\n";
  write_file(pending(), text);
  auto r = record_commit({.kill_after_seconds = 10});
  EXPECT_TRUE(r.exited && r.exit_code == 0) << describe(r);
  EXPECT_FALSE(fs::exists(pending()));
  auto lines = log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["commit"], sha);
  const auto archived = read_file(repo.root() / ".brenik" / "attestations" / (sha + ".yaml"));
  EXPECT_NE(archived.find("summary: last wins"), std::string::npos);
  EXPECT_NE(archived.find("\nkaaa:"), std::string::npos);
  EXPECT_NE(archived.find("\n" + last_key + ":"), std::string::npos);
}

TEST_F(HookLimits, TheDiffHashSearchHasOneBudgetForAllCandidates) {
  for (int i = 0; i < 6; ++i) repo.commit_file("f" + std::to_string(i), "x\n", "feat: " + std::to_string(i));
  const auto head = repo.head();
  // A git whose patches never come (a huge or hung diff): each candidate
  // used to get the full git time limit, six of them a minute.
  const auto real_git = utils::which("git");
  ASSERT_TRUE(real_git);
  const fs::path bin = home.path() / "bin";
  write_file(bin / "git", "#!/bin/sh\nif [ \"$1\" = diff-tree ] || [ \"$1\" = diff ]; then exec sleep 600; fi\nexec " +
                              real_git->string() + " \"$@\"\n");
  fs::permissions(bin / "git", fs::perms::owner_all);
  env["PATH"] = bin.string() + ":" + std::getenv("PATH");
  write_file(pending(), "agent: claude-code\nsummary: slow\nstaged_diff_hash: " + std::string(64, 'a') + "\n");
  auto r = record_commit({.kill_after_seconds = 40});
  EXPECT_TRUE(r.exited && r.exit_code == 0) << describe(r);
  // No match in time: filed under the commit that just happened.
  auto lines = log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["commit"], head);
  EXPECT_FALSE(fs::exists(pending()));
}

TEST_F(HookLimits, AnUnparseableFileIsKeptWithTheAgentsText) {
  repo.commit_file("a.txt", "a\n", "feat: one");
  const std::string text = "agent: claude-code\nsummary: [an unclosed list\n";
  write_file(pending(), text);
  auto r = record_commit();
  EXPECT_TRUE(r.exited && r.exit_code == 1) << describe(r);
  EXPECT_EQ(read_file(pending()), text);
  // Nothing filed as an empty attestation.
  for (const auto& line : log()) EXPECT_NE(line.value("agent", json::Value("x")), "") << json::dumps(line);
  EXPECT_FALSE(fs::exists(repo.root() / ".brenik" / "attestations") &&
               !fs::is_empty(repo.root() / ".brenik" / "attestations"));
}

TEST_F(HookLimits, AnOversizedFileIsKeptUnread) {
  repo.commit_file("a.txt", "a\n", "feat: one");
  const std::string text = "agent: claude-code\nsummary: big\n# " + std::string(std::size_t{1} << 20, 'x') + "\n";
  write_file(pending(), text);
  auto r = record_commit();
  EXPECT_TRUE(r.exited && r.exit_code == 1) << describe(r);
  EXPECT_EQ(read_file(pending()), text);
  EXPECT_TRUE(log().empty());
}

TEST_F(HookLimits, APendingFileThatIsALinkIsNotFollowed) {
  repo.commit_file("a.txt", "a\n", "feat: one");
  // A hostile clone points the pending file at a secret of the user's.
  write_file(home.path() / "secret.yaml", "api_key: bk_secret_value\nsummary: stolen\n");
  fs::create_directories(pending().parent_path());
  fs::create_symlink(home.path() / "secret.yaml", pending());
  auto r = record_commit();
  EXPECT_TRUE(r.exited && r.exit_code == 1) << describe(r);
  EXPECT_TRUE(fs::is_symlink(pending()));
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(repo.root() / ".brenik", ec))
    if (!e.is_symlink() && e.is_regular_file()) {
      EXPECT_EQ(read_file(e.path()).find("bk_secret_value"), std::string::npos) << e.path();
    }
}

}  // namespace
}  // namespace brenik::testing
