// Joins commits that git lists with what the attestation log and the
// archive say about them: the log is read once for the whole list, whatever
// its length, and only the lines of the wanted commits are parsed.
#pragma once

#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "services/ledger/archive_reader.hpp"
#include "services/views/attribution.hpp"
#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::views {

namespace fs = std::filesystem;

// The views read the archive through the reader of the module that writes it.
using ArchiveDir = tolvern::ArchiveReader;

// What a view reads of each line: the whole value, or only its summary
// (the one-line views, which need no more).
enum class LineDetail { full, summary };

struct LogRecord {
  bool found = false;     // the log has a line for the commit
  json::Value line;       // the line, with LineDetail::full; else null
  RecordSummary summary;  // when found
};

// The first log line of each of `commits` that the log holds (the line the
// attach path upgrades in place), in the order of `commits`. A missing or
// unreadable log holds nothing.
std::vector<LogRecord> read_log_records(const fs::path& log_path, const std::vector<std::string>& commits,
                                        LineDetail detail);

// The same lines whole, by commit id.
std::unordered_map<std::string, json::Value> find_log_lines(const fs::path& log_path,
                                                            const std::vector<std::string>& commits);

}  // namespace brenik::services::views

#pragma GCC visibility pop
