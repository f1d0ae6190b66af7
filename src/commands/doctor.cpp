// `brenik doctor`: one line per problem with the command that fixes it,
// status 1 when anything is wrong; `--json` for scripts.
#include <cstdlib>
#include <iostream>
#include <memory>

#include "commands/cli.hpp"
#include "display/output.hpp"
#include "services/tolvern.hpp"

namespace brenik::commands {

namespace out = display::output;
namespace doctor = services::doctor;

void register_doctor(CLI::App& app, Context& ctx) {
  CLI::App* cmd =
      app.add_subcommand("doctor",
                         "Check that brenik's hooks are in place and run an existing brenik, that no hook manager "
                         "took git's hooks over, and the link, sign-in and Codex trust state.");
  auto as_json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *as_json, "Print the findings as one JSON object.");
  on_run(cmd, ctx, [as_json] {
    const auto& o = out::standard();
    const auto root = repo_root_or_error(o, NOT_IN_REPOSITORY);
    if (!root) return 1;
    doctor::DoctorOptions options;
    if (const char* h = std::getenv("HOME"); h && *h) options.home = h;
    const auto findings = doctor::run_checks(services::shared::get_worktree_root(*root), options);
    int problems = 0;
    for (const auto& f : findings) problems += f.ok ? 0 : 1;
    if (*as_json) {
      std::cout << json::dumps(doctor::to_json(findings), {.indent = 2}) << "\n";
    } else {
      for (const auto& f : findings)
        if (!f.ok) out::warning(o, f.check + ": " + f.detail + " — fix: " + f.fix);
      if (problems == 0)
        out::success(o, "No problems found (" + std::to_string(findings.size()) + " checks).");
      else
        out::error(o, std::to_string(problems) + (problems == 1 ? " problem" : " problems") + " found.");
    }
    return problems == 0 ? 0 : 1;
  });
}

}  // namespace brenik::commands
