// git's configuration read from its files, for the plain case only: the
// settings a `git config` run in a work tree would see, or none whenever
// git might see something else (includes, quoting, settings passed in the
// environment...), so that the caller asks git instead.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "services/git/git_files.hpp"

namespace brenik::services::tolvern::detail {

struct ConfigSetting {
  std::string key;        // as git prints it: section, subsection, name
  std::string value;      // raw bytes
  bool has_value = true;  // false for a name without "=" (git's "true")
};

// Every setting of one config file's text in its order, or none when the
// text holds anything beyond the plain syntax.
std::optional<std::vector<ConfigSetting>> parse_config_text(std::string_view text);

// The settings of the system, global, repository and (when enabled) work
// tree files, in git's order (a later one wins), for the repository whose
// directories are `dirs`. None at the first doubt.
std::optional<std::vector<ConfigSetting>> read_config_files(const GitDirs& dirs);

// What `git config --get-regexp '^user\.(name|email)$'` run in `cwd` prints,
// stripped as `git()` gives it ("" when nothing is set): read from the files
// when that is certain to be the same, else from git.
std::string user_identity_config(const fs::path& cwd);
// The same read from the files only; none when git must be asked.
std::optional<std::string> user_identity_config_from_files(const fs::path& cwd) noexcept;

}  // namespace brenik::services::tolvern::detail
