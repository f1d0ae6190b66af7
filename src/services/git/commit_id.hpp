// A commit id: the full object name of a commit, 40 lowercase hex digits
// (SHA-1 repositories) or 64 (SHA-256). Shared by the git access and the log.
#pragma once

#include <string_view>

namespace brenik::services::tolvern::detail {

// "^[0-9a-f]{40}([0-9a-f]{24})?$"
inline bool is_valid_commit_hash(std::string_view value) {
  if (value.size() != 40 && value.size() != 64) return false;
  for (char c : value)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace brenik::services::tolvern::detail
