#include "services/git/repo_identity.hpp"

#include "services/git/git.hpp"

namespace brenik::services::repo_identity {

std::optional<std::string> origin_remote(const std::filesystem::path& repo_root) noexcept {
  try {
    auto result = tolvern::detail::git_run({"config", "--get", "remote.origin.url"}, {.cwd = repo_root});
    if (!result.ok()) return std::nullopt;
    std::string url = utils::strip(result.out);
    if (url.empty()) return std::nullopt;
    return url;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace brenik::services::repo_identity
