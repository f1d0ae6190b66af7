// `brenik setup`: prepares a repository (configuration stamp, ignore
// entries, post-commit hook, example attestation) and the user's harness
// hooks. Running it again changes nothing.
#include <memory>

#include "commands/cli.hpp"
#include "display/output.hpp"
#include "hooks/installer.hpp"
#include "hooks/removal.hpp"
#include "services/tolvern.hpp"

namespace brenik::commands {

namespace out = display::output;
namespace inst = hooks::installer;

void register_setup(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand("setup",
                                     "Set up brenik in this repository: configuration, .gitignore entries, the git "
                                     "post-commit hook and the agent harness hooks.");
  auto no_harness = std::make_shared<bool>(false);
  cmd->add_flag("--no-harness-hooks", *no_harness, "Leave user-level harness settings (~/.claude, ~/.codex) alone.");
  auto remove = std::make_shared<bool>(false);
  auto purge = std::make_shared<bool>(false);
  cmd->add_flag("--remove", *remove,
                "Undo setup and sync: hooks, ignore entries, guidance block, MCP entries, harness rows, "
                "configuration and caches. The log and archived attestations stay.");
  cmd->add_flag("--purge", *purge, "With --remove: remove .brenik/ entirely, the log included.");
  on_run(cmd, ctx, [no_harness, remove, purge] {
    const auto& o = out::standard();
    if (*purge && !*remove) {
      out::error(o, "--purge goes with --remove.");
      return 2;
    }
    const auto root = repo_root_or_error(o, NOT_IN_REPOSITORY);
    if (!root) return 1;
    std::vector<inst::StepReport> steps;
    if (*remove) {
      steps = hooks::removal::run_remove(*root, {.purge = *purge, .harness_hooks = !*no_harness});
    } else {
      inst::SetupOptions options{.harness_hooks = !*no_harness, .brenik = inst::brenik_command()};
      steps = inst::run_setup(*root, options);
    }
    bool failed = false;
    for (const auto& s : steps) {
      const std::string line = s.what + ": " + s.detail;
      switch (s.status) {
        case inst::Status::changed: out::success(o, line); break;
        case inst::Status::unchanged: out::info(o, line); break;
        case inst::Status::skipped: out::info(o, line); break;
        case inst::Status::failed:
          out::warning(o, line);
          failed = true;
          break;
      }
      for (const auto& n : s.notes) out::console_print(o, "  " + n);
    }
    if (failed) {
      out::error(o, std::string(*remove ? "Removal" : "Setup") + " did not finish every step; see the messages above.");
      return 1;
    }
    return 0;
  });
}

}  // namespace brenik::commands
