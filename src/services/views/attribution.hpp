// Who made a recorded commit, decided from its record alone.
//
// A record names the agent that made the commit. "unknown" (or nothing) means
// the capture could not tell; a record that says "human" (an attestation
// written with `--agent human`) states that no agent ran. Everything else is
// an agent name. A commit with no record is "not recorded".
#pragma once

#include <string>
#include <string_view>

#include "utils/json.hpp"

namespace brenik::services::tolvern {
class ArchiveReader;
}

#pragma GCC visibility push(default)

namespace brenik::services::views {

enum class Author { agent, human, unknown, not_recorded, uncommitted };

struct Attribution {
  Author author = Author::not_recorded;
  std::string agent;  // the agent's name, for Author::agent
  std::string model;  // "" when the record does not say

  // "claude-code (claude-opus-4-6)", "claude-code", "human", "unknown",
  // "not recorded", "not committed yet" (a line of the working tree).
  std::string label() const;
  // The word of the author kind: "agent", "human", "unknown", "not recorded",
  // "uncommitted".
  std::string kind() const;
};

// What the one-line views read of a record's log line.
struct RecordSummary {
  bool attested = false;  // see is_attested
  bool synced = false;    // see is_synced
  std::string agent;      // the line's `agent` when it is text, else ""
  std::string model;      // its telemetry's `model` when it is text, else ""
};

// The summary of a log line (an object).
RecordSummary summarize(const json::Value& line);

// `record` is the summary of the commit's log line (null when there is
// none); the model comes from the line's telemetry, else from the archived
// attestation.
Attribution attribute(const RecordSummary* record, const tolvern::ArchiveReader& archive, const std::string& commit);

// The record carried an attestation (it is not a record of a commit that
// went in without one).
bool is_attested(const json::Value& line);
// The same from the line's `event` ("" when it has none).
bool is_attested_event(std::string_view event);
// The server accepted the record (`synced`, or the older `uploaded`).
bool is_synced(const json::Value& line);

}  // namespace brenik::services::views

#pragma GCC visibility pop
