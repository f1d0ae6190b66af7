// `brenik setup`: registered here once it is built.
#include "commands/cli.hpp"

namespace brenik::commands {

void register_setup(CLI::App& /*app*/, Context& /*ctx*/) {}

}  // namespace brenik::commands
