// Reading the archive of attestations (.brenik/attestations/): the
// <commit>.yaml written for each recorded commit and the
// <commit>.ledger.jsonl segment moved beside it. The folder is opened once,
// under the rule for files in .brenik/, so that a reader of hundreds of its
// files does not walk the path again for each; an entry is read only when it
// is a regular file (never through a link) of at most MAX_ARCHIVE_BYTES.
// Nothing here throws.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "utils/fs.hpp"
#include "utils/json.hpp"

namespace brenik::services::tolvern {

// An archive larger than this is not one this tool wrote (a pending
// attestation is at most 1 MiB); it is not loaded.
inline constexpr std::size_t MAX_ARCHIVE_BYTES = std::size_t{4} << 20;

enum class ArchiveState {
  missing,     // no such file (or no archive folder at all)
  found,       // read and parsed
  unreadable,  // there, but a link, not a regular file, too large, not UTF-8 or not YAML
};

struct ArchivedAttestation {
  ArchiveState state = ArchiveState::missing;
  json::Value value;  // when found: the first YAML document ({} for an empty one), whatever its kind
};

// The views hand it out as views::ArchiveDir.
#pragma GCC visibility push(default)
class ArchiveReader {
public:
  explicit ArchiveReader(const std::filesystem::path& attestations_dir) noexcept;

  // <commit>.yaml. A `commit` that is not a commit id names no archive; a
  // folder the rule refuses (a link on the way) makes every one unreadable.
  ArchivedAttestation attestation(const std::string& commit) const;

  // The archived attestation when it is a mapping, else none.
  std::optional<json::Value> mapping(const std::string& commit) const;

  // The archived attestation's `agent_model`, read without parsing the whole
  // file when it is written as a plain scalar; "" when there is none.
  std::string model(const std::string& commit) const;

  // <commit>.ledger.jsonl as its lines (objects, or the text of lines that
  // are not JSON); empty when there is none or it cannot be read.
  std::vector<json::Value> ledger_segment(const std::string& commit) const;

private:
  struct File {
    ArchiveState state = ArchiveState::missing;
    std::string text;
  };
  File read(const std::string& commit, const char* suffix) const;
  ArchivedAttestation parse(File file) const;

  std::optional<utils::ConfinedDir> dir_;
  bool refused_ = false;  // the folder is there but the rule refuses it
};
#pragma GCC visibility pop

namespace detail {

// The attestation archived for `commit` when it is a mapping with something
// in it: what a record made earlier left to build on. None otherwise.
std::optional<json::Value> archived_record(const std::filesystem::path& attestations_dir, const std::string& commit);

}  // namespace detail

}  // namespace brenik::services::tolvern
