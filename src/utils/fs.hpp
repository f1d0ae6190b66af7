// Small file operations with the error behaviour the services rely on:
// reads and writes throw OSError (with the errno kind), rewrites are atomic.
//
// Where they may write. A repository is untrusted (a clone can carry links
// anywhere), so every function here that creates, appends to, replaces,
// locks or removes a file, and the reads of files under `.brenik/`, follow
// one rule:
// - A path with a `.brenik` component is confined below the folder holding
//   its outermost `.brenik` (the repository root; its own ancestors are the
//   user's and trusted). Each component from `.brenik` down is opened with
//   openat() from the folder above it without following links
//   (O_DIRECTORY|O_NOFOLLOW), so it must be a real folder, and the last
//   component must not be a link; `..` below the root is refused.
// - A path without `.brenik` (the user's credentials, a test's files) has its
//   folder opened as named; only its last component must not be a link.
// Anything else fails with an OSError naming the path (ELOOP for a link,
// ENOTDIR for a file where a folder should be, EINVAL for a file that is not
// a regular one), which callers treat like any other failure to write.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/unique_fd.hpp"

#pragma GCC visibility push(default)

namespace brenik::utils {

namespace fs = std::filesystem;

// A folder opened under the rule above: the descriptor every operation on
// the files in it goes through, so nothing is checked by name and used later.
class ConfinedDir {
public:
  // Opens `dir`, creating the missing folders when `create`. Throws OSError.
  ConfinedDir(const fs::path& dir, bool create);

  int fd() const noexcept { return fd_.get(); }
  const fs::path& path() const noexcept { return path_; }

  // Opens the entry `name` of this folder with `flags` plus O_NOFOLLOW,
  // O_CLOEXEC and O_NONBLOCK (a FIFO never blocks), and requires a regular
  // file. Throws OSError naming the full path.
  UniqueFd open_file(const std::string& name, int flags, mode_t mode = 0644) const;

  // Whole content of the regular file `name` of this folder (opened as
  // open_file does). Throws OSError.
  std::string read(const std::string& name) const;

  // lstat() of the entry `name`: none when missing.
  std::optional<struct stat> entry(const std::string& name) const;

private:
  UniqueFd fd_;
  fs::path path_;
};

// True when `path` has a `.brenik` component (it falls under the strict rule).
bool is_confined(const fs::path& path);

// `path` opened under the rule (see ConfinedDir::open_file); the missing
// folders on the way are created when `make_parents`. Throws OSError.
UniqueFd open_confined(const fs::path& path, int flags, mode_t mode = 0644, bool make_parents = false);

// Whole file under the rule, whatever the path (a link at the end is refused
// even outside `.brenik`). Throws OSError.
std::string read_confined(const fs::path& path);

// Renames the file `from` to `to` within confined folders (renameat), refusing
// a link or a folder at either end. Throws OSError.
void rename_confined(const fs::path& from, const fs::path& to);

// Removes the file `path` under the rule (never a folder, never through a
// link on the way). False when nothing was removed, missing included.
bool remove_file(const fs::path& path) noexcept;

// Temporary files of atomic_write older than this are a killed writer's
// leftovers; a later write in their folder removes them (the next one in a
// small folder; in a folder of thousands of files, about one in 32 looks).
inline constexpr int STALE_TEMP_SECONDS = 600;

// Whole file as bytes, confined when `is_confined(path)`. Throws OSError
// (FileNotFoundError when missing).
std::string read_file(const fs::path& path);

// Whole file, or none on any operating-system error.
std::optional<std::string> try_read_file(const fs::path& path) noexcept;

// Creates the directory with missing parents, confined; an existing one is
// fine. Throws OSError.
void make_dirs(const fs::path& dir);

// Writes `content` to a new "<random>.tmp" file in the target's (confined)
// directory, flushes it to disk and renames it over `path` in one step, then
// flushes the folder, so that after a crash `path` holds the old content or
// the new; a link or a folder at `path` is refused, never replaced. On any
// failure before the rename the temporary file is removed, the target keeps
// its old content, and the error propagates; a failure to flush the folder
// after it is reported too (the new content is then in place).
// `mode` sets the new file's permissions (default 0666 less the umask, or the
// old file's mode when it exists). Stale temporary files of killed writers in
// that folder are removed on the way (see STALE_TEMP_SECONDS).
// A file derived from others and rebuilt when lost (the log's index) is
// written `derived`: replaced in one step all the same, but not flushed, as
// the flush would cost a hook more than losing the file costs the next reader.
// A new file that goes with a log line (a commit's archived record) is
// written `with_log_line`: flushed only when it replaces a file, since
// otherwise it has no old content to protect and is as durable as the line,
// which is appended unflushed; flushing it would make every commit wait on
// the disk twice for nothing.
enum class Durability { flushed, derived, with_log_line };
void atomic_write(const fs::path& path, std::string_view content, std::optional<fs::perms> mode = std::nullopt,
                  Durability durability = Durability::flushed);

// atomic_write of the parts one after the other, without joining them first.
void atomic_write_parts(const fs::path& path, const std::vector<std::string_view>& parts,
                        std::optional<fs::perms> mode = std::nullopt, Durability durability = Durability::flushed);

// Appends bytes to a file (created when missing) with O_APPEND in one write,
// confined. Throws OSError; a write that fails part way is taken back, so
// the file never keeps half of `content`.
void append_file(const fs::path& path, std::string_view content);

// A small file the repository, not this tool, controls: its bytes, or none
// when it holds more than `max_bytes`. Opened under the rule above whatever
// the path (a link at the end is refused, ELOOP; a pipe or device is not
// waited on, EINVAL), so a hook neither follows it to a secret elsewhere nor
// loads more than any sane content needs. Throws OSError.
std::optional<std::string> read_small_regular_file(const fs::path& path, std::size_t max_bytes);
// The same, or none on any failure too: for readers to whom a missing,
// refused or unreadable file is simply no content.
std::optional<std::string> try_read_small_regular_file(const fs::path& path, std::size_t max_bytes) noexcept;
// The same for the entry `name` of a folder already opened under the rule.
std::optional<std::string> read_small_regular_file(const ConfinedDir& dir, const std::string& name,
                                                   std::size_t max_bytes);
// The whole regular file open on `fd` (which the caller opened its own way,
// O_NONBLOCK so that a FIFO is never waited on), read to its end; none when
// it is not a regular file, holds more than `max_bytes` or a read fails.
// Throws nothing but std::bad_alloc.
std::optional<std::string> read_regular_fd(int fd, std::size_t max_bytes);

// True when `path` is `root` or inside it after resolving symbolic links of
// the parts that exist: nothing writes through a link that leads outside.
bool stays_inside(const fs::path& root, const fs::path& path);

}  // namespace brenik::utils

#pragma GCC visibility pop
