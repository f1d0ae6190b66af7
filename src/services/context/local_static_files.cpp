#include "services/context/local_static_files.hpp"

#include "hooks/scripts.hpp"
#include "paths/paths.hpp"
#include "services/context/cache_files.hpp"
#include "services/context/refresh.hpp"
#include "utils/best_effort.hpp"
#include "utils/logging.hpp"

namespace brenik::services::tolvern::detail {

void prune_spec_dirs(const fs::path& repo_root, const std::set<std::string>& server_domains) {
  const fs::path dir = paths::specs_dir(repo_root);
  if (!cache_files::is_real_dir(dir)) return;
  for (const auto& e : cache_files::list_dir(dir))
    if (e.type == cache_files::EntryType::directory && !server_domains.count(e.name))
      cache_files::remove_entry(dir, e.name);
}

void prune_canonical_docs_dir(const fs::path& repo_root, const std::set<std::string>& server_names) {
  const fs::path dir = paths::canonical_docs_dir(repo_root);
  if (!cache_files::is_real_dir(dir)) return;
  for (const auto& e : cache_files::list_dir(dir)) {
    // A link named like a document is removed itself, never followed.
    if (e.type != cache_files::EntryType::file && e.type != cache_files::EntryType::link) continue;
    const fs::path name(e.name);
    if (name.extension() != ".md" || server_names.count(name.stem().string())) continue;
    cache_files::remove_entry(dir, e.name);  // already gone is fine
  }
}

void refresh_local_static_files(const fs::path& repo_root) {
  utils::best_effort("Failed to refresh example-attestation.yaml", {.audible = false}, [&] {
    const fs::path file = paths::example_attestation(repo_root);
    // Unchanged text is not written again: the file keeps its time.
    cache_files::write_if_changed(file, hooks::scripts::example_attestation());
  });
}

}  // namespace brenik::services::tolvern::detail
