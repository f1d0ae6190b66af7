// `brenik session-start`: registered here once it is built.
#include "commands/cli.hpp"

namespace brenik::commands {

void register_session_start(CLI::App& /*app*/, Context& /*ctx*/) {}

}  // namespace brenik::commands
