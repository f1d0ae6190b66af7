#include "services/ledger/first_run.hpp"

#include <cmath>
#include <system_error>

#include "paths/paths.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/file_times.hpp"
#include "utils/time.hpp"
#include "utils/json.hpp"

namespace brenik::services::tolvern::detail {

bool nothing_recorded_yet(const fs::path& repo_root) noexcept {
  // What cannot be looked at shows no record either.
  return utils::best_effort_or(true, utils::unlogged, [&] {
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
  });
}

std::optional<double> installed_at(const fs::path& repo_root) noexcept {
  // No stamp, or a configuration that does not read, is no stamp.
  return utils::best_effort_or(std::nullopt, utils::unlogged, [&]() -> std::optional<double> {
    const auto config = shared::load_local_config(repo_root);
    const auto& stamp = member(config, "installed_at");
    if (!stamp.is_string()) return std::nullopt;
    auto epoch = utils::parse_iso8601(stamp.get<std::string>());
    if (!epoch) return std::nullopt;
    return std::trunc(*epoch);
  });
}

std::optional<double> config_anchor(const fs::path& repo_root) noexcept {
  if (auto stamp = installed_at(repo_root)) return stamp;
  // A file whose time cannot be read anchors nothing.
  return utils::best_effort_or(std::nullopt, utils::unlogged, [&]() -> std::optional<double> {
    for (const auto& candidate : {paths::config_yaml(repo_root), paths::legacy_dir(repo_root) / "config.yaml",
                                  paths::legacy_dir(repo_root) / "config.json"}) {
      if (auto secs = utils::mtime_whole_seconds(candidate)) return secs;
    }
    return std::nullopt;
  });
}

}  // namespace brenik::services::tolvern::detail
