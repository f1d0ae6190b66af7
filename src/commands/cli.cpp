#include "commands/cli.hpp"

#include <exception>

#include "services/tolvern.hpp"

namespace brenik::commands {

std::optional<std::filesystem::path> repo_root_or_error(const display::output::Output& o, std::string_view message) {
  try {
    return services::shared::get_repo_root();
  } catch (const std::exception&) {
    display::output::error(o, message);
    return std::nullopt;
  }
}

}  // namespace brenik::commands
