// The vocabulary of the fields an agent writes into a pending attestation,
// and the check of those fields before the file is written.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::shared {

// Task types an attestation may declare. The same words the commit-subject
// inference produces, so declared and inferred records share one vocabulary.
extern const std::vector<std::string> VALID_TASK_TYPES;

// Where a request came from: a change spec, a ticket, a bug report, or
// nothing written down.
extern const std::vector<std::string> VALID_PROVENANCE_TYPES;

// VALID_PROVENANCE_TYPES as the list literal the messages show:
// "['spec', 'ticket', 'bug-fix', 'ad-hoc']".
std::string provenance_types_text();

// Top-level change primitives kept under `changes`, in the order they are
// written. Each holds `elements`, entries with `name`, `change`,
// `description` and optionally `fact_changes`.
extern const std::vector<std::string> V2_PRIMITIVES;

// The `change` values of a change element.
extern const std::vector<std::string> VALID_ELEMENT_CHANGES;

// The `status` values of a rule entry under `rules.applicable`.
extern const std::vector<std::string> VALID_RULE_STATUSES;

// Summaries longer than this many characters draw a warning.
inline constexpr std::size_t SUMMARY_SOFT_LIMIT = 200;

// Checks the agent-written fields of an attestation mapping. Returns
// (errors, warnings): errors make the record wrong (an unknown task type, a
// malformed rule or change entry), warnings mark a record that is merely
// thin (empty summary, no rules consulted). Messages name the field path.
std::pair<std::vector<std::string>, std::vector<std::string>> validate_attestation_fields(
    const json::Value& attestation);

}  // namespace brenik::services::shared

#pragma GCC visibility pop
