// Which file, and which state of it: enough to tell "the same file, only
// grown" from "another file now under that name" (an atomic rewrite).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>

namespace brenik::utils {

struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;

  bool operator==(const FileStamp&) const = default;
};

inline FileStamp file_stamp(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::uint64_t>(st.st_size),
          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// None when the path cannot be stat'ed or is not a regular file (a link,
// which is never followed, included).
inline std::optional<FileStamp> file_stamp(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return file_stamp(st);
}

}  // namespace brenik::utils
