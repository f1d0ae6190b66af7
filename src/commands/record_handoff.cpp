// `brenik record-handoff` (hidden): the detached process to which a commit
// trigger hands its record when another process holds the log's lock, so
// that the commit does not wait for it. Reads the record from standard
// input, waits for the lock, writes it. Prints nothing.
#include <iostream>
#include <iterator>

#include "commands/cli.hpp"
#include "services/tolvern.hpp"
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
  cmd->callback([&ctx] {
    try {
      const std::string handed =
          ctx.preread_stdin ? *ctx.preread_stdin : std::string(std::istreambuf_iterator<char>(std::cin), {});
      tolvern::write_handed_off_record(handed);
      ctx.exit_code = 0;
    } catch (...) {
      ctx.exit_code = 1;
    }
  });
}

}  // namespace brenik::commands
