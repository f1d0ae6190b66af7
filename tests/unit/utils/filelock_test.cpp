// The file lock: re-entry on the thread that holds it, exclusion between
// threads and between real processes, and going on without it (never an
// error) once its timeout has passed.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "support/temp_repo.hpp"
#include "utils/filelock.hpp"
#include "utils/process.hpp"

namespace brenik::utils {
namespace {

using brenik::testing::TempDir;

// Whether another process could take the OS lock on `path` right now.
bool free_for_another_process(const std::filesystem::path& path) {
  auto r = run({"flock", "-n", lock_file_for(path).string(), "true"});
  EXPECT_EQ(r.status, RunStatus::exited);
  return r.ok();
}

TEST(FileLock, ReentersOnTheThreadThatHoldsIt) {
  TempDir dir;
  const auto file = dir.path() / "log.jsonl";
  Locked outer(file, 1.0);
  ASSERT_TRUE(outer.acquired());
  {
    Locked inner(file, 0.2);
    EXPECT_TRUE(inner.acquired());
  }
  // Leaving the inner guard keeps the outer one's lock.
  EXPECT_FALSE(free_for_another_process(file));
}

TEST(FileLock, ExcludesAnotherThreadUntilReleased) {
  TempDir dir;
  const auto file = dir.path() / "log.jsonl";
  std::optional<Locked> held(std::in_place, file, 1.0);
  ASSERT_TRUE(held->acquired());
  bool other_acquired = true;
  std::thread([&] { other_acquired = Locked(file, 0.3).acquired(); }).join();
  EXPECT_FALSE(other_acquired);
  held.reset();
  std::thread([&] { other_acquired = Locked(file, 1.0).acquired(); }).join();
  EXPECT_TRUE(other_acquired);
}

TEST(FileLock, ExcludesAnotherProcessBothWays) {
  TempDir dir;
  const auto file = dir.path() / "log.jsonl";
  {
    Locked held(file, 1.0);
    ASSERT_TRUE(held.acquired());
    EXPECT_FALSE(free_for_another_process(file));
  }
  EXPECT_TRUE(free_for_another_process(file));

  // Another process holds it: ours waits its timeout, then goes on without
  // the lock instead of failing.
  const auto ready = dir.path() / "ready";
  ASSERT_TRUE(
      spawn_detached({"flock", lock_file_for(file).string(), "sh", "-c", "touch '" + ready.string() + "'; sleep 3"}));
  for (int i = 0; i < 250 && !std::filesystem::exists(ready); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(std::filesystem::exists(ready));
  std::optional<Locked> late;
  EXPECT_NO_THROW(late.emplace(file, 0.3));
  EXPECT_FALSE(late->acquired());
  late.reset();
  // Once that process ends, the lock is to be had again.
  Locked after(file, 10.0);
  EXPECT_TRUE(after.acquired());
}

TEST(FileLock, ALockFileThatCannotBeOpenedIsGoneOnWithoutNotFailed) {
  TempDir dir;
  const auto file = dir.path() / "log.jsonl";
  // A link where the lock file goes is refused, and the writer goes on.
  std::filesystem::create_symlink(dir.path() / "elsewhere", lock_file_for(file));
  std::optional<Locked> guard;
  EXPECT_NO_THROW(guard.emplace(file, 0.2));
  EXPECT_FALSE(guard->acquired());
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "elsewhere"));
}

}  // namespace
}  // namespace brenik::utils
