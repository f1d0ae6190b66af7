// Classifying the lines of the attestation log into what a reader reports
// (the counts and the pending entries), and what the log's index keeps (the
// commits and where the pending lines start). Used by the log store only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "services/ledger/log_index.hpp"
#include "services/ledger/log_line.hpp"
#include "services/git/commit_id.hpp"
#include "services/ledger/attestation_log.hpp"
#include "utils/mapped_file.hpp"

namespace brenik::services::tolvern::detail {

// Calls fn(line) for every "\n"-separated line of text; a final newline
// does not make an extra empty line.
template <typename Fn>
void for_each_line(std::string_view text, Fn&& fn) {
  std::size_t start = 0;
  while (start < text.size()) {
    const void* nl = std::memchr(text.data() + start, '\n', text.size() - start);
    std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - text.data()) : text.size();
    fn(text.substr(start, end - start));
    start = end + 1;
  }
}

// Whether SIMDJSON_PADDING bytes of `whole` follow `line`, so that the
// parser may read past the line's end without a copy.
bool padded_within(std::string_view whole, std::string_view line);

struct Classified {
  AttestationLog log;
  std::size_t pending = 0;  // pending lines seen
  // When indexing: the filter key of every record's commit, and where each
  // pending line starts in the file.
  std::vector<std::uint64_t> commits;
  std::vector<std::uint64_t> pending_lines;
};

// Sees each pending line while the parser holds it; null to only count.
using OnPending = std::function<void(AttestationLog&, const LineParser&)>;

// Unsynced, and addressable by a full commit id.
bool is_pending_line(const LineFields& f);

// What a line counts as, by its event.
RecordKind record_kind(std::string_view event);
// Its `synced` or `uploaded` member is truthy.
inline bool is_synced_line(const LineFields& f) { return f.synced || f.uploaded; }

// Counts one non-blank line starting at `start` into `out`: `f` is its
// fields when it is a JSON object, null when it is not. True when it is a
// pending line.
bool count_line(const LineFields* f, std::uint64_t start, Classified& out, bool indexing);

// The lines of `part`, a run of whole lines of `file`, in two halves on two
// threads when it is big.
Classified classify_text(const utils::MappedFile& file, std::string_view part, const OnPending* on_pending,
                         bool indexing = false);

// Adds what `c` classified (the lines `part`, which the index did not cover,
// positions in the file) to `index`: their commits, counts and pending
// lines. An index without a filter yet gets one sized for those commits.
// `covered` is the text the index already describes (its lines end in "\n"):
// the index stays `distinct` only when no commit of `part` has a line there
// or two lines in `part`.
void add_to_index(LogIndex& index, const Classified& c, std::string_view covered, std::string_view part);

// `later` follows `first` in the file, and its line positions are already
// positions in the file.
void merge_into(Classified& first, Classified&& later);

template <typename T>
void append_moved(std::vector<T>& to, std::vector<T>& from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// Runs `here` on the calling thread and `there` on a second one (or on the
// calling thread too when no thread can be had); what either throws comes
// out once both are done.
template <typename Here, typename There>
void on_two_threads(const Here& here, const There& there) {
  std::exception_ptr failure;
  std::optional<std::thread> worker;
  try {
    worker.emplace([&] {
      try {
        there();
      } catch (...) {  // carried over to this thread, rethrown below
        failure = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    there();
  }
  try {
    here();
  } catch (...) {  // the worker is joined before the failure goes on
    if (worker) worker->join();
    throw;
  }
  if (worker) worker->join();
  if (failure) std::rethrow_exception(failure);
}

// The entries of the pending lines an index lists, [begin, end) of
// `starts`, each before `covered`; none when one of those lines is not a
// pending line (the index describes some other file after all).
std::optional<std::vector<json::Value>> pending_entries_at(const utils::MappedFile& file,
                                                           const std::vector<std::uint64_t>& starts, std::size_t begin,
                                                           std::size_t end, std::size_t covered);

}  // namespace brenik::services::tolvern::detail
