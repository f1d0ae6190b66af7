#include "services/repo_identity.hpp"

#include "utils/process.hpp"

namespace brenik::services::repo_identity {

std::optional<std::string> origin_remote(const std::filesystem::path& repo_root) noexcept {
  try {
    auto result = utils::run({"git", "config", "--get", "remote.origin.url"},
                             {.cwd = repo_root, .timeout_seconds = 10.0});
    if (!result.ok()) return std::nullopt;
    std::string url = utils::strip(result.out);
    if (url.empty()) return std::nullopt;
    return url;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace brenik::services::repo_identity
