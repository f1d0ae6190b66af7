// `brenik setup`: prepares a repository (configuration stamp, ignore
// entries, post-commit hook, example attestation) and the user's harness
// hooks. Running it again changes nothing.
#include <memory>

#include "commands/cli.hpp"
#include "display/output.hpp"
#include "hooks/installer.hpp"
#include "services/shared.hpp"

namespace brenik::commands {

namespace out = display::output;
namespace inst = hooks::installer;

void register_setup(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand(
      "setup", "Set up brenik in this repository: configuration, .gitignore entries, the git "
               "post-commit hook and the agent harness hooks.");
  auto no_harness = std::make_shared<bool>(false);
  cmd->add_flag("--no-harness-hooks", *no_harness,
                "Leave user-level harness settings (~/.claude, ~/.codex) alone.");
  cmd->callback([no_harness, &ctx] {
    const auto& o = out::standard();
    const auto root = repo_root_or_error(o, NOT_IN_REPOSITORY);
    if (!root) {
      ctx.exit_code = 1;
      return;
    }
    inst::SetupOptions options{.harness_hooks = !*no_harness, .brenik = inst::brenik_command()};
    auto steps = inst::run_setup(*root, options);
    bool failed = false;
    for (const auto& s : steps) {
      const std::string line = s.what + ": " + s.detail;
      switch (s.status) {
        case inst::Status::changed: out::success(o, line); break;
        case inst::Status::unchanged: out::info(o, line); break;
        case inst::Status::skipped: out::info(o, line); break;
        case inst::Status::failed: out::warning(o, line); failed = true; break;
      }
      for (const auto& n : s.notes) out::console_print(o, "  " + n);
    }
    if (failed) {
      out::error(o, "Setup did not finish every step; see the messages above.");
      ctx.exit_code = 1;
    }
  });
}

}  // namespace brenik::commands
