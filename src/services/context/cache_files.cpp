#include "services/context/cache_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::services::tolvern::cache_files {

namespace {

// Deeper trees than this are not ours; removal stops there rather than
// recursing without bound.
constexpr int MAX_DEPTH = 64;

EntryType type_of(mode_t mode) {
  if (S_ISREG(mode)) return EntryType::file;
  if (S_ISDIR(mode)) return EntryType::directory;
  if (S_ISLNK(mode)) return EntryType::link;
  return EntryType::other;
}

// Entries of the open folder `fd` (which stays open; the listing uses a
// duplicate). Throws OSError naming `path`.
std::vector<Entry> list_fd(int fd, const fs::path& path) {
  utils::UniqueFd dup(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dup.get() < 0) throw_os_error(path.string());
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(dup.get()), ::closedir);
  if (!listing) throw_os_error(path.string());
  dup.release();  // the listing owns it now
  std::vector<Entry> out;
  errno = 0;
  while (const dirent* e = ::readdir(listing.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    out.push_back({name, type_of(st.st_mode)});
    errno = 0;
  }
  if (errno != 0) throw_os_error(path.string());
  return out;
}

bool remove_at(int parent, const std::string& name, int depth) noexcept {
  struct stat st {};
  if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT;
  if (depth >= MAX_DEPTH) return false;
  bool all = true;
  {
    utils::UniqueFd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return false;
    // A folder that cannot be listed is one not removed: the answer says so.
    const bool listed = utils::best_effort_or(false, utils::unlogged, [&] {
      for (const auto& e : list_fd(fd.get(), name)) all = remove_at(fd.get(), e.name, depth + 1) && all;
      return true;
    });
    if (!listed) return false;
  }
  return (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) && all;
}

}  // namespace

bool write_if_changed(const fs::path& path, std::string_view content) {
  utils::make_dirs(path.parent_path());
  if (auto old = utils::try_read_file(path); old && *old == content) return false;
  utils::atomic_write(path, content);
  return true;
}

std::vector<Entry> list_dir(const fs::path& dir) {
  const utils::ConfinedDir d(dir, false);
  return list_fd(d.fd(), dir);
}

// These answer whether it is or went; the failure is that answer.
bool is_real_dir(const fs::path& dir) noexcept {
  return utils::best_effort_or(false, utils::unlogged, [&] {
    utils::ConfinedDir d(dir, false);
    return true;
  });
}

bool remove_entry(const fs::path& dir, const std::string& name) noexcept {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return false;
  return utils::best_effort_or(false, utils::unlogged, [&] {
    const utils::ConfinedDir d(dir, false);
    return remove_at(d.fd(), name, 0);
  });
}

bool remove_tree(const fs::path& dir) noexcept {
  return utils::best_effort_or(false, utils::unlogged, [&] {
    const fs::path parent = dir.parent_path();
    return remove_entry(parent.empty() ? fs::path(".") : parent, dir.filename().string());
  });
}

}  // namespace brenik::services::tolvern::cache_files
