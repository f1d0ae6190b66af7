// Small file operations with the error behaviour the services rely on:
// reads and writes throw OSError (with the errno kind), rewrites are atomic.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenik::utils {

namespace fs = std::filesystem;

// Whole file as bytes. Throws OSError (FileNotFoundError when missing).
std::string read_file(const fs::path& path);

// Whole file, or none on any operating-system error.
std::optional<std::string> try_read_file(const fs::path& path) noexcept;

// Creates the directory with missing parents; an existing one is fine.
// Throws OSError.
void make_dirs(const fs::path& dir);

// Writes `content` to a new "<random>.tmp" file in the target's directory,
// flushes it, and renames it over `path` in one step. On any failure the
// temporary file is removed, the target keeps its old content, and the
// error propagates. `mode` sets the new file's permissions (default 0644
// after umask, or the old file's mode when it exists).
void atomic_write(const fs::path& path, std::string_view content,
                  std::optional<fs::perms> mode = std::nullopt);

// atomic_write of the parts one after the other, without joining them first.
void atomic_write_parts(const fs::path& path, const std::vector<std::string_view>& parts,
                        std::optional<fs::perms> mode = std::nullopt);

// Appends bytes to a file (created when missing) with O_APPEND in one write.
// Throws OSError.
void append_file(const fs::path& path, std::string_view content);

// True when `path` is `root` or inside it after resolving symbolic links of
// the parts that exist: nothing writes through a link that leads outside.
bool stays_inside(const fs::path& root, const fs::path& path);

// Text is valid UTF-8.
bool is_valid_utf8(std::string_view text);

}  // namespace brenik::utils
