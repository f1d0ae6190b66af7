// The bounded reader of a hook's standard input, on real pipes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "utils/hook_input.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::utils {
namespace {

using std::chrono::milliseconds;

struct Pipe {
  Pipe() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    read = UniqueFd(fds[0]);
    write = UniqueFd(fds[1]);
  }
  void put(const std::string& data) const {
    ASSERT_EQ(::write(write.get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }
  UniqueFd read, write;
};

TEST(HookInput, ReadsToEndOfInputWithinTheCap) {
  Pipe p;
  p.put("{\"tool_name\": \"Bash\"}");
  p.write.reset();
  EXPECT_EQ(read_bounded(p.read.get(), 1024, milliseconds(5000)), "{\"tool_name\": \"Bash\"}");

  Pipe empty;
  empty.write.reset();
  EXPECT_EQ(read_bounded(empty.read.get(), 1024, milliseconds(5000)), "");

  Pipe exact;
  exact.put(std::string(100, 'x'));
  exact.write.reset();
  EXPECT_EQ(read_bounded(exact.read.get(), 100, milliseconds(5000)), std::string(100, 'x'));
}

TEST(HookInput, MoreThanTheCapIsNoPayload) {
  Pipe p;
  p.put(std::string(101, 'x'));
  p.write.reset();
  EXPECT_EQ(read_bounded(p.read.get(), 100, milliseconds(5000)), std::nullopt);

  // The writer still has more to say: the reader stops at the cap anyway.
  Pipe open;
  open.put(std::string(101, 'x'));
  EXPECT_EQ(read_bounded(open.read.get(), 100, milliseconds(5000)), std::nullopt);
}

TEST(HookInput, AnInputNeverClosedEndsAtTheDeadline) {
  // Nothing written and the write end held open: a plain read would wait
  // for ever (the test's own timeout is the guard).
  Pipe silent;
  EXPECT_EQ(read_bounded(silent.read.get(), 1024, milliseconds(100)), "");

  // The payload arrived, the pipe stays open: what arrived is returned.
  Pipe left_open;
  left_open.put("{\"a\": 1}");
  EXPECT_EQ(read_bounded(left_open.read.get(), 1024, milliseconds(100)), "{\"a\": 1}");
}

TEST(HookInput, AClosedDescriptorIsNoPayload) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(read_bounded(fds[0], 1024, milliseconds(100)), std::nullopt);
}

}  // namespace
}  // namespace brenik::utils
