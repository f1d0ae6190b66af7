// File operations of the context cache: every write compares first (an
// unchanged file keeps its modification time, so a sync with nothing new
// writes nothing), and every listing and removal works on descriptors of
// real folders under `.brenik/`, never through a link.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace brenik::services::tolvern::cache_files {

namespace fs = std::filesystem;

// Replaces the file atomically unless it already holds exactly `content`;
// true when it was written. A link or a folder at `path` is refused
// (OSError), as are links on the way; missing folders are created.
bool write_if_changed(const fs::path& path, std::string_view content);

enum class EntryType { file, directory, link, other };

struct Entry {
  std::string name;
  EntryType type;
};

// The entries of `dir` (without "." and ".."), as lstat sees them. Throws
// OSError when `dir` cannot be opened as a real folder or listed.
std::vector<Entry> list_dir(const fs::path& dir);

// `dir` is a real folder (not a link to one).
bool is_real_dir(const fs::path& dir) noexcept;

// Removes the entry `name` of the real folder `dir`: a folder with
// everything in it, a file, or a link itself (never what it points to).
// Errors are ignored; false when something could not be removed.
bool remove_entry(const fs::path& dir, const std::string& name) noexcept;

// Removes `dir` with everything in it (remove_entry of its last component).
bool remove_tree(const fs::path& dir) noexcept;

}  // namespace brenik::services::tolvern::cache_files
