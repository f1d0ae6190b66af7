// The first-run anchor: on a repository that has never recorded a commit,
// the moment the tool was set up here, below which the first catch-up does
// not reach (history from before the install was never ours to record).
#pragma once

#include <filesystem>
#include <optional>

namespace brenik::services::tolvern::detail {

namespace fs = std::filesystem;

// No non-empty log and no archived attestation.
bool nothing_recorded_yet(const fs::path& repo_root) noexcept;

// The configuration's installed_at stamp as whole epoch seconds, or none.
std::optional<double> installed_at(const fs::path& repo_root) noexcept;

// The stamp, else the modification time of the first configuration file
// that can be read (whole seconds), else none.
std::optional<double> config_anchor(const fs::path& repo_root) noexcept;

}  // namespace brenik::services::tolvern::detail
