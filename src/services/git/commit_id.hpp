// A commit id: the full object name of a commit, 40 lowercase hex digits
// (SHA-1 repositories) or 64 (SHA-256). Shared by the git access and the log.
#pragma once

#include <cstddef>
#include <string_view>

namespace brenik::services::tolvern::detail {

// Exactly `length` lowercase hex digits.
inline bool lowercase_hex(std::string_view value, std::size_t length) {
  if (value.size() != length) return false;
  for (char c : value)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// "^[0-9a-f]{40}([0-9a-f]{24})?$"
inline bool is_valid_commit_hash(std::string_view value) {
  return lowercase_hex(value, 40) || lowercase_hex(value, 64);
}

}  // namespace brenik::services::tolvern::detail
