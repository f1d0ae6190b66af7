// `brenik background-sync` (hidden): the network work of a commit, started
// detached by the post-commit path once the commit is recorded. It prints
// nothing and always ends 0; `brenik status` tells how the last run went.
#include <string>

#include "commands/cli.hpp"
#include "protocol/credentials.hpp"
#include "services/tolvern.hpp"
#include "utils/best_effort.hpp"
#include "utils/process.hpp"
#include "utils/truthy.hpp"

namespace brenik::commands {

namespace fs = std::filesystem;
namespace tolvern = services::tolvern;
namespace shared = services::shared;

void start_background_sync(const fs::path& state_root, const fs::path& worktree) noexcept {
  utils::best_effort("Background sync not started (best-effort)", {.audible = false}, [&] {
    if (!tolvern::wants_background_sync(shared::load_local_config(state_root))) return;
    if (!protocol::load_credentials()) return;
    const auto self = utils::current_executable();
    if (!self) return;
    // The child is not waited for: git commit returns now. Its output goes
    // nowhere; the index git used for the commit is none of its business.
    utils::spawn_detached({self->string(), "background-sync"},
                          {.cwd = worktree, .env = {{"GIT_INDEX_FILE", std::nullopt}}});
  });
}

namespace {

// The configuration as far as it reads: status must say something even when
// `.brenik/` holds a planted link.
json::Value readable_config(const fs::path& root) {
  return utils::best_effort_or(json::Value::object(), utils::unlogged, [&] { return shared::load_local_config(root); });
}

}  // namespace

std::string background_sync_summary(const fs::path& root) {
  const auto config = readable_config(root);
  const auto state = tolvern::read_background_sync_state(root);
  std::string text;
  if (!tolvern::background_sync_enabled(config))
    text = "off (background_sync: false in the configuration)";
  else if (!truthy(member(config, "project_id")))
    text = "waits for a linked project (`brenik sync` links it)";
  else if (!state)
    text = "not run yet (runs after each commit)";
  if (!state) return text;
  std::string last;
  if (!state->finished_at)
    last = tolvern::background_sync_running(root) ? "running since " + state->started_at
                                                  : "interrupted (started " + state->started_at + ")";
  else if (state->ok)
    last = "last ran " + *state->finished_at + ", ok";
  else
    last = "last ran " + *state->finished_at + ", failed: " + state->failure.value_or("unknown");
  return text.empty() ? last : text + "; " + last;
}

json::Value background_sync_json(const fs::path& root) {
  json::Value v = json::Value::object();
  v["enabled"] = tolvern::background_sync_enabled(readable_config(root));
  if (const auto state = tolvern::read_background_sync_state(root)) {
    v["started_at"] = state->started_at;
    v["finished_at"] = state->finished_at ? json::Value(*state->finished_at) : json::Value();
    v["running"] = !state->finished_at && tolvern::background_sync_running(root);
    v["ok"] = state->ok;
    v["failure"] = state->failure ? json::Value(*state->failure) : json::Value();
  }
  return v;
}

void register_background_sync(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand("background-sync", "");
  cmd->group("");  // internal: started by the post-commit path
  on_run(cmd, ctx, [] {
    // Nobody waits for this run: its outcome is in the state file, not the status.
    utils::best_effort("Background sync run failed (best-effort)", {.audible = false}, [] {
      const fs::path root = shared::get_repo_root();
      const auto project_id = member(shared::load_local_config(root), "project_id");
      const auto credentials = protocol::load_credentials();
      if (!truthy(project_id) || !credentials) return;
      tolvern::run_background_sync(root, credentials->api_key, credentials->api_url, project_id);
    });
    return 0;
  });
}

}  // namespace brenik::commands
