// Result records shared by several parts of the service library.
#pragma once

#include <string>

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

// The outcome of recording one commit.
struct BackfillResult {
  std::string commit;     // full id, or the revision text the caller passed
  bool written = false;   // a record was written by this call
  std::string reason{};   // why nothing was written, or the error text
  bool tokens = false;    // the written record's telemetry carries token counts
  bool attested = false;  // recorded by filing a pending attestation
};

inline constexpr const char* REASON_ALREADY_RECORDED = "already recorded";
inline constexpr const char* REASON_NO_SUCH_COMMIT = "no such commit in this repo";

}  // namespace brenik::services::tolvern

#pragma GCC visibility pop
