// `brenik sync`: file the pending attestation, link the repository to its
// project when it is not linked yet, repair the local installation, upload
// the unsynced records and refresh the context cache.
// `brenik sync --record-commit` is what the git post-commit hook runs: it
// records HEAD and nothing else, offline and silent.
#include <memory>
#include <optional>
#include <string>

#include "commands/cli.hpp"
#include "display/output.hpp"
#include "paths/paths.hpp"
#include "protocol/credentials.hpp"
#include "services/tolvern.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/json.hpp"
#include "utils/truthy.hpp"

namespace brenik::commands {

namespace fs = std::filesystem;
namespace out = display::output;
namespace tolvern = services::tolvern;
namespace shared = services::shared;

namespace {

struct SyncOptions {
  std::optional<std::int64_t> team_id;
  bool record_commit = false;
};

std::string plural(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string project_label(const json::Value& project_id) {
  return project_id.is_string() ? project_id.get<std::string>() : json::dumps(project_id);
}

}  // namespace

int run_record_commit() {
  // A hook never fails the commit: status 1 tells the hook's shell to write
  // its own line instead.
  return utils::best_effort_or(1, "Post-commit record failed", {.audible = false}, [] {
    // HEAD is the worktree's own; the state may be the main worktree's.
    const fs::path worktree = shared::get_worktree_root();
    const fs::path state_root = shared::brenik_root(worktree);
    if (!tolvern::record_commit(state_root, "commit_unattested", commit_trigger_handoff(), worktree)) return 1;
    // The network, after git has returned; signed out, there is nothing to
    // send, and the configuration need not even be read.
    if (protocol::load_credentials()) start_background_sync(state_root, worktree);
    return 0;
  });
}

namespace {

void tell_refusal(const out::Output& o, const std::string& reason, const std::optional<std::string>& code) {
  out::error(o, reason);
  out::info(o, tolvern::remedy(code));
}

// Entries of a cache folder (files or folders, not hidden ones); 0 when it
// is missing. Only counted, never followed.
std::int64_t cache_entries(const fs::path& dir, const char* extension = nullptr) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(dir, ec))) return 0;
  std::int64_t n = 0;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    if (extension && it->path().extension() != extension) continue;
    ++n;
  }
  return n;
}

void tell_upload(const out::Output& o, const tolvern::UploadResult& result, const json::Value& project_id) {
  if (result.skipped_invalid > 0)
    out::warning(o, plural(result.skipped_invalid, "record", "records") +
                        " cannot be uploaded (no commit id, or a corrupt attestation file).");
  if (result.refused > 0)
    out::warning(o, plural(result.refused, "record was", "records were") +
                        " refused by the server (too large or malformed) and set aside; they stay in "
                        "the log. `brenik status` shows why.");
  if (!result.ok) {
    std::string said = result.error.value_or("upload failed");
    if (result.uploaded > 0)
      said += " (" + plural(result.uploaded, "record was", "records were") + " uploaded before that)";
    tell_refusal(o, "Upload stopped: " + said, result.code);
    return;
  }
  if (result.already_synced && result.refused == 0 && result.skipped_invalid == 0)
    out::success(o, "Nothing to upload: every record is on the server.");
  else if (result.already_synced)
    out::info(o, "Nothing else could be uploaded.");
  else
    out::success(o, "Uploaded to project " + project_label(project_id) + ": " +
                        plural(result.uploaded, "new record", "new records") + " accepted.");
}

// What the cache holds now, or at which stage and with which kind of error
// the refresh stopped (never the error's text: it may carry a path or a URL).
void tell_refresh(const out::Output& o, const fs::path& root, const tolvern::RefreshResult& refresh) {
  if (!refresh.ok) {
    std::string line = "Context cache not refreshed: stage " + refresh.stage.value_or("unknown");
    if (refresh.error) line += " (" + *refresh.error + ")";
    out::warning(o, line + "; the cached copies are kept.");
    if (refresh.log_path) out::info(o, "details: " + refresh.log_path->string());
    return;
  }
  const auto rules = tolvern::read_rules_cache_state(paths::platform_dir(root));
  const std::int64_t guidance = cache_entries(paths::guidance_dir(root) / "system", ".md") +
                                cache_entries(paths::guidance_dir(root) / "project", ".md");
  out::success(o, "Context cache refreshed: " + plural(rules.count.value_or(0), "rule", "rules") + ", " +
                      plural(cache_entries(paths::specs_dir(root)), "spec", "specs") + ", " +
                      plural(cache_entries(paths::canonical_docs_dir(root)) + guidance, "document", "documents") +
                      ", " + plural(cache_entries(paths::skills_dir(root), ".md"), "skill", "skills") + ".");
}

