#include "services/git/repo_identity.hpp"

#include "services/git/git.hpp"
#include "utils/best_effort.hpp"

namespace brenik::services::repo_identity {

std::optional<std::string> origin_remote(const std::filesystem::path& repo_root) noexcept {
  // No origin, or git unable to say: the repository has no remote identity.
  return utils::best_effort_or(std::nullopt, utils::unlogged, [&]() -> std::optional<std::string> {
    auto result = tolvern::detail::git_run({"config", "--get", "remote.origin.url"}, {.cwd = repo_root});
    if (!result.ok()) return std::nullopt;
    std::string url = utils::strip(result.out);
    if (url.empty()) return std::nullopt;
    return url;
  });
}

}  // namespace brenik::services::repo_identity
