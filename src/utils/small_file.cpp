#include "utils/small_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "utils/errors.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::utils {

std::optional<std::string> read_small_regular_file(const std::filesystem::path& path, std::size_t max_bytes) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) throw_os_error("cannot open " + path.string());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw_os_error("cannot inspect " + path.string());
  if (!S_ISREG(st.st_mode)) throw os_error_from_errno(EINVAL, "not a regular file: " + path.string());
  if (static_cast<std::uintmax_t>(st.st_size) > max_bytes) return std::nullopt;
  // The size may change while reading: one byte past the cap tells.
  // Room for what the file holds now (plus the telling byte), grown only
  // when it grows: a cap of megabytes must not cost megabytes per read.
  const std::size_t limit = max_bytes + 1;
  std::string data;
  data.resize(std::min<std::size_t>(limit, static_cast<std::size_t>(st.st_size) + 1));
  std::size_t got = 0;
  while (got < limit) {
    if (got == data.size()) data.resize(std::min(limit, data.size() * 2));
    const ssize_t n = ::read(fd.get(), data.data() + got, data.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error("cannot read " + path.string());
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > max_bytes) return std::nullopt;
  data.resize(got);
  return data;
}

}  // namespace brenik::utils
