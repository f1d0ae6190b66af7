// `brenik session-start`: the harness's session-start hook. Records the
// commits no other trigger saw, then prints the session summary in the form
// the harness adds to the agent's context.
#include <poll.h>
#include <unistd.h>

#include <iostream>

#include "agents/registry.hpp"
#include "commands/cli.hpp"
#include "commands/hook_output.hpp"
#include "paths/paths.hpp"
#include "services/tolvern.hpp"
#include "utils/truthy.hpp"

namespace brenik::commands {

namespace tolvern = services::tolvern;
namespace shared = services::shared;
namespace fs = std::filesystem;

namespace {

// The hook payload names the session's directory; a person running the
// command by hand has none. Standard input is read only when something is
// already waiting on it, so an idle inherited pipe never stalls the session.
std::optional<std::string> payload_cwd() {
  if (::isatty(0)) return std::nullopt;
  pollfd p{.fd = 0, .events = POLLIN, .revents = 0};
  if (::poll(&p, 1, 200) <= 0 || !(p.revents & (POLLIN | POLLHUP))) return std::nullopt;
  // The rest as every hook reads it: with a deadline, in case the harness
  // never closes the pipe, and a size cap.
  auto payload = shared::read_hook_payload();
  auto cwd = text_member(payload, "cwd");
  if (cwd.empty()) return std::nullopt;
  return cwd;
}

// Harnesses that read a JSON object from a session-start hook.
bool takes_hook_json(const std::string& agent) { return agent == "claude-code" || agent == "codex"; }

int run_session_start(const std::optional<std::string>& agent_flag) {
  std::optional<fs::path> start;
  if (auto cwd = payload_cwd()) start = fs::path(*cwd);
  fs::path repo_root;
  try {
    repo_root = shared::get_repo_root(start);
  } catch (const std::exception&) {
    return 0;  // not a repository: nothing to say
  }
  // The hook is installed per user and fires in every repository the harness
  // opens; only repositories set up for brenik get a summary.
  if (!shared::local_config_exists(repo_root)) return 0;

  tolvern::catch_up_commits(repo_root);

  std::optional<std::string> agent;
  if (agent_flag && !agent_flag->empty()) {
    agent = agents::normalize_agent_name(*agent_flag);
  } else if (auto active = agents::detect_active_agent()) {
    agent = active->name();
  }
  json::Value project_id;
  try {
    project_id = member(shared::load_local_config(repo_root), "project_id");
  } catch (const std::exception&) {
  }
  const std::string summary = tolvern::generate_session_summary(paths::platform_dir(repo_root), project_id, agent);
  // `--agent ""` with no harness active names no agent: plain text then.
  if (agent_flag && agent && takes_hook_json(*agent))
    std::cout << json::dumps(render_hook_context(*agent, "SessionStart", summary)) << "\n";
  else
    std::cout << summary << "\n";
  return 0;
}

}  // namespace

void register_session_start(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand("session-start",
                                     "Session-start hook: record commits no hook saw, then print the session summary.");
  auto agent = std::make_shared<std::string>();
  CLI::Option* agent_opt =
      cmd->add_option("--agent", *agent, "The harness this hook row was installed for (output in its hook format).");
  on_run(cmd, ctx, [agent, agent_opt] {
    std::optional<std::string> flag;
    if (agent_opt->count()) flag = *agent;
    try {
      return run_session_start(flag);
    } catch (const std::exception&) {
      // A session-start hook never blocks the agent.
      return 0;
    }
  });
}

}  // namespace brenik::commands
