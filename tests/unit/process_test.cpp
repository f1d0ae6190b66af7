// Child processes started detached: their input, their directory, their own
// session, and a report of a program that cannot start.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/temp_repo.hpp"
#include "utils/fs.hpp"
#include "utils/process.hpp"

namespace {

namespace fs = std::filesystem;
using brenik::testing::TempDir;

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
