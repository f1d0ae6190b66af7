// Child processes: the time limit (and the whole process group it kills),
// programs that cannot start, input read whole or not read at all, and
// children started detached (their input, their directory, their own
// session, and a program that cannot start).
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <chrono>
#include <string>
#include <thread>

#include "support/temp_repo.hpp"
#include "utils/fs.hpp"
#include "utils/process.hpp"

namespace brenik::utils {
namespace {

using brenik::testing::TempDir;

TEST(ProcessRun, InputToAChildThatWentAwayLeavesTheSignalDispositionsAlone) {
  // The host's SIGPIPE disposition stays the default (which would end this
  // process) while another thread watches it: the library neither changes
  // it nor lets the signal through.
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &before), 0);
  ASSERT_EQ(before.sa_handler, SIG_DFL);
  std::atomic<bool> done{false}, changed{false};
  std::thread watcher([&] {
    while (!done) {
      struct sigaction now {};
      ::sigaction(SIGPIPE, nullptr, &now);
      if (now.sa_handler != before.sa_handler) changed = true;
    }
  });
  for (int i = 0; i < 3; ++i) {
    // More than a pipe holds, to a child that never reads it.
    auto r = run({"sh", "-c", "sleep 0.1"}, {.stdin_data = std::string(std::size_t{1} << 20, 'x')});
    EXPECT_EQ(r.status, RunStatus::exited);
    EXPECT_EQ(r.exit_code, 0);
  }
  done = true;
  watcher.join();
  EXPECT_FALSE(changed);

  sigset_t mask, pending;
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &mask), 0);
  EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
  ::sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

// Whether a process is gone (or a zombie waiting for its reaper).
bool gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

bool gone_within_seconds(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 50; ++i) {
    if (gone(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return gone(pid);
}

// A child that closes its outputs and goes on (a daemonising helper, a hung
// hook) is still held to the time limit.
TEST(ProcessRun, TimeLimitHoldsAfterTheChildClosesItsOutputs) {
  auto r = run({"sh", "-c", "exec >&- 2>&-; sleep 30"}, {.timeout_seconds = 0.5, .capture_stderr = true});
  EXPECT_EQ(r.status, RunStatus::timed_out);
}

// One that exits a while after closing them is waited for, its status read.
TEST(ProcessRun, AChildExitingAfterClosingItsOutputsIsWaitedFor) {
  auto r =
      run({"sh", "-c", "echo out; exec >&- 2>&-; sleep 0.3; exit 3"}, {.timeout_seconds = 30, .capture_stderr = true});
  EXPECT_EQ(r.status, RunStatus::exited);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, "out\n");
}

TEST(ProcessRun, TimeLimitEndsTheChildAndSaysSo) {
  auto r = run({"sleep", "30"}, {.timeout_seconds = 0.3});
  EXPECT_EQ(r.status, RunStatus::timed_out);
  EXPECT_FALSE(r.ok());
  // Output written before the limit is kept.
  r = run({"sh", "-c", "echo early; exec sleep 30"}, {.timeout_seconds = 0.5});
  EXPECT_EQ(r.status, RunStatus::timed_out);
  EXPECT_EQ(r.out, "early\n");
}

TEST(ProcessRun, TimeLimitInANewSessionKillsTheWholeGroupGrandchildIncluded) {
  TempDir dir;
  // The grandchild keeps the output pipe open and outlives its parent's wait.
  auto r = run({"sh", "-c", "sleep 30 & echo $! > grandchild; wait"},
               {.cwd = dir.path(), .timeout_seconds = 0.5, .new_session = true});
  EXPECT_EQ(r.status, RunStatus::timed_out);
  const auto grandchild = static_cast<pid_t>(std::stol(brenik::testing::read_file(dir.path() / "grandchild")));
  ASSERT_GT(grandchild, 1);
  const bool ended = gone_within_seconds(grandchild, 5);
  if (!ended) ::kill(grandchild, SIGKILL);
  EXPECT_TRUE(ended) << "grandchild " << grandchild << " survived the time limit";
}

TEST(ProcessRun, AProgramThatCannotStartIsReportedNotThrown) {
  TempDir dir;
  auto missing = run({"/nonexistent/program"});
  EXPECT_EQ(missing.status, RunStatus::start_failed);
  EXPECT_EQ(missing.start_errno, ENOENT);
  auto not_on_path = run({"brenik-no-such-program-anywhere"});
  EXPECT_EQ(not_on_path.status, RunStatus::start_failed);
  brenik::testing::write_file(dir.path() / "plain", "not a program\n");
  auto not_executable = run({(dir.path() / "plain").string()});
  EXPECT_EQ(not_executable.status, RunStatus::start_failed);
  EXPECT_EQ(not_executable.start_errno, EACCES);
  auto bad_cwd = run({"true"}, {.cwd = dir.path() / "missing"});
  EXPECT_EQ(bad_cwd.status, RunStatus::start_failed);
  EXPECT_FALSE(run({}).ok());
  // What did start reports its own exit.
  auto failed = run({"sh", "-c", "exit 3"});
  EXPECT_EQ(failed.status, RunStatus::exited);
  EXPECT_EQ(failed.exit_code, 3);
}

TEST(ProcessRun, LargeInputIsDeliveredWholeOrDroppedWithoutBlocking) {
  // Several pipe buffers, read whole while the output is collected.
  std::string input;
  for (int i = 0; input.size() < (std::size_t{3} << 20); ++i) input += std::to_string(i) + "\n";
  auto echoed = run({"cat"}, {.stdin_data = input});
  ASSERT_TRUE(echoed.ok());
  EXPECT_EQ(echoed.out.size(), input.size());
  EXPECT_TRUE(echoed.out == input);
  // A child that never reads it and never ends: the time limit still holds.
  auto stuck = run({"sleep", "30"}, {.timeout_seconds = 0.5, .stdin_data = input});
  EXPECT_EQ(stuck.status, RunStatus::timed_out);
  // A child that exits without reading: its own status, not a failure of ours.
  auto ignored = run({"sh", "-c", "exit 0"}, {.stdin_data = input});
  EXPECT_TRUE(ignored.ok());
}

TEST(SpawnDetached, RunsInItsOwnSessionWithItsInputAndOutlivesNoWait) {
  TempDir dir;
  const std::string input(200000, 'x');  // more than a pipe holds: the caller must not block on it
  ASSERT_TRUE(brenik::utils::spawn_detached(
      {"/bin/sh", "-c", "cat > got.tmp; cut -d' ' -f6 /proc/$$/stat > sid.tmp; mv got.tmp got; mv sid.tmp sid"},
      {.cwd = dir.path(), .stdin_data = input}));
  for (int i = 0; i < 400 && !fs::exists(dir.path() / "sid"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  ASSERT_TRUE(fs::exists(dir.path() / "sid"));
  EXPECT_EQ(brenik::testing::read_file(dir.path() / "got"), input);
  const auto sid = std::stol(brenik::testing::read_file(dir.path() / "sid"));
  EXPECT_NE(sid, static_cast<long>(::getsid(0)));

  EXPECT_FALSE(brenik::utils::spawn_detached({"/nonexistent/program"}, {.cwd = dir.path()}));
  EXPECT_FALSE(brenik::utils::spawn_detached({"/bin/true"}, {.cwd = dir.path() / "missing"}));
  EXPECT_FALSE(brenik::utils::spawn_detached({}));
  const auto self = brenik::utils::current_executable();
  ASSERT_TRUE(self);
  EXPECT_EQ(self->filename(), "process_test");
}

}  // namespace
}  // namespace brenik::utils
