// The tolvern library's public operations: what the command line, its hooks,
// the agent-facing server and the development server call. Everything else
// under services/ is the library's own business.
//
//   record_commit, capture_commit                 capture/capture.hpp
//   process_pending_attestation,
//   attach_pending_attestation                    capture/pending.hpp
//   catch_up_commits, record_backfill             capture/catch_up.hpp
//   read_attestation_log, read_last_records       ledger/log_store.hpp
//   infer_task_type                               ledger/commit_records.hpp
//   upload_attestations                           upload/upload.hpp
//   resolve_project_id, resolve_if_unlinked,
//   remedy                                        upload/project_resolution.hpp
//   refresh_context_cache(_detailed)              context/refresh.hpp
//   brenik_debug_enabled                          context/debug_log.hpp
//   read_rules_cache_state                        context/rules_cache_state.hpp
//   ensure_platform_skills,
//   install_platform_skills                       skills/platform_skills.hpp
//   run_sync                                      sync/sync_run.hpp
//   generate_session_summary                      sync/session_summary.hpp
#pragma once

#include "services/capture/capture.hpp"
#include "services/capture/catch_up.hpp"
#include "services/capture/pending.hpp"
#include "services/context/debug_log.hpp"
#include "services/context/refresh.hpp"
#include "services/context/rules_cache_state.hpp"
#include "services/ledger/commit_records.hpp"
#include "services/ledger/log_store.hpp"
#include "services/skills/platform_skills.hpp"
#include "services/sync/session_summary.hpp"
#include "services/sync/sync_run.hpp"
#include "services/upload/project_resolution.hpp"
#include "services/upload/upload.hpp"
