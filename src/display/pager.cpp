#include "display/pager.hpp"

#include <cstdlib>
#include <iostream>
#include <map>

#include "services/tolvern.hpp"
#include "utils/process.hpp"

namespace brenik::display::pager {

namespace {

std::optional<std::string> env_text(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

std::optional<std::string> wanted(const std::string& command) {
  const std::string c = utils::strip(command);
  if (c.empty() || c == "cat") return std::nullopt;
  return c;
}

}  // namespace

std::optional<std::string> pager_command(const std::filesystem::path& repo_root) {
  if (auto v = env_text("GIT_PAGER")) return wanted(*v);
  if (auto configured = services::tolvern::git_config_value(repo_root, "core.pager")) return wanted(*configured);
  if (auto v = env_text("PAGER")) return wanted(*v);
  return "less";
}

std::vector<std::string> pager_argv(const std::string& command) {
  // The characters that make git hand a command to the shell.
  if (command.find_first_of("|&;<>()$`\\\"' \t\n*?[#~=%") == std::string::npos) return {command};
  return {"sh", "-c", command};
}

void page(const std::string& text, const std::filesystem::path& repo_root, bool to_terminal) {
  if (to_terminal) {
    if (auto command = pager_command(repo_root)) {
      std::map<std::string, std::optional<std::string>> env;
      // Quit when it fits on one screen, keep colours, leave the screen as is.
      if (!std::getenv("LESS")) env["LESS"] = "FRX";
      if (!std::getenv("LV")) env["LV"] = "-c";
      std::cout.flush();
      auto r = utils::run(pager_argv(*command),
                          {.timeout_seconds = std::nullopt, .inherit_output = true, .stdin_data = text, .env = env});
      if (r.status != utils::RunStatus::start_failed) return;
    }
  }
  std::cout << text;
  std::cout.flush();
}

}  // namespace brenik::display::pager
