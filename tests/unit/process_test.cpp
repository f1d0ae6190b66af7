// Child processes: feeding input to a child that exits without reading it.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <string>
#include <thread>

#include "utils/process.hpp"

namespace brenik::utils {
namespace {

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

}  // namespace
}  // namespace brenik::utils
