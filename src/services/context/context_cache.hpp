// The context cache files of the platform directory and their bookkeeping
// in the local configuration (entity tags, fetch statuses, last sync), and
// the record of on-demand cache fill attempts.
//
//   .brenik/.platform/
//     context.json, system-context.json     the project context as served
//     brenikrules.yaml, brenikstate.yaml    the declarative state's resources
//     specs/<domain>/index.md               one folder per domain
//     docs/<name>.md                        canonical documents
//     hydrate-attempts.json                 on-demand fill attempts
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "utils/json.hpp"

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

// Name of the file holding a domain's text inside its folder.
inline constexpr const char* DOMAIN_TEXT_FILE = "index.md";

struct CacheFilesOptions {
  json::Value system_context = nullptr;
  // Resource name -> payload, only for resources the server sent afresh.
  json::Value declarative_state = json::Value::object();
  // Domain -> text; none: the server sent no list, the copies stay as they are.
  std::optional<json::Value> specs = std::nullopt;
  // Document name -> text; none as for specs.
  std::optional<json::Value> canonical_docs = std::nullopt;
  json::Value etags = json::Value::object();           // stored as cache.etags
  json::Value fetch_statuses = json::Value::object();  // stored as cache.fetch_status
};

// Writes the cache files (each only when its content changed) and stores the
// bookkeeping in the local configuration. Names that are not safe as one
// path component are skipped. Throws OSError (and YAML/JSON errors of the
// configuration) on failure.
void write_cache_files(const fs::path& repo_root, const json::Value& context, const CacheFilesOptions& options);

// The rules file written from the declarative state's rules resource: the
// resource itself, plus the entries of the old file's `constraints` section
// that the resource does not name (the guardrails merged in by earlier
// refreshes stay until the next merge replaces them).
json::Value rules_document(const json::Value& resource, const json::Value& old_rules);

// On-demand fills of the cache (a reader that found a resource missing and
// asked the server for it) are recorded so that a failing one is not
// retried on every read; a full refresh forgets them all.
void record_hydrate_attempt(const fs::path& repo_root, const std::string& resource, double when_epoch);
std::optional<double> last_hydrate_attempt(const fs::path& repo_root, const std::string& resource) noexcept;
// Throws OSError when the record exists but cannot be removed.
void clear_all_hydrate_attempts(const fs::path& repo_root);

namespace detail {
fs::path hydrate_attempts_file(const fs::path& repo_root);
fs::path spec_file(const fs::path& repo_root, const std::string& domain);
fs::path canonical_doc_file(const fs::path& repo_root, const std::string& name);
}  // namespace detail

}  // namespace brenik::services::tolvern
