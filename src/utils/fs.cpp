#include "utils/fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::utils {

namespace {

constexpr const char* BRENIK_DIR = ".brenik";
constexpr std::size_t TEMP_RANDOM = 10;  // "<10 letters or digits>.tmp"

[[noreturn]] void refuse(int error_number, const fs::path& path) {
  if (error_number == ELOOP) throw os_error_from_errno(error_number, path.string() + " (a link; refused)");
  if (error_number == ENOTDIR) throw os_error_from_errno(error_number, path.string() + " (not a real folder; refused)");
  throw os_error_from_errno(error_number, path.string());
}

unsigned random_number() {
  unsigned n = 0;
  if (::getrandom(&n, sizeof n, 0) != static_cast<ssize_t>(sizeof n)) return 0;
  return n;
}

std::string temp_name() {
  static constexpr char CHARS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[TEMP_RANDOM];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error("getrandom");
    }
    got += static_cast<std::size_t>(n);
  }
  std::string name;
  for (unsigned char b : bytes) name += CHARS[b % (sizeof CHARS - 1)];
  return name + ".tmp";
}

bool is_temp_name(std::string_view name) {
  if (name.size() != TEMP_RANDOM + 4 || name.substr(TEMP_RANDOM) != ".tmp") return false;
  for (char c : name.substr(0, TEMP_RANDOM))
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

// A folder this large (its own size, in bytes of entries) holds thousands of
// files, the archives of as many commits: listing it costs milliseconds, so
// only about one writer in LARGE_FOLDER_SCAN_ODDS does.
constexpr off_t LARGE_FOLDER_BYTES = 16 << 10;
constexpr unsigned LARGE_FOLDER_SCAN_ODDS = 32;

// Our temporary files in `dir` that no writer has touched for a while: a
// writer killed between creating and renaming one. A fresh one may belong to
// a live writer and stays. `dice` is a random number: it decides whether a
// large folder is listed this time.
void remove_stale_temps(const ConfinedDir& dir, unsigned dice) noexcept {
  struct stat self {};
  if (::fstat(dir.fd(), &self) == 0 && self.st_size > LARGE_FOLDER_BYTES && dice % LARGE_FOLDER_SCAN_ODDS != 0) return;
  UniqueFd fd(::openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(fd.get()), ::closedir);
  if (!listing) return;
  fd.release();  // the listing owns it now
  const std::time_t now = std::time(nullptr);
  while (const dirent* e = ::readdir(listing.get())) {
    if (!is_temp_name(e->d_name)) continue;
    struct stat st {};
    if (::fstatat(dir.fd(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        now - st.st_mtime > STALE_TEMP_SECONDS)
      ::unlinkat(dir.fd(), e->d_name, 0);
  }
}

// The last component of `path`, which must name an entry (not "", "." or "..").
std::string entry_name(const fs::path& path) {
  std::string name = path.filename().string();
  if (name.empty() || name == "." || name == "..") refuse(EISDIR, path);
  return name;
}

fs::path folder_of(const fs::path& path) {
  fs::path dir = path.parent_path();
  return dir.empty() ? fs::path(".") : dir;
}

// Writes all of `data`; `done` counts what reached the file, also when it
// throws part way (a full disk, a file size limit).
void write_all(int fd, std::string_view data, const fs::path& path, std::size_t& done) {
  done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(path.string());
    }
    done += static_cast<std::size_t>(n);
  }
}

void write_all(int fd, std::string_view data, const fs::path& path) {
  std::size_t done = 0;
  write_all(fd, data, path, done);
}

}  // namespace

