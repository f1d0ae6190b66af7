// Entry point of the command-line library, called by the `brenik` launcher.
#include <cstdio>
#include <iostream>

#include "commands/cli.hpp"
#include "services/debug_log.hpp"
#include "utils/logging.hpp"

namespace {

// The hook entries run inside someone else's terminal or harness after every
// commit or session start: they stay silent unless debugging is on.
bool is_hook_entry(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--from-hook" || a == "--record-commit" || a == "session-start" || a == "record-handoff" ||
        a == "git-hook")
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
    std::cerr << (level == brenik::logging::Level::debug ? "DEBUG " : "WARNING ") << logger
              << ": " << message << "\n";
  });
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int brenik_cli_main(
    int argc, char** argv, const char* stdin_data, std::size_t stdin_len, int stdin_given) {
  using namespace brenik::commands;
  install_log_sink(is_hook_entry(argc, argv));
  Context ctx;
  if (stdin_given) ctx.preread_stdin = std::string(stdin_data, stdin_len);

  CLI::App app{"brenik: records which agent session wrote each commit, under which rules."};
  app.name("brenik");
  app.set_version_flag("--version", std::string("brenik ") + BRENIK_VERSION);
  app.require_subcommand(1);
  register_attest(app, ctx);
  register_setup(app, ctx);
  register_sync(app, ctx);
  register_session_start(app, ctx);
  register_status(app, ctx);
  register_auth(app, ctx);
  register_record_handoff(app, ctx);
  register_git_hook(app, ctx);
  register_export(app, ctx);
  register_verify(app, ctx);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    // --help and --version end with 0; a command asking for a status through
    // CLI::RuntimeError keeps it; every other parse failure is a usage
    // error, status 2, whatever number CLI11 gives it.
    if (code == 0 || e.get_name() == "RuntimeError") return code;
    return 2;
  } catch (const Exit& e) {
    std::cout.flush();
    return e.code;
  }
  std::cout.flush();
  return ctx.exit_code;
}
