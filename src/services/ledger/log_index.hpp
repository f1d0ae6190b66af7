// What a full pass over the attestation log learns, kept beside the log so
// that the next reader does not pay for that pass again: how its lines
// classify and where the pending ones start (every session start reports the
// count, every upload reads the pending lines), and a filter of the commit
// ids it carries (every commit trigger asks whether its commit is already
// there, and for a new commit only a filter can answer without reading it).
//
// The index names the file it describes (device, inode, size, mtime) and
// holds a hash of the bytes just before its size. It also names the exact
// state of the log it is current for (size and modification time included):
// the state the pass that made it read, or the state one of our writers
// left, as each of them (holding the log's lock) brings that mark forward
// when the index was current before its write. It is trusted only for
// exactly that state; any other change, by whatever writer, makes the next
// reader read the log in full. The index is never a source of truth: losing
// or corrupting it costs one full pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "services/ledger/log_counts.hpp"
#include "utils/file_stamp.hpp"

namespace brenik::services::tolvern::detail {

namespace fs = std::filesystem;

// A Bloom filter over commit ids: "no" is certain, "maybe" is not.
class CommitFilter {
public:
  static std::uint64_t key_of(std::string_view commit);

  // Room for `keys` ids and as many again appended later.
  static CommitFilter sized_for(std::size_t keys);
  static std::optional<CommitFilter> from_bits(std::vector<std::uint64_t> words, std::size_t keys);

  void add(std::uint64_t key);
  bool may_contain(std::uint64_t key) const;
  // Holds more ids than it was sized for: "maybe" too often to be of use.
  bool crowded() const;

  const std::vector<std::uint64_t>& words() const { return words_; }
  std::size_t keys() const { return keys_; }

private:
  std::vector<std::uint64_t> words_;  // a power of two of them
  std::size_t keys_ = 0;
};

struct LogIndex {
  // What a load reads beyond the counts: the commit filter, the positions of
  // the pending lines (each caller reads only what it asks).
  static constexpr unsigned FILTER = 1, LINES = 2, ALL = FILTER | LINES;

  utils::FileStamp file;  // the log as indexed; file.size is 0 or just past a "\n"
  // The whole log's state the index is current for: the lines past
  // file.size are then appends, to be classified by the reader.
  utils::FileStamp last_write;
  std::string tail_sha256;  // of the log's last bytes before file.size
  LogCounts counts;
  // The log up to here was written by the synced rewrite itself, so each of
  // its lines is already as that rewrite would write it again.
  std::uint64_t rewritten_end = 0;
  // No commit has two lines in the indexed part (a reader may then take the
  // line it meets first from either end as that commit's first line). False
  // whenever not shown: an index saved by an earlier version, a log holding
  // repeated lines from earlier writers.
  bool distinct = false;
  std::size_t pending = 0;
  std::vector<std::uint64_t> pending_lines;  // where each pending line starts, in file order
  CommitFilter commits;
  unsigned parts = ALL;  // which of the two are here
};

// "<log>.index", beside the log.
fs::path log_index_path(const fs::path& log_path);

// The hash an index keeps of `text` cut at `size`.
std::string tail_sha256(std::string_view text, std::size_t size);
// The same for the text the parts make one after the other.
std::string tail_sha256(const std::vector<std::string_view>& parts);

// Whether `index` describes the first index.file.size bytes of `text`, the
// log as now opened with `stamp`.
bool describes_prefix(const LogIndex& index, const utils::FileStamp& stamp, std::string_view text);

// None when the index is missing or not in its format. `parts` says what is
// read beyond the counts.
std::optional<LogIndex> load_log_index(const fs::path& log_path, unsigned parts = LogIndex::ALL);

// Called by an appender holding the log's lock, with the log's state before
// and after its append: an index current for `before` becomes current for
// `after`. Best effort, never throws.
void note_append(const fs::path& log_path, const utils::FileStamp& before, const utils::FileStamp& after) noexcept;

// Best effort: an index that cannot be written is simply not there next time.
// The index must hold all its parts.
void save_log_index(const fs::path& log_path, const LogIndex& index) noexcept;

}  // namespace brenik::services::tolvern::detail
