// Child processes: feeding input to a child that exits without reading it,
// and children started detached (their input, their directory, their own
// session, and a program that cannot start).
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
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
