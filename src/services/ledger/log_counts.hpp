// How the lines of the attestation log classify: what the reader reports
// beside the pending entries, and what the log's index keeps of it.
#pragma once

#include <cstddef>

namespace brenik::services::tolvern {

struct LogCounts {
  std::size_t uploaded = 0;       // lines whose `synced` or `uploaded` member is truthy
  std::size_t skipped = 0;        // "attestation_skipped" records
  std::size_t unaddressable = 0;  // not yet synced, but without a full commit id
  std::size_t corrupt = 0;        // not JSON, or JSON that is not an object
  std::size_t attested = 0;
  std::size_t unattested = 0;  // "commit_unattested" records

  LogCounts& operator+=(const LogCounts& o) {
    uploaded += o.uploaded;
    skipped += o.skipped;
    unaddressable += o.unaddressable;
    corrupt += o.corrupt;
    attested += o.attested;
    unattested += o.unattested;
    return *this;
  }
  LogCounts& operator-=(const LogCounts& o) {
    uploaded -= o.uploaded;
    skipped -= o.skipped;
    unaddressable -= o.unaddressable;
    corrupt -= o.corrupt;
    attested -= o.attested;
    unattested -= o.unattested;
    return *this;
  }
};

}  // namespace brenik::services::tolvern
