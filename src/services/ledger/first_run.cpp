#include "services/ledger/first_run.hpp"

#include <cmath>
#include <system_error>

#include "paths/paths.hpp"
#include "services/shared.hpp"
#include "utils/file_times.hpp"
#include "utils/time.hpp"
#include "utils/json.hpp"

namespace brenik::services::tolvern::detail {

bool nothing_recorded_yet(const fs::path& repo_root) noexcept {
  try {
    std::error_code ec;
    const auto size = fs::file_size(paths::log_jsonl(repo_root), ec);
    if (!ec && size > 0) return false;
    fs::directory_iterator it(paths::attestations_dir(repo_root), ec);
    if (ec) return true;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) return true;
      if (it->path().extension() == ".yaml") return false;
    }
    return true;
  } catch (...) {
    return true;
  }
}

std::optional<double> installed_at(const fs::path& repo_root) noexcept {
  try {
    const auto config = shared::load_local_config(repo_root);
    const auto& stamp = member(config, "installed_at");
    if (!stamp.is_string()) return std::nullopt;
    auto epoch = utils::parse_iso8601(stamp.get<std::string>());
    if (!epoch) return std::nullopt;
    return std::trunc(*epoch);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<double> config_anchor(const fs::path& repo_root) noexcept {
  if (auto stamp = installed_at(repo_root)) return stamp;
  try {
    for (const auto& candidate : {paths::config_yaml(repo_root), paths::legacy_dir(repo_root) / "config.yaml",
                                  paths::legacy_dir(repo_root) / "config.json"}) {
      if (auto secs = utils::mtime_whole_seconds(candidate)) return secs;
    }
  } catch (...) {
  }
  return std::nullopt;
}

}  // namespace brenik::services::tolvern::detail
