// `brenik git-hook NAME [ARGS]` (hidden): what the git hooks installed by
// `brenik setup` run, in whichever worktree fired them. post-commit,
// post-merge and post-rewrite print nothing and end 0; pre-commit prints one
// line when the pending attestation names other changes, and ends 1 only
// when the configuration asks to refuse such a commit.
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "commands/cli.hpp"
#include "services/tolvern.hpp"
#include "utils/best_effort.hpp"

namespace brenik::commands {

namespace tolvern = services::tolvern;
namespace hooks = services::tolvern::git_hooks;

void register_git_hook(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand("git-hook", "");
  cmd->group("");  // internal: run by the git hooks
  auto args = std::make_shared<std::vector<std::string>>();
  cmd->add_option("args", *args)->expected(1, 8);
  on_run(cmd, ctx, [args, &ctx] {
    // A hook never fails git, save the refusal of a strict pre-commit check.
    return utils::best_effort_or(0, "git hook failed (best-effort)", {.audible = false}, [&] {
      const std::string name = args->empty() ? std::string() : args->front();
      const auto worktree = services::shared::get_worktree_root();
      // A committed hook line (husky, lefthook) runs in every clone: one
      // that never ran setup is left alone.
      if (!services::shared::local_config_exists(services::shared::brenik_root(worktree))) return 0;
      const hooks::HookContext hc{.worktree = worktree,
                                  .state_root = services::shared::brenik_root(worktree),
                                  .handoff = commit_trigger_handoff()};
      if (name == "post-commit") {
        if (hooks::on_post_commit(hc)) start_background_sync(hc.state_root, hc.worktree);
      } else if (name == "post-merge") {
        hooks::on_post_merge(hc);
      } else if (name == "post-rewrite") {
        const std::string kind = args->size() > 1 ? (*args)[1] : std::string();
        const std::string input =
            ctx.preread_stdin ? *ctx.preread_stdin : std::string(std::istreambuf_iterator<char>(std::cin), {});
        hooks::on_post_rewrite(hc, kind, input);
      } else if (name == "pre-commit") {
        const auto check = hooks::check_pre_commit(hc);
        if (!check.message.empty()) std::cerr << check.message << "\n";
        if (check.refuse) return 1;
      }
      return 0;
    });
  });
}

}  // namespace brenik::commands
