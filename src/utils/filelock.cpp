#include "utils/filelock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "utils/fs.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::utils {

namespace {

using Clock = std::chrono::steady_clock;

// The locks this process holds. It mirrors state the kernel keeps per open
// file, which is what makes a nested guard on the same thread free and keeps
// two threads of one process from both believing they hold a flock.
struct Held {
  std::thread::id owner;
  int depth = 0;
  UniqueFd fd;
};

struct Table {
  std::mutex mutex;
  std::condition_variable released;
  std::map<std::filesystem::path, Held> held;
};

Table& table() {
  static Table t;
  return t;
}

std::filesystem::path key_for(const std::filesystem::path& path) {
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  return lock_file_for(ec ? path : abs.lexically_normal());
}

// Takes the OS lock on `lock_path` before `deadline`; the open fd, or none.
UniqueFd flock_until(const std::filesystem::path& lock_path, Clock::time_point deadline) {
  UniqueFd fd;
  try {
    // Confined like every file we write: a lock that is a link is refused.
    fd = open_confined(lock_path, O_RDWR | O_CREAT, 0644, true);
  } catch (const std::exception&) {
    return {};  // cannot even open it: proceed without (fail-open)
  }
  auto pause = std::chrono::milliseconds(1);
  while (true) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return fd;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - Clock::now()));
    pause = std::min(pause * 2, std::chrono::milliseconds(25));
  }
  return {};
}

}  // namespace

std::filesystem::path lock_file_for(const std::filesystem::path& path) {
  auto p = path;
  p += ".lock";
  return p;
}

Locked::Locked(const std::filesystem::path& path, double timeout_seconds) : key_(key_for(path)) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(timeout_seconds < 0 ? 0 : timeout_seconds));
  auto& t = table();
  const auto me = std::this_thread::get_id();
  {
    std::unique_lock lock(t.mutex);
    while (true) {
      auto it = t.held.find(key_);
      if (it == t.held.end()) break;
      if (it->second.owner == me) {
        ++it->second.depth;
        acquired_ = true;
        return;
      }
      if (t.released.wait_until(lock, deadline) == std::cv_status::timeout && t.held.count(key_)) {
        return;  // another thread kept it: fail-open
      }
    }
    t.held[key_] = Held{me, 1, UniqueFd()};  // reserved while we wait for the OS lock
  }
  UniqueFd fd = flock_until(key_, deadline);
  std::lock_guard lock(t.mutex);
  if (fd.get() < 0) {
    t.held.erase(key_);
    t.released.notify_all();
    return;
  }
  t.held[key_].fd = std::move(fd);
  acquired_ = true;
}

Locked::~Locked() {
  if (!acquired_) return;
  auto& t = table();
  std::lock_guard lock(t.mutex);
  auto it = t.held.find(key_);
  if (it == t.held.end()) return;
  if (--it->second.depth > 0) return;
  if (it->second.fd.get() >= 0) ::flock(it->second.fd.get(), LOCK_UN);
  t.held.erase(it);
  t.released.notify_all();
}

}  // namespace brenik::utils
