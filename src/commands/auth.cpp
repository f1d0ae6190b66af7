// `brenik auth`: registered here once it is built.
#include "commands/cli.hpp"

namespace brenik::commands {

void register_auth(CLI::App& /*app*/, Context& /*ctx*/) {}

}  // namespace brenik::commands
