// Kept free of the rest of the library: the launcher compiles it on its own.
#include "utils/hook_input.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace brenik::utils {

std::optional<std::string> read_bounded(int fd, std::size_t max_bytes, std::chrono::milliseconds deadline) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + deadline;
  std::string data;
  char buf[1 << 16];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    // A harness may write its payload and never close the pipe: what has
    // arrived is the payload (a caller's parse refuses a cut-off one).
    if (left.count() <= 0) return data;
    // poll first, so that read never waits on a writer that stays silent.
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (ready == 0) return data;
    if (p.revents & POLLNVAL) return std::nullopt;
    // Read one byte past the cap, to tell "exactly the cap" from "more".
    const std::size_t room = max_bytes + 1 - data.size();
    const ssize_t n = ::read(fd, buf, room < sizeof buf ? room : sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::nullopt;
    }
    if (n == 0) return data;
    data.append(buf, static_cast<std::size_t>(n));
    if (data.size() > max_bytes) return std::nullopt;
  }
}

std::optional<std::string> read_hook_input() { return read_bounded(0, HOOK_INPUT_MAX_BYTES, HOOK_INPUT_DEADLINE); }

}  // namespace brenik::utils
