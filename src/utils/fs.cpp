#include "utils/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "utils/errors.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::utils {

namespace {


void write_all(int fd, std::string_view data, const fs::path& path) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(path.string());
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

std::string read_file(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_os_error(path.string());
  UniqueFd closer(fd);
  struct stat st {};
  std::string out;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
    throw os_error_from_errno(EISDIR, path.string());
  if (st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[1 << 16];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(path.string());
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::optional<std::string> try_read_file(const fs::path& path) noexcept {
  try {
    return read_file(path);
  } catch (...) {
    return std::nullopt;
  }
}

void make_dirs(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    if (fs::is_directory(dir)) return;
    throw os_error_from_errno(ec.value(), dir.string());
  }
}

void atomic_write(const fs::path& path, std::string_view content, std::optional<fs::perms> mode) {
  atomic_write_parts(path, {content}, mode);
}

void atomic_write_parts(const fs::path& path, const std::vector<std::string_view>& parts,
                        std::optional<fs::perms> mode) {
  fs::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  std::string templ = (dir / "XXXXXXXXXX.tmp").string();
  int fd = ::mkstemps(templ.data(), 4);
  if (fd < 0) throw_os_error(templ);
  UniqueFd closer(fd);
  const fs::path tmp(templ);
  try {
    for (auto part : parts) write_all(fd, part, tmp);
    mode_t m = 0644;
    if (mode) {
      m = static_cast<mode_t>(*mode);
    } else {
      struct stat st {};
      if (::stat(path.c_str(), &st) == 0) {
        m = st.st_mode & 07777;
      } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        m = 0666 & ~mask;
      }
    }
    ::fchmod(fd, m);
    if (closer.close_now() != 0) throw_os_error(tmp.string());
    if (::rename(tmp.c_str(), path.c_str()) != 0) throw_os_error(path.string());
  } catch (...) {
    ::unlink(tmp.c_str());  // the old content stays; only our temp goes
    throw;
  }
}

void append_file(const fs::path& path, std::string_view content) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw_os_error(path.string());
  UniqueFd closer(fd);
  write_all(fd, content, path);
  if (closer.close_now() != 0) throw_os_error(path.string());
}

bool stays_inside(const fs::path& root, const fs::path& path) {
  std::error_code ec;
  fs::path r = fs::weakly_canonical(root, ec);
  if (ec) return false;
  fs::path p = fs::weakly_canonical(path, ec);
  if (ec) return false;
  auto rit = r.begin(), pit = p.begin();
  for (; rit != r.end(); ++rit, ++pit) {
    if (rit->empty() && std::next(rit) == r.end()) break;  // trailing slash
    if (pit == p.end() || *rit != *pit) return false;
  }
  return true;
}

bool is_valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) { ++i; continue; }
    std::size_t len;
    unsigned cp;
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += len;
  }
  return true;
}

}  // namespace brenik::utils
