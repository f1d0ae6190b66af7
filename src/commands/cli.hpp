// What every command module of the command-line tool shares: the parsed
// invocation's context and the registration hooks of the command groups.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

namespace brenik::commands {

// Per-invocation state handed to every command.
struct Context {
  // Standard input already read by the launcher (the harness hook payload).
  std::optional<std::string> preread_stdin;
  // The exit status a command asks for (set by its callback).
  int exit_code = 0;
};

// Thrown by a command body to end the process with a status after it has
// printed what it had to say.
struct Exit {
  int code;
};

void register_attest(CLI::App& app, Context& ctx);
void register_sync(CLI::App& app, Context& ctx);
void register_setup(CLI::App& app, Context& ctx);
void register_status(CLI::App& app, Context& ctx);
void register_session_start(CLI::App& app, Context& ctx);
void register_auth(CLI::App& app, Context& ctx);

}  // namespace brenik::commands
