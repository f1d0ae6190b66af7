// Entry point of the command-line library, called by the `brenik` launcher.
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "commands/cli.hpp"
#include "commands/suggest.hpp"
#include "services/tolvern.hpp"
#include "utils/errors.hpp"
#include "utils/logging.hpp"

namespace {

// The hook entries run inside someone else's terminal or harness after every
// commit or session start: they stay silent unless debugging is on.
bool is_hook_entry(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--from-hook" || a == "--record-commit" || a == "session-start" || a == "record-handoff" ||
        a == "git-hook" || a == "background-sync")
      return true;
  }
  return false;
}

// Debug lines reach standard error only when debugging is switched on;
// warnings always do, except on the hook entries.
void install_log_sink(bool quiet) {
  const bool debug = brenik::services::tolvern::brenik_debug_enabled();
  brenik::logging::set_sink([debug, quiet](brenik::logging::Level level, std::string_view logger,
                                           const std::string& message) {
    if (!debug && (level == brenik::logging::Level::debug || quiet)) return;
    std::cerr << (level == brenik::logging::Level::debug ? "DEBUG " : "WARNING ") << logger << ": " << message << "\n";
  });
}

int run_cli(int argc, char** argv, const char* stdin_data, std::size_t stdin_len, int stdin_given) {
  using namespace brenik::commands;
  // The post-commit hook runs this after every commit: it is answered
  // without building the whole command line first.
  if (argc == 3 && std::string_view(argv[1]) == "sync" && std::string_view(argv[2]) == "--record-commit")
    return run_record_commit();
  Context ctx;
  if (stdin_given) ctx.preread_stdin = std::string(stdin_data, stdin_len);

  CLI::App app{
      "brenik: records which agent session wrote each commit, under which rules.\n"
      "Run `brenik setup` once in a repository; agents then attest before committing, every\n"
      "commit is recorded, and `brenik log`, `show` and `blame` answer who wrote what."};
  app.name("brenik");
  app.set_version_flag("--version", std::string("brenik ") + BRENIK_VERSION);
  app.require_subcommand(1);
  // The order of the help: what a new user runs first, first.
  register_setup(app, ctx);
  register_attest(app, ctx);
  register_status(app, ctx);
  register_doctor(app, ctx);
  register_log(app, ctx);
  register_show(app, ctx);
  register_blame(app, ctx);
  register_export(app, ctx);
  register_verify(app, ctx);
  register_sync(app, ctx);
  register_auth(app, ctx);
  register_mcp(app, ctx);
  register_session_start(app, ctx);
  register_record_handoff(app, ctx);
  register_git_hook(app, ctx);
  register_background_sync(app, ctx);
  // `brenik help [COMMAND...]` is `brenik [COMMAND...] --help`.
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "help") {
    args.erase(args.begin());
    args.push_back("--help");
  }
  // A bare `brenik` is a usage error, answered with the overview of what
  // there is to run rather than a one-line complaint.
  if (args.empty()) {
    std::cerr << app.help();
    return 2;
  }
  if (auto refusal = unknown_command(app, args)) {
    brenik::display::output::error(brenik::display::output::standard(), *refusal);
    return 2;
  }
  const std::vector<std::string> given = args;
  std::reverse(args.begin(), args.end());  // CLI11 takes them last first
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    if (auto hint = option_hint(app, e, given)) {
      brenik::display::output::error(brenik::display::output::standard(), *hint);
      return 2;
    }
    const int code = app.exit(e);
    // --help and --version end with 0; a command asking for a status through
    // CLI::RuntimeError keeps it; every other parse failure is a usage
    // error, status 2, whatever number CLI11 gives it.
    if (code == 0 || e.get_name() == "RuntimeError") return code;
    return 2;
  }
  std::cout.flush();
  return ctx.exit_code;
}

}  // namespace

// Nothing may cross into the launcher: whatever a command lets escape ends
// here as its error kind and status 1, and a hook entry still ends with 0.
extern "C" __attribute__((visibility("default"))) int brenik_cli_main(int argc, char** argv, const char* stdin_data,
                                                                      std::size_t stdin_len, int stdin_given) {
  const bool hook = is_hook_entry(argc, argv);
  install_log_sink(hook);
  try {
    return run_cli(argc, argv, stdin_data, stdin_len, stdin_given);
  } catch (...) {  // the one top-level handler
    const std::string kind = brenik::error_kind(std::current_exception());
    brenik::logging::debug_exc("Command failed");
    if (hook) return 0;
    try {
      std::cout.flush();
      brenik::display::output::error(brenik::display::output::standard(),
                                     "Stopped on an unexpected " + kind + " (BRENIK_DEBUG=1 shows where).");
    } catch (...) {  // the message cannot be shown: the status still tells
    }
    return 1;
  }
}
