#include "services/capture/capture.hpp"

#include <future>
#include <system_error>

#include "agents/registry.hpp"
#include "paths/paths.hpp"
#include "services/ledger/commit_records.hpp"
#include "services/git/git.hpp"
#include "services/ledger/log_store.hpp"
#include "services/capture/pending.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/logging.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::tolvern {

namespace detail {

std::optional<json::Value> adapter_telemetry(const agents::Adapter& adapter, const fs::path& repo_root,
                                             const std::optional<std::string>& session_id, const std::string& source) {
  const auto record = utils::best_effort_or(
      std::nullopt, logging::format("Adapter telemetry failed for %s", {logging::arg(session_id)}), {.audible = false},
      [&]() -> std::optional<agents::TelemetryRecord> {
        return adapter.get_telemetry_for_session(repo_root, session_id);
      });
  if (!record || !*record) return std::nullopt;
  json::Value data = record->to_dict();
  if (!data.is_object()) return std::nullopt;
  data["source"] = source;
  data["agent_runtime"] = adapter.name();
  return data;
}

}  // namespace detail

namespace {

bool non_empty(const std::optional<std::string>& s) { return s && !s->empty(); }

BackfillResult capture(const fs::path& repo_root, const std::string& sha, const CaptureOptions& o) {
  const fs::path& git_cwd = o.worktree ? *o.worktree : repo_root;
  // The developer's identity: from git's config files when they answer it,
  // else asked of git beside the commit's metadata, not after it, so that
  // the two git calls overlap instead of adding up.
  std::optional<json::Value> developer_known;
  std::future<std::optional<json::Value>> developer_read;
  if (o.attribute_ambient) developer_known = shared::detect_git_author_from_files(repo_root);
  if (o.attribute_ambient && !developer_known)
    developer_read = std::async(std::launch::async, [&repo_root] {
      return utils::best_effort_or(
          std::nullopt, "Developer identity detection failed", {.audible = false},
          [&]() -> std::optional<json::Value> { return shared::detect_git_author(repo_root); });
    });
  // The id and the metadata the record shows, in one git call.
  auto shown = detail::commit_metadata(git_cwd, sha);
  if (!shown) return {.commit = sha, .written = false, .reason = REASON_NO_SUCH_COMMIT};
  const std::optional<std::string> full = shown->id;
  std::optional<std::string> worktree_branch;
  if (o.worktree) worktree_branch = detail::head_branch(*o.worktree);
  // A pending attestation is filed even when another trigger recorded the
  // commit first: it upgrades that record in place.
  std::error_code ec;
  if (o.consume_pending && fs::exists(paths::commit_attestation(repo_root), ec)) {
    auto result = process_pending_attestation(repo_root, full, {.handoff = o.handoff, .head_branch = worktree_branch});
    if (result.error && !result.error->empty()) return {.commit = *full, .written = false, .reason = *result.error};
    if (result.matched_commit == *full) return {.commit = *full, .written = true, .attested = true};
    // Filed under another commit (matched by its diff hash), or by another
    // trigger: this one still gets its own record below, unless recorded.
  }
  if (detail::already_recorded(repo_root, *full))
    return {.commit = *full, .written = false, .reason = REASON_ALREADY_RECORDED};

  agents::AdapterPtr named = non_empty(o.agent) ? agents::get_adapter_by_name(*o.agent) : nullptr;
  agents::AdapterPtr adapter;
  std::optional<json::Value> telemetry;
  std::optional<std::string> session_id = o.session_id;

  if (non_empty(session_id)) {
    std::vector<agents::AdapterPtr> candidates;
    if (named) candidates.push_back(named);
    for (auto& a : agents::iter_adapters())
      if (!named || a->name() != named->name()) candidates.push_back(a);
    for (auto& candidate : candidates) {
      auto t = detail::adapter_telemetry(*candidate, repo_root, session_id, o.source);
      if (t && truthy(*t)) {
        adapter = candidate;
        telemetry = std::move(t);
        break;
      }
    }
    // A harness that declared itself stays on the record even when it cannot
    // find the session in its store.
    if (!adapter) adapter = named;
  } else if (o.attribute_ambient) {
    // No agent that can be told, or no session it can name, is the answer
    // "none": the record says unknown.
    adapter = utils::best_effort_or(nullptr, utils::unlogged, [] { return agents::detect_active_agent(); });
    if (adapter) {
      session_id = utils::best_effort_or(std::nullopt, utils::unlogged, [&]() -> std::optional<std::string> {
        return adapter->get_session_id(repo_root);
      });
      telemetry = detail::adapter_telemetry(*adapter, repo_root, session_id, o.source);
    }
  }

  std::optional<json::Value> developer = std::move(developer_known);
  if (developer_read.valid()) developer = developer_read.get();

  std::optional<std::string> branch;
  if (o.attribute_ambient) branch = worktree_branch ? worktree_branch : detail::head_branch(repo_root);

  return detail::write_commit_record(
      repo_root, *full,
      {.source = o.source,
       .agent_name = adapter ? adapter->name() : std::string("unknown"),
       .agent_provider = adapter ? std::optional<std::string>(adapter->provider()) : std::nullopt,
       .session_id = adapter ? session_id : std::nullopt,
       .telemetry = telemetry,
       .task_type = std::nullopt,
       .archive_ledger = true,
       .branch = branch,
       .developer = developer,
       .developer_from_commit = !o.attribute_ambient,
       .event = o.event,
       // The branch just read is HEAD's in repo_root: the log line reuses it.
       .head_branch = branch,
       .handoff = o.handoff,
       .shown = std::move(shown)});
}

}  // namespace

BackfillResult capture_commit(const fs::path& repo_root, const std::string& sha,
                              const CaptureOptions& options) noexcept {
  try {
    return capture(repo_root, sha, options);
  } catch (...) {  // becomes the result's reason, classified below
    auto e = std::current_exception();
    try {
      logging::debug_exc_fmt(e, "capture_commit failed for %s (best-effort)", sha);
      std::string reason;
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& ex) {
        reason = error_summary(ex);
      } catch (...) {  // classifying: no standard exception, no text to give
        reason = error_kind(e) + ": ";
      }
      return {.commit = sha, .written = false, .reason = reason};
    } catch (...) {  // the reason cannot even be built: the fixed one
      return {.commit = sha, .written = false, .reason = "capture failed"};
    }
  }
}

std::optional<std::string> record_commit(const fs::path& repo_root, const std::string& event,
                                         const std::optional<RecordHandoff>& handoff,
                                         const std::optional<fs::path>& worktree) noexcept {
  auto result = capture_commit(repo_root, "HEAD",
                               {.source = "post_commit", .event = event, .handoff = handoff, .worktree = worktree});
  if (result.written || result.reason == REASON_ALREADY_RECORDED) return result.commit;
  return std::nullopt;
}

}  // namespace brenik::services::tolvern
