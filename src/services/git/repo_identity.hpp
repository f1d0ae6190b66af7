// Which repository this is, as the server knows it: its origin remote.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace brenik::services::repo_identity {

// `git config --get remote.origin.url` in the repository (10 s limit),
// trimmed; none when there is no origin remote or git fails. Never throws.
std::optional<std::string> origin_remote(const std::filesystem::path& repo_root) noexcept;

}  // namespace brenik::services::repo_identity
