// Who is signed in and which project this repository is linked to, read
// from local files only (no server call): what the commit hook needs to
// decide whether it may upload.
#pragma once

#include <filesystem>
#include <string>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

struct Session {
  bool connected = false;  // an API key and a linked project are both known
  std::string api_key;
  std::string api_url;
  json::Value project_id;  // null when the repository is not linked yet
};

// Never throws.
Session resolve_session(const fs::path& repo_root) noexcept;

}  // namespace brenik::services::tolvern

#pragma GCC visibility pop
