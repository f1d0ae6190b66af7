// The two documents one recorded commit is exported as: an Agent Trace
// record (who wrote which lines) and an in-toto Statement carrying the
// record as brenik keeps it. Pure: no git, no files.
#pragma once

#include <optional>
#include <string>

#include "services/export/records.hpp"
#include "utils/json.hpp"

namespace brenik::services::exporting {

inline constexpr const char* AGENT_TRACE_VERSION = "0.1.0";
inline constexpr const char* IN_TOTO_STATEMENT_TYPE = "https://in-toto.io/Statement/v1";
inline constexpr const char* PREDICATE_TYPE = "https://brenik.dev/attestation/v1";
// Where brenik's own facts go in an Agent Trace record's metadata.
inline constexpr const char* METADATA_KEY = "dev.brenik";

json::Value agent_trace_record(const CommitRecord& record, const std::string& tool_version);
json::Value in_toto_statement(const CommitRecord& record);

// What a statement of either kind claims about the repository.
struct StatementClaim {
  std::string commit;
  std::optional<std::string> diff_hash;  // when the attestation carried one
};

// None when the value is neither kind of statement.
std::optional<StatementClaim> statement_claim(const json::Value& statement);

namespace detail {

// Who wrote a commit, as the record tells: "ai" (an agent and its model),
// "human" (no agent named), "unknown" (anything less certain).
struct Contributor {
  std::string type;
  std::string model_id;  // "provider/model" when known
};
Contributor contributor_of(const CommitRecord& record);

// A stable UUID (version 8, from SHA-256) for the commit's record, so that
// exporting twice gives the same id.
std::string record_uuid(const std::string& commit);

// Seconds since the epoch as RFC 3339 in UTC ("2026-01-23T14:30:00Z").
std::string utc_timestamp(std::int64_t epoch_seconds);

}  // namespace detail
}  // namespace brenik::services::exporting
