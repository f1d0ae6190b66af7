// Reading harness session stores: JSON-lines transcripts streamed one line
// at a time (they reach tens of megabytes and may be half-written), ISO-8601
// timestamps, and the small path and environment helpers the adapters share.
#pragma once

#include "utils/time.hpp"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenik::agents::detail {

namespace fs = std::filesystem;

// A single transcript line longer than this (a pasted log, a huge tool
// output) is skipped rather than buffered.
inline constexpr std::size_t MAX_LINE_BYTES = 64u * 1024u * 1024u;

// Called for every line, without its newline; return false to stop early.
using LineHandler = std::function<bool(std::string_view line)>;

// Streams the regular file at `path` line by line; a final line without a
// newline (a writer caught mid-line) is handed over too and simply fails to
// parse. Never opens anything but a regular file (a FIFO or a directory named
// like a transcript is refused without blocking). Returns false when the file
// could not be opened or is not a regular file; never throws for I/O.
bool for_each_line(const fs::path& path, const LineHandler& on_line, std::size_t max_line = MAX_LINE_BYTES);

// Transcript timestamps ("2026-08-10T12:00:05.123Z") read with the one
// ISO 8601 parser of the tool.
using utils::parse_iso8601;

// The value of the first `"key":"value"` pair written compactly in the raw
// line, without parsing it (a key inside an embedded, escaped JSON string
// never matches because its quotes are escaped). Values holding escapes are
// returned raw.
std::optional<std::string_view> find_string_field(std::string_view line, std::string_view key);

// Earliest and latest timestamp seen in a transcript, kept as written.
class TimestampRange {
public:
  void see(std::string_view ts);
  const std::string& first() const { return first_; }
  const std::string& last() const { return last_; }
  bool empty() const { return first_.empty(); }

private:
  std::string first_, last_;
  double first_v_ = 0, last_v_ = 0;
};

// Environment variable, "" when unset.
std::string env_text(const char* name);

// The user's home directory: $HOME, else the password database.
std::optional<fs::path> home_dir();

// Modification time in epoch seconds, none when it cannot be read
// (symbolic links are followed).
std::optional<double> mtime_seconds(const fs::path& path);

// `path` is `root` or below it, compared component by component after
// lexical normalisation (no file system access).
bool lexically_inside(const fs::path& root, const fs::path& path);

// The repository root as given and its resolved form (symbolic links
// resolved), deduplicated: harnesses record either spelling as cwd.
std::vector<fs::path> repo_spellings(const fs::path& repo_root);

// `cwd` lies in the repository under any of its spellings.
bool cwd_in_repo(const std::vector<fs::path>& spellings, std::string_view cwd);

// A session id we are willing to turn into a file name: 1 to 128 of
// [A-Za-z0-9._-], not starting with a dot.
bool is_safe_session_id(std::string_view id);

}  // namespace brenik::agents::detail
