#include "services/sync/background_sync.hpp"

#include "paths/paths.hpp"
#include "services/context/refresh.hpp"
#include "services/upload/upload.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/filelock.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/time.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::tolvern {

namespace detail {

fs::path background_sync_state_file(const fs::path& repo_root) {
  return paths::platform_dir(repo_root) / "background-sync.json";
}

fs::path background_sync_lock_target(const fs::path& repo_root) {
  return paths::platform_dir(repo_root) / "background-sync";
}

}  // namespace detail

namespace {

void save_state(const fs::path& repo_root, const BackgroundSyncState& state) noexcept {
  utils::best_effort("Background sync state not written", {.audible = false}, [&] {
    json::Value v = json::Value::object();
    v["started_at"] = state.started_at;
    v["finished_at"] = state.finished_at ? json::Value(*state.finished_at) : json::Value();
    v["ok"] = state.ok;
    v["failure"] = state.failure ? json::Value(*state.failure) : json::Value();
    utils::atomic_write(detail::background_sync_state_file(repo_root), json::dumps(v) + "\n");
  });
}

}  // namespace

bool background_sync_enabled(const json::Value& config) {
  const auto& flag = member(config, "background_sync");
  return !(flag.is_boolean() && !flag.get<bool>());
}

bool wants_background_sync(const json::Value& config) {
  return truthy(member(config, "project_id")) && background_sync_enabled(config);
}

BackgroundSyncOutcome run_background_sync(const fs::path& repo_root, const std::string& api_key,
                                          const std::string& api_url, const json::Value& project_id) noexcept {
  return utils::best_effort_or(
      BackgroundSyncOutcome{.ran = true, .ok = false}, "Background sync failed", {.audible = false},
      [&]() -> BackgroundSyncOutcome {
        utils::make_dirs(paths::platform_dir(repo_root));
        // No wait: a run in progress covers this one's work well enough, and a
        // queue of runs behind a slow server helps nobody.
        utils::Locked lock(detail::background_sync_lock_target(repo_root), 0.0);
        if (!lock.acquired()) return {.ran = false};

        BackgroundSyncState state{.started_at = utils::utc_now_iso()};
        save_state(repo_root, state);
        std::string failure;
        try {
          const auto upload =
              upload_attestations(api_key, api_url, repo_root, paths::attestations_dir(repo_root), project_id);
          if (!upload.ok) failure = "upload: " + upload.error.value_or("failed");
        } catch (const std::exception& e) {
          failure = "upload: " + error_kind(e);
        }
        const auto refreshed = refresh_context_cache_detailed(api_key, api_url, repo_root, json::text_form(project_id),
                                                              {.mutate_workspace = false});
        if (!refreshed.ok) {
          if (!failure.empty()) failure += "; ";
          failure += "refresh: " + refreshed.stage.value_or("failed");
          if (refreshed.error) failure += " (" + *refreshed.error + ")";
        }
        state.finished_at = utils::utc_now_iso();
        state.ok = failure.empty();
        if (!failure.empty()) state.failure = failure;
        save_state(repo_root, state);
        return {.ran = true, .ok = state.ok};
      });
}

std::optional<BackgroundSyncState> read_background_sync_state(const fs::path& repo_root) noexcept {
  // No state file, or one that does not read, is no state.
  return utils::best_effort_or(std::nullopt, utils::unlogged, [&]() -> std::optional<BackgroundSyncState> {
    const auto text = utils::read_small_regular_file(detail::background_sync_state_file(repo_root), 64 * 1024);
    if (!text) return std::nullopt;
    const auto v = json::try_loads(*text);
    if (!v || !v->is_object()) return std::nullopt;
    BackgroundSyncState state{.started_at = text_member(*v, "started_at")};
    if (const auto& f = member(*v, "finished_at"); f.is_string()) state.finished_at = f.get<std::string>();
    state.ok = member(*v, "ok").is_boolean() && member(*v, "ok").get<bool>();
    if (const auto& f = member(*v, "failure"); f.is_string()) state.failure = f.get<std::string>();
    return state;
  });
}

bool background_sync_running(const fs::path& repo_root) noexcept {
  // A lock that cannot be probed is no run known to be going on.
  return utils::best_effort_or(false, utils::unlogged, [&] {
    if (!read_background_sync_state(repo_root)) return false;
    utils::Locked probe(detail::background_sync_lock_target(repo_root), 0.0);
    return !probe.acquired();
  });
}

}  // namespace brenik::services::tolvern
