#include "services/capture/pending.hpp"

#include <cerrno>
#include <system_error>

#include "agents/registry.hpp"
#include "paths/paths.hpp"
#include "services/capture/capture.hpp"
#include "services/ledger/commit_records.hpp"
#include "services/git/git.hpp"
#include "services/ledger/ledger_service.hpp"
#include "services/context/rules_cache_state.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/file_stamp.hpp"
#include "utils/filelock.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/text.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::tolvern {

namespace {

bool path_exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

// An older layout kept its log at the repository root; its lines are moved
// into the current log once, unchanged.
void migrate_legacy_log(const fs::path& repo_root) {
  const auto legacy = paths::legacy_log(repo_root);
  if (!path_exists(legacy)) return;
  const auto log_path = paths::log_jsonl(repo_root);
  {
    auto guard = utils::locked(log_path);
    std::string text = utils::read_confined(legacy);  // a link at the root is not our log
    utils::make_dirs(log_path.parent_path());
    // Never glue the first migrated line onto a line left unfinished.
    auto current = utils::try_read_file(log_path);
    if (current && !current->empty() && current->back() != '\n' && !text.empty()) text.insert(0, "\n");
    utils::append_file(log_path, text);
  }
  utils::remove_file(legacy);
}

// The agent's process section is replaced by what the live ledger says, or
// dropped when nothing backs it.
void derive_process(json::Value& parsed, const fs::path& repo_root, const std::optional<std::string>& commit) {
  utils::best_effort("Process section derivation skipped (best-effort)", {.audible = false}, [&] {
    std::string slug;
    auto slugs = shared::extract_change_spec_slugs(parsed);
    if (!slugs.empty()) {
      slug = slugs.front();
    } else if (member(parsed, "process").is_object()) {
      slug = text_member(parsed["process"], "slug");
    }
    if (slug.empty()) return;
    auto section = ledger_service::derive_process_section(repo_root, slug);
    if (section) {
      parsed["process"] = *section;
    } else if (!path_exists(paths::archived_ledger(repo_root, commit.value_or("HEAD")))) {
      parsed.erase("process");
    }
  });
}

}  // namespace

namespace detail {

void enrich_attestation(json::Value& parsed, const fs::path& repo_root) noexcept {
  if (!parsed.is_object()) return;
  utils::best_effort("rules.available enrichment skipped", {.audible = false}, [&] {
    const auto state = read_rules_cache_state(paths::platform_dir(repo_root));
    if (!member(parsed, "rules").is_object()) parsed["rules"] = json::Value::object();
    parsed["rules"]["available"] = state.trustworthy() ? json::Value(*state.count) : json::Value(nullptr);
  });

  utils::best_effort("Developer identity detection failed", {.audible = false}, [&] {
    if (!truthy(member(parsed, "developer"))) {
      auto developer = shared::detect_git_author(repo_root);
      if (truthy(developer)) parsed["developer"] = developer;
    }
  });

  const agents::AdapterPtr adapter = utils::best_effort_or(
      agents::AdapterPtr(), "Agent detection failed", {.audible = false}, [] { return agents::detect_active_agent(); });
  if (!adapter) return;

  // Enrichment only fills gaps; whatever went wrong leaves the agent's text.
  utils::best_effort("Agent enrichment failed", {.audible = false}, [&] {
    if (truthy(member(parsed, "agent"))) {
      utils::best_effort("Agent name normalization failed", {.audible = false},
                         [&] { parsed["agent"] = agents::normalize_agent_name(json::text_form(parsed["agent"])); });
    } else if (!adapter->name().empty()) {
      parsed["agent"] = adapter->name();
      if (!adapter->provider().empty() && !truthy(member(parsed, "agent_provider")))
        parsed["agent_provider"] = adapter->provider();
    }

    if (truthy(member(parsed, "telemetry")) && truthy(member(parsed, "agent_session_id"))) return;

    if (!truthy(member(parsed, "agent_session_id"))) {
      utils::best_effort("Per-adapter session id lookup failed", {.audible = false}, [&] {
        auto sid = adapter->get_session_id(repo_root);
        if (sid && !sid->empty()) parsed["agent_session_id"] = *sid;
      });
    }

    if (!truthy(member(parsed, "telemetry"))) {
      const auto& sid_value = member(parsed, "agent_session_id");
      std::optional<std::string> sid;
      if (truthy(sid_value)) sid = json::text_form(sid_value);
      auto telemetry = adapter_telemetry(*adapter, repo_root, sid, "adapter_direct");
      if (telemetry && truthy(*telemetry)) parsed["telemetry"] = *telemetry;
    }
    if (!truthy(member(parsed, "telemetry"))) logging::warning("No telemetry source for %s", adapter->name());
  });
}

}  // namespace detail

