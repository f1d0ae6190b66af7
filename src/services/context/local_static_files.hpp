// The local copies that follow the server's lists (spec domains, canonical
// documents) and the example attestation this build ships.
#pragma once

#include <filesystem>
#include <set>
#include <string>

namespace brenik::services::tolvern::detail {

namespace fs = std::filesystem;

// Removes the spec domain folders the server no longer serves; files in the
// specs folder and links are never touched. A missing specs folder (or a
// link in its place) is left alone. Throws OSError when the folder cannot
// be listed; removal errors are ignored.
void prune_spec_dirs(const fs::path& repo_root, const std::set<std::string>& server_domains);

// Deletes the canonical documents ("<name>.md" files, or links of that name,
// never what they point to) the server no longer serves; other files and
// folders are never touched. Throws OSError
// when the folder cannot be listed.
void prune_canonical_docs_dir(const fs::path& repo_root, const std::set<std::string>& server_names);

}  // namespace brenik::services::tolvern::detail
