// Joins commits that git lists with what the attestation log and the
// archive say about them: the log is read once for the whole list, whatever
// its length, and only the lines of the wanted commits are parsed.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "utils/fs.hpp"
#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::views {

namespace fs = std::filesystem;

// The first log line of each of `commits` that the log holds (the line the
// attach path upgrades in place), by commit id. A missing or unreadable log
// holds nothing.
std::unordered_map<std::string, json::Value> find_log_lines(const fs::path& log_path,
                                                            const std::vector<std::string>& commits);

// The archive folder of attestations and ledger segments, opened once (under
// the rule for files in .brenik/) so that a view reading hundreds of its
// files does not walk the path again for each. A missing or refused folder
// holds nothing. Never throws.
class ArchiveDir {
public:
  explicit ArchiveDir(const fs::path& attestations_dir) noexcept;

  // See the functions of the same names below.
  std::optional<json::Value> read_archived(const std::string& commit) const;
  std::string archived_model(const std::string& commit) const;
  std::vector<json::Value> read_ledger_segment(const std::string& commit) const;

private:
  std::optional<std::string> read(const std::string& name) const;
  std::optional<utils::ConfinedDir> dir_;
};

// The archived attestation <commit>.yaml, or none when there is none or it
// is not a mapping. Never throws.
std::optional<json::Value> read_archived(const fs::path& attestations_dir, const std::string& commit);

// The archived attestation's `agent_model`, read without parsing the whole
// file when it is written as a plain scalar; "" when there is none.
std::string archived_model(const fs::path& attestations_dir, const std::string& commit);

// The archived ledger segment <commit>.ledger.jsonl as its lines (objects,
// or the text of lines that are not JSON); empty when there is none.
std::vector<json::Value> read_ledger_segment(const fs::path& attestations_dir, const std::string& commit);

}  // namespace brenik::services::views

#pragma GCC visibility pop