ConfinedDir::ConfinedDir(const fs::path& dir, bool create) : path_(dir.empty() ? fs::path(".") : dir) {
  std::vector<fs::path> parts(path_.begin(), path_.end());
  std::size_t first = 0;
  while (first < parts.size() && parts[first] != BRENIK_DIR) ++first;
  // The trusted part: the folder holding the outermost `.brenik`, or the
  // whole folder for a path without one.
  fs::path base;
  for (std::size_t i = 0; i < first; ++i) base /= parts[i];
  if (base.empty()) base = ".";
  if (create) {
    std::error_code ec;
    fs::create_directories(base, ec);
  }
  fd_ = UniqueFd(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd_.get() < 0) throw_os_error(base.string());
  fs::path walked = base;
  for (std::size_t i = first; i < parts.size(); ++i) {
    const std::string name = parts[i].string();
    if (name.empty() || name == ".") continue;
    walked /= name;
    if (name == "..") refuse(EINVAL, walked);
    int next = ::openat(fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create) {
      if (::mkdirat(fd_.get(), name.c_str(), 0777) != 0 && errno != EEXIST) refuse(errno, walked);
      next = ::openat(fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      int e = errno;
      struct stat st {};
      // A link is refused as ENOTDIR by O_DIRECTORY; say what it is.
      if (e == ENOTDIR && ::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        e = ELOOP;
      refuse(e, walked);
    }
    fd_ = UniqueFd(next);
  }
}

UniqueFd ConfinedDir::open_file(const std::string& name, int flags, mode_t mode) const {
  const fs::path full = path_ / name;
  UniqueFd fd(::openat(fd_.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode));
  if (fd.get() < 0) refuse(errno, full);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) refuse(errno, full);
  if (S_ISDIR(st.st_mode)) refuse(EISDIR, full);
  if (!S_ISREG(st.st_mode)) throw os_error_from_errno(EINVAL, full.string() + " (not a regular file; refused)");
  return fd;
}

std::optional<struct stat> ConfinedDir::entry(const std::string& name) const {
  struct stat st {};
  if (::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return st;
}

bool is_confined(const fs::path& path) {
  for (const auto& part : path)
    if (part == BRENIK_DIR) return true;
  return false;
}

UniqueFd open_confined(const fs::path& path, int flags, mode_t mode, bool make_parents) {
  const std::string name = entry_name(path);
  return ConfinedDir(folder_of(path), make_parents).open_file(name, flags, mode);
}

namespace {

std::string read_all(int fd, const fs::path& path) {
  struct stat st {};
  std::string out;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) throw os_error_from_errno(EISDIR, path.string());
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

}  // namespace

std::string read_file(const fs::path& path) {
  if (is_confined(path)) return read_confined(path);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw_os_error(path.string());
  return read_all(fd.get(), path);
}

std::string ConfinedDir::read(const std::string& name) const {
  UniqueFd fd = open_file(name, O_RDONLY);
  return read_all(fd.get(), path_ / name);
}

std::string read_confined(const fs::path& path) {
  UniqueFd fd = open_confined(path, O_RDONLY);
  return read_all(fd.get(), path);
}

// A file that cannot be read is the answer "none" here, not a failure to report.
std::optional<std::string> try_read_file(const fs::path& path) noexcept {
  // Missing is the usual answer (no credentials when signed out, on every
  // commit): given without raising an exception on the way.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return std::nullopt;
  return best_effort_or(std::nullopt, unlogged, [&] { return std::optional<std::string>(read_file(path)); });
}

void make_dirs(const fs::path& dir) {
  if (is_confined(dir)) {
    ConfinedDir(dir, true);
    return;
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    if (fs::is_directory(dir)) return;
    throw os_error_from_errno(ec.value(), dir.string());
  }
}

void atomic_write(const fs::path& path, std::string_view content, std::optional<fs::perms> mode,
                  Durability durability) {
  atomic_write_parts(path, {content}, mode, durability);
}

namespace {

// What sits at `name` must be replaceable: a regular file, or nothing. A
// rename over a link or a folder is refused.
std::optional<struct stat> replaceable(const ConfinedDir& dir, const std::string& name, const fs::path& path) {
  auto st = dir.entry(name);
  if (st && S_ISLNK(st->st_mode)) refuse(ELOOP, path);
  if (st && S_ISDIR(st->st_mode)) refuse(EISDIR, path);
  return st;
}

}  // namespace

void atomic_write_parts(const fs::path& path, const std::vector<std::string_view>& parts, std::optional<fs::perms> mode,
                        Durability durability) {
  const std::string name = entry_name(path);
  const ConfinedDir dir(folder_of(path), false);
  remove_stale_temps(dir, random_number());
  const auto old = replaceable(dir, name, path);
  const bool flush = durability == Durability::flushed || (durability == Durability::with_log_line && old.has_value());
  std::optional<mode_t> final_mode;
  if (mode)
    final_mode = static_cast<mode_t>(*mode);
  else if (old)
    final_mode = old->st_mode & 07777;
  // A new file gets 0666 less the umask from the kernel; a file with a mode
  // to keep is private until it has it.
  const mode_t create_mode = final_mode ? 0600 : 0666;
  std::string tmp_name;
  UniqueFd fd;
  for (int attempt = 0; fd.get() < 0; ++attempt) {
    tmp_name = temp_name();
    fd = UniqueFd(
        ::openat(dir.fd(), tmp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, create_mode));
    if (fd.get() < 0 && (errno != EEXIST || attempt >= 100)) refuse(errno, dir.path() / tmp_name);
  }
  const fs::path tmp = dir.path() / tmp_name;
  try {
    for (auto part : parts) write_all(fd.get(), part, tmp);
    if (final_mode && ::fchmod(fd.get(), *final_mode) != 0) throw_os_error(tmp.string());
    // On disk before it takes the old file's place: after a crash the file
    // holds the old content or the new, never an empty or partial one.
    if (flush && ::fsync(fd.get()) != 0) throw_os_error(tmp.string());
    if (fd.close_now() != 0) throw_os_error(tmp.string());
    replaceable(dir, name, path);
    if (::renameat(dir.fd(), tmp_name.c_str(), dir.fd(), name.c_str()) != 0) throw_os_error(path.string());
  } catch (...) {
    ::unlinkat(dir.fd(), tmp_name.c_str(), 0);  // the old content stays; only our temp goes
    throw;
  }
  // The rename is on disk once the folder is. A file system that cannot
  // flush a folder (EINVAL) keeps it as it keeps the rename; a failed flush
  // is a failed write.
  if (flush && ::fsync(dir.fd()) != 0 && errno != EINVAL) throw_os_error(dir.path().string());
}

void append_file(const fs::path& path, std::string_view content) {
  UniqueFd fd = open_confined(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  struct stat before {};
  const bool sized = ::fstat(fd.get(), &before) == 0;
  std::size_t done = 0;
  try {
    write_all(fd.get(), content, path, done);
  } catch (...) {
    // Half a line would read as a record that is not one (and glue the next
    // line onto it): take the piece back when nobody appended after it.
    struct stat now {};
    if (sized && done > 0 && ::fstat(fd.get(), &now) == 0 && now.st_size == before.st_size + static_cast<off_t>(done))
      (void)::ftruncate(fd.get(), before.st_size);
    throw;
  }
  if (fd.close_now() != 0) throw_os_error(path.string());
}

namespace {

// The rest of read_small_regular_file, on the file as opened.
std::optional<std::string> read_capped(const UniqueFd& fd, const fs::path& path, std::size_t max_bytes) {
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw_os_error(path.string());
  if (static_cast<std::uintmax_t>(st.st_size) > max_bytes) return std::nullopt;
  // The size may change while reading: one byte past the cap tells. The
  // buffer follows the file's size, not the cap, which may be far larger.
  std::string data;
  data.reserve(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), max_bytes) + 1);
  char buf[1 << 16];
  while (data.size() <= max_bytes) {
    const ssize_t n = ::read(fd.get(), buf, std::min(sizeof buf, max_bytes + 1 - data.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(path.string());
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  if (data.size() > max_bytes) return std::nullopt;
  return data;
}

}  // namespace

std::optional<std::string> read_small_regular_file(const fs::path& path, std::size_t max_bytes) {
  return read_capped(open_confined(path, O_RDONLY), path, max_bytes);
}

std::optional<std::string> read_regular_fd(int fd, std::size_t max_bytes) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uintmax_t>(st.st_size) > max_bytes)
    return std::nullopt;
  // One read asking for a byte more than the file holds ends at its end;
  // a file that grew meanwhile is read on, up to one byte past the cap.
  std::string text(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t got = 0;
  while (true) {
    if (got == text.size()) {
      if (text.size() > max_bytes) return std::nullopt;
      text.resize(std::min(text.size() * 2, max_bytes + 1));
    }
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
    if (got == static_cast<std::size_t>(st.st_size) && got < text.size()) break;  // all the file said it held
  }
  text.resize(got);
  return text;
}

std::optional<std::string> try_read_small_regular_file(const fs::path& path, std::size_t max_bytes) noexcept {
  return best_effort_or(std::nullopt, unlogged, [&] { return read_small_regular_file(path, max_bytes); });
}

std::optional<std::string> read_small_regular_file(const ConfinedDir& dir, const std::string& name,
                                                   std::size_t max_bytes) {
  return read_capped(dir.open_file(name, O_RDONLY), dir.path() / name, max_bytes);
}

void rename_confined(const fs::path& from, const fs::path& to) {
  const std::string from_name = entry_name(from), to_name = entry_name(to);
  const ConfinedDir from_dir(folder_of(from), false), to_dir(folder_of(to), false);
  auto st = from_dir.entry(from_name);
  if (!st) refuse(ENOENT, from);
  if (S_ISLNK(st->st_mode)) refuse(ELOOP, from);
  if (!S_ISREG(st->st_mode)) throw os_error_from_errno(EINVAL, from.string() + " (not a regular file; refused)");
  replaceable(to_dir, to_name, to);
  if (::renameat(from_dir.fd(), from_name.c_str(), to_dir.fd(), to_name.c_str()) != 0) throw_os_error(to.string());
}

bool remove_file(const fs::path& path) noexcept {
  // The answer is whether the file went; a folder that cannot be opened is a no.
  return best_effort_or(false, unlogged, [&] {
    const std::string name = entry_name(path);
    const ConfinedDir dir(folder_of(path), false);
    return ::unlinkat(dir.fd(), name.c_str(), 0) == 0;
  });
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

}  // namespace brenik::utils
