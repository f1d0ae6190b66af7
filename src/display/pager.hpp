// Long command output shown the way git shows it: through the user's pager
// when standard output is a terminal, straight out otherwise.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brenik::display::pager {

// The pager command: GIT_PAGER, core.pager of the repository, PAGER, then
// "less". None when it is empty or "cat" (no pager wanted).
std::optional<std::string> pager_command(const std::filesystem::path& repo_root);

// The argument vector that runs `command`: the command itself when it is a
// plain program name or path, else `sh -c command` (as git does).
std::vector<std::string> pager_argv(const std::string& command);

// Writes `text` to standard output: through the pager when `to_terminal` is
// true and one is configured and starts, else directly.
void page(const std::string& text, const std::filesystem::path& repo_root, bool to_terminal);

}  // namespace brenik::display::pager
