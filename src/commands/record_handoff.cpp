// `brenik record-handoff` (hidden): the detached process to which a commit
// trigger hands its record when another process holds the log's lock, so
// that the commit does not wait for it. Reads the record from standard
// input, waits for the lock, writes it. Prints nothing.
#include <iostream>
#include <iterator>

#include "commands/cli.hpp"
#include "services/tolvern.hpp"
#include "utils/best_effort.hpp"
#include "utils/process.hpp"

namespace brenik::commands {

namespace tolvern = services::tolvern;

std::optional<tolvern::RecordHandoff> commit_trigger_handoff() {
  auto self = utils::current_executable();
  if (!self) return std::nullopt;
  return tolvern::RecordHandoff{.program = *self};
}

void register_record_handoff(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand("record-handoff", "");
  cmd->group("");  // internal: started by brenik itself
  // The status tells the committer whether its record went in.
  on_run(cmd, ctx, [&ctx] {
    return utils::best_effort_or(1, "handed-off record not filed", {.audible = false}, [&] {
      const std::string handed =
          ctx.preread_stdin ? *ctx.preread_stdin : std::string(std::istreambuf_iterator<char>(std::cin), {});
      tolvern::write_handed_off_record(handed);
      return 0;
    });
  });
}

}  // namespace brenik::commands