AttestationResult process_pending_attestation(const fs::path& repo_root,
                                              const std::optional<std::string>& commit_override,
                                              const ProcessPendingOptions& options) {
  const auto pending = paths::commit_attestation(repo_root);
  if (!path_exists(pending)) return {};

  migrate_legacy_log(repo_root);

  AttestationResult result;
  result.found = true;

  // What was read is filed only while the file is still in that state: a
  // trigger that raced us to it has filed and removed it.
  const auto read_stamp = utils::file_stamp(pending);
  std::string text;
  try {
    auto content = utils::read_small_regular_file(pending, detail::MAX_PENDING_ATTESTATION_BYTES);
    // An attestation is a page of text: anything far larger would make a
    // record the server refuses, and parsing it would hold up the commit.
    if (!content) {
      result.error = "attestation file is larger than " + std::to_string(detail::MAX_PENDING_ATTESTATION_BYTES) +
                     " bytes; kept for correction";
      logging::warning("Could not read attestation file: %s", *result.error);
      return result;
    }
    text = std::move(*content);
  } catch (const OSError& e) {
    if (e.error_number() == ENOENT) return {};  // filed by another trigger meanwhile
    logging::warning("Could not read attestation file: %s", e);
    result.error = e.what();
    return result;
  }
  // A file that is not UTF-8 text cannot be read as YAML; it is kept so the
  // agent can rewrite it, rather than filed as an empty attestation.
  if (!utils::is_valid_utf8(text)) {
    result.error = "attestation file is not valid UTF-8 text; kept for correction";
    logging::warning("Could not read attestation file: %s", *result.error);
    return result;
  }

  json::Value parsed;
  try {
    parsed = detail::parse_attestation_yaml(text);
  } catch (const YAMLError& e) {
    // Filing it would lose the agent's text under an empty record.
    result.error = std::string("attestation file is not valid YAML (") + e.what() + "); kept for correction";
    logging::warning("Could not read attestation file: %s", *result.error);
    return result;
  }
  // Only a mapping can carry an attestation's fields: anything else would be
  // archived as a shapeless record and the agent's file lost.
  if (!parsed.is_object()) {
    result.error = std::string("attestation file does not hold a YAML mapping (found ") + json::type_name(parsed) +
                   "); kept for correction";
    logging::warning("Could not read attestation file: %s", *result.error);
    return result;
  }
  detail::enrich_attestation(parsed, repo_root);

  std::string diff_hash = json::text_form(member(parsed, "staged_diff_hash"));
  if (diff_hash.empty()) diff_hash = json::text_form(member(parsed, "diff_hash"));

  std::optional<std::string> commit = detail::find_commit_by_diff_hash(diff_hash);
  if (!commit) commit = commit_override;

  derive_process(parsed, repo_root, commit);
  result.change_spec_slugs = shared::extract_change_spec_slugs(parsed);

  // An attestation upgrades the line of a commit recorded without one, so
  // the commit keeps one line and the attestation wins.
  detail::FiledRecord filed;
  try {
    filed = detail::file_attestation(paths::log_jsonl(repo_root), paths::attestations_dir(repo_root), parsed,
                                     {.commit_override = commit,
                                      .repo_root = repo_root,
                                      .head_branch = options.head_branch,
                                      .from_pending = read_stamp.value_or(utils::FileStamp{}),
                                      .handoff = options.handoff});
  } catch (const OSError& e) {
    logging::warning("Could not archive attestation: %s", e);
    result.error = e.what();
    return result;
  }
  if (filed.written) result.matched_commit = commit;
  return result;
}

BackfillResult attach_pending_attestation(const fs::path& repo_root, const std::string& commit) {
  auto full = detail::resolve_full_sha(repo_root, commit);
  if (!full) return {.commit = commit, .written = false, .reason = REASON_NO_SUCH_COMMIT};
  if (!path_exists(paths::commit_attestation(repo_root)))
    return {.commit = *full, .written = false, .reason = REASON_NO_PENDING_FILE};
  auto result = process_pending_attestation(repo_root, full);
  if (result.error && !result.error->empty()) return {.commit = *full, .written = false, .reason = *result.error};
  // Another trigger may have filed the file first, or its diff hash named
  // another commit: this commit did not get it, and must not be told so.
  if (!result.matched_commit)
    return {.commit = *full, .written = false, .reason = "the pending attestation was filed by another trigger"};
  if (*result.matched_commit != *full)
    return {.commit = *full,
            .written = false,
            .reason = "the pending attestation matches commit " + *result.matched_commit + " by its diff hash"};
  return {.commit = *full, .written = true, .attested = true};
}

}  // namespace brenik::services::tolvern
