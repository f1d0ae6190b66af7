// "Did you mean" for a mistyped command or option, as git and cargo answer.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace brenik::commands {

// The closest of `candidates` to `typed`, when one is close enough.
std::optional<std::string> closest(const std::string& typed, const std::vector<std::string>& candidates);

// The refusal of a command line whose command or subcommand does not exist
// ("'stauts' is not a brenik command. Did you mean 'status'?"), or none.
std::optional<std::string> unknown_command(const CLI::App& app, const std::vector<std::string>& args);

// For a parse failure caused by an option the command does not have: the
// refusal naming it, with the closest option it does have. None otherwise.
std::optional<std::string> option_hint(CLI::App& app, const CLI::ParseError& error,
                                       const std::vector<std::string>& args);

}  // namespace brenik::commands