int run_sync(const SyncOptions& options, const out::Output& o) {
  const auto found = repo_root_or_error(o, NOT_IN_REPOSITORY);
  if (!found) return 1;
  const fs::path& root = *found;
  const auto credentials = protocol::load_credentials();
  const std::string api_key = credentials ? credentials->api_key : "";
  const std::string api_url = credentials ? credentials->api_url : "";

  // Offline first: the pending attestation is filed before anything waits on
  // the network.
  auto [archived, resolution] = tolvern::resolve_if_unlinked(root, api_key, api_url, options.team_id);
  if (archived.matched_commit)
    out::info(
        o, "Filed the pending attestation under commit " + archived.matched_commit->substr(0, SHORT_ID_LENGTH) + ".");
  else if (archived.error)
    out::warning(o, "The pending attestation was kept, not filed: " + *archived.error);

  json::Value project_id;
  std::optional<std::string> refusal;
  std::optional<std::string> refusal_code;
  if (!credentials) {
    refusal = "Not signed in: the records stay local.";
    refusal_code = std::string(tolvern::NOT_SIGNED_IN);
  } else if (resolution && !resolution->ok()) {
    refusal = "Could not link this repository to a project: " + resolution->reason.value_or("");
    refusal_code = resolution->code;
  } else if (resolution) {
    project_id = *resolution->project_id;
    std::string title = resolution->title ? " (" + *resolution->title + ")" : "";
    out::info(o, std::string(resolution->created ? "Created" : "Linked to") + " project " +
                     std::to_string(*resolution->project_id) + title + ".");
  } else {
    project_id = member(shared::load_local_config(root), "project_id");
  }

  // Without a project the run makes its local repairs and touches no server.
  const auto report =
      tolvern::run_sync_reported(root, refusal ? "" : api_key, api_url, refusal ? json::Value() : project_id);
  if (refusal) {
    tell_refusal(o, *refusal, refusal_code);
    return 1;
  }
  if (!report.upload) {
    tell_refusal(o, "This repository is not linked to a project.", std::nullopt);
    return 1;
  }
  tell_upload(o, *report.upload, project_id);
  if (report.refresh) tell_refresh(o, root, *report.refresh);
  return report.upload->ok ? 0 : 1;
}

}  // namespace

void register_sync(CLI::App& app, Context& ctx) {
  CLI::App* sync = app.add_subcommand("sync",
                                      "Upload the commit records that have not reached the server yet and refresh the "
                                      "local copy of the project's rules, specs, documents and skills.");
  auto options = std::make_shared<SyncOptions>();
  sync->add_option("--team-id", options->team_id,
                   "Team to create or find the project in (asked once when you are on several "
                   "teams; saved).");
  sync->add_flag("--record-commit", options->record_commit,
                 "Record HEAD in the attestation log and do nothing else (run by the git "
                 "post-commit hook; offline, prints nothing).");
  on_run(sync, ctx, [options] {
    int status;
    if (options->record_commit) {
      status = run_record_commit();
    } else {
      const auto& o = out::standard();
      try {
        status = run_sync(*options, o);
      } catch (const std::exception& e) {
        // What leaves is the kind; the full report only goes to the local
        // debug log, and only when debugging is on.
        out::error(o, "Sync failed (" + error_kind(e) + "); your records are kept locally.");
        utils::best_effort("Sync debug report not kept", {.audible = false}, [&] {
          if (auto log = tolvern::keep_debug_report(shared::get_repo_root(), "sync", e))
            out::info(o, "details: " + log->string());
        });
        status = 1;
      }
    }
    return status;
  });
}

}  // namespace brenik::commands
