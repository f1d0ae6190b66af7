// The tolvern library's public interface: what the command line, its hooks,
// the agent-facing server and the development server call. A caller
// includes this header (and the interface layers utils/, paths/, agents/,
// protocol/, hooks/), never a services/ folder's header. Each header below
// exports its public operations; its `detail` namespace stays inside the
// library (see CMakeLists.txt).
#pragma once

// Local configuration, the attestation fields, the repository's reads.
//   load_local_config, get_repo_root, validate_attestation_fields ...
//   tracked_files, head_commit_time, git_config_value
#include "services/capture/attestation_fields.hpp"
#include "services/git/repo_reads.hpp"
#include "services/shared.hpp"
#include "services/types.hpp"

// Recording commits: the commit triggers, the pending attestation, the
// catch-up, the git hooks' entry points and the agent's session.
//   record_commit, capture_commit, write_handed_off_record, infer_task_type
//   process_pending_attestation, attach_pending_attestation
//   catch_up_commits, record_backfill, git_hooks::on_post_commit ...
//   resolve_session
#include "services/capture/capture.hpp"
#include "services/capture/catch_up.hpp"
#include "services/capture/git_hooks.hpp"
#include "services/capture/pending.hpp"
#include "services/capture/session_context.hpp"
#include "services/ledger/commit_records.hpp"

// Reading the log and the records the server refused.
//   read_attestation_log, read_last_records, read_refused_records
#include "services/ledger/log_store.hpp"
#include "services/ledger/refused_records.hpp"

// Upload and the project this repository belongs to.
//   upload_attestations, resolve_project_id, resolve_if_unlinked, remedy
#include "services/upload/project_resolution.hpp"
#include "services/upload/upload.hpp"

// The local cache of rules and what a failed refresh leaves for debugging.
//   refresh_context_cache(_detailed), read_rules_cache_state, RULE_SECTIONS
//   brenik_debug_enabled, keep_debug_report
#include "services/context/debug_log.hpp"
#include "services/context/refresh.hpp"
#include "services/context/rules_cache_state.hpp"

// Platform skills.
//   ensure_platform_skills, install_platform_skills
#include "services/skills/platform_skills.hpp"

// Sync: the whole run, in the foreground or after a commit, and the session
// summary an agent starts with.
//   run_sync, run_sync_reported, run_background_sync, generate_session_summary
#include "services/sync/background_sync.hpp"
#include "services/sync/session_summary.hpp"
#include "services/sync/sync_run.hpp"

// Read-only views: history, one commit, blame.
//   list_history, describe_commit, blame_file, ArchiveDir
#include "services/views/blame.hpp"
#include "services/views/commit_detail.hpp"
#include "services/views/history.hpp"
#include "services/views/record_join.hpp"

// Export, signing and verification.
//   export_documents, lookup_records, sign_documents, verify_records ...
#include "services/export/exporter.hpp"
#include "services/export/records.hpp"
#include "services/export/ssh_sign.hpp"
#include "services/export/verify.hpp"

// The installation's health.
//   doctor::run_checks, doctor::to_json
#include "services/doctor/doctor.hpp"
