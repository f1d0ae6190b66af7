// How many rules the local cache holds, and whether that number can be
// trusted, answered from the cache files alone.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

// A cache file older than this is stale.
inline constexpr double STALE_THRESHOLD_SECONDS = 86400;

// The sections of the rules file that hold rules, in the order they show.
extern const std::vector<std::string> RULE_SECTIONS;

namespace detail {
inline constexpr double STALE_THRESHOLD_SECONDS = tolvern::STALE_THRESHOLD_SECONDS;
}  // namespace detail

struct RulesCacheState {
  std::optional<long long> count;              // none: no count can be read
  std::optional<long long> last_fetch_status;  // HTTP status of the last rules fetch
  bool unreadable = false;                     // the rules file exists but does not read

  // A fetch is known to have failed (a status other than 200 and 304).
  bool fetch_failed() const { return last_fetch_status && *last_fetch_status != 200 && *last_fetch_status != 304; }
  bool trustworthy() const { return count.has_value() && !unreadable && !fetch_failed(); }
  std::string describe() const;
};

RulesCacheState read_rules_cache_state(const std::filesystem::path& cache_dir);

}  // namespace brenik::services::tolvern

#pragma GCC visibility pop
