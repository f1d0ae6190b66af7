// What a read of the attestation log gives: the counts, and the pending
// entries. Its own header so that the line classifier and the store share it
// without including each other.
#pragma once

#include <cstddef>
#include <vector>

#include "services/ledger/log_counts.hpp"
#include "utils/json.hpp"

namespace brenik::services::tolvern {

// What a record counts as.
enum class RecordKind { attested, unattested, skipped };

// What the log holds, read once: the counts, and the pending entries.
struct AttestationLog : LogCounts {
  std::vector<json::Value> pending;  // unsynced and addressable, in file order

  std::size_t size() const { return pending.size(); }
  explicit operator bool() const { return !pending.empty(); }
};

}  // namespace brenik::services::tolvern
