#include "services/git/repo_reads.hpp"

#include <charconv>

#include "services/git/git.hpp"

namespace brenik::services::tolvern {

std::vector<std::string> tracked_files(const std::filesystem::path& worktree, const std::string& dir) {
  // The list is read, not trusted to a monitor the repository configures.
  const std::string listed =
      detail::git({"-c", "core.fsmonitor=false", "ls-files", "-z", "--", dir}, {.cwd = worktree});
  std::vector<std::string> files;
  std::size_t start = 0;
  while (start < listed.size()) {
    std::size_t end = listed.find('\0', start);
    if (end == std::string::npos) end = listed.size();
    if (end > start) files.push_back(listed.substr(start, end - start));
    start = end + 1;
  }
  return files;
}

std::optional<long long> head_commit_time(const std::filesystem::path& worktree) {
  const std::string answer = detail::git({"log", "-1", "--format=%ct", "HEAD"}, {.cwd = worktree});
  long long committed = 0;
  const auto [end, ec] = std::from_chars(answer.data(), answer.data() + answer.size(), committed);
  if (answer.empty() || ec != std::errc() || end != answer.data() + answer.size()) return std::nullopt;
  return committed;
}

std::optional<std::string> git_config_value(const std::filesystem::path& worktree, const std::string& key) {
  auto configured = detail::git_output({"config", "--get", key}, {.cwd = worktree});
  if (!configured.ok) return std::nullopt;
  return std::move(configured.out);
}

}  // namespace brenik::services::tolvern
