// The live ledger of an in-flight change: one JSONL file per change slug
// under `.brenik/ledger/`, and the pointers that name the change being
// worked on. Commit records seal a change's ledger and archive it beside the
// attestation of the commit that completed it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "utils/json.hpp"

namespace brenik::services::ledger_service {

namespace fs = std::filesystem;

struct MarkMilestoneOptions {
  json::Value evidence = json::Value::object();
};

// Whether the change's ledger carries its "sealed" milestone.
bool is_sealed(const fs::path& repo_root, const std::string& slug);

// Appends a milestone event to the change's ledger (created when missing).
void mark_milestone(const fs::path& repo_root, const std::string& slug, const std::string& milestone,
                    const MarkMilestoneOptions& options = {});

// Appends any event object to the change's ledger (stamped with a time).
void append_event(const fs::path& repo_root, const std::string& slug, json::Value event);

// Drops every live pointer that names this change.
void clear_pointers_for_slug(const fs::path& repo_root, const std::string& slug);

// Points `name` (for example "current") at a change.
void set_pointer(const fs::path& repo_root, const std::string& name, const std::string& slug);
json::Value read_pointers(const fs::path& repo_root);

// The process section an attestation carries, derived from the change's
// live ledger: slug, milestones in order, event count, first and last event
// times, sealed. None when there is no live ledger.
std::optional<json::Value> derive_process_section(const fs::path& repo_root, const std::string& slug);

}  // namespace brenik::services::ledger_service
