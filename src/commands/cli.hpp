// What every command module of the command-line tool shares: the parsed
// invocation's context and the registration hooks of the command groups.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "display/output.hpp"
#include "utils/json.hpp"
#include "services/tolvern.hpp"

namespace brenik::commands {

// Per-invocation state handed to every command.
struct Context {
  // Standard input already read by the launcher (the harness hook payload).
  std::optional<std::string> preread_stdin;
  // The exit status a command asks for (set by its callback).
  int exit_code = 0;
};

// How every command ends: its body prints what it has to say and returns the
// status, which becomes the process's exit status once parsing is over. A
// command whose subcommand ran leaves the status to that subcommand.
template <typename Body>
void on_run(CLI::App* cmd, Context& ctx, Body body) {
  static_assert(std::is_same_v<std::invoke_result_t<const Body&>, int>, "a command body returns its status");
  cmd->callback([cmd, &ctx, body = std::move(body)] {
    if (!cmd->get_subcommands().empty()) return;
    ctx.exit_code = body();
  });
}

// The repository the command runs in, or none after printing `message` as
// the error (the caller exits 1).
std::optional<std::filesystem::path> repo_root_or_error(const display::output::Output& o, std::string_view message);

// How much of a commit id is shown: git's own short form in one-line views
// and messages, more where an id heads a table row or confirms a record.
inline constexpr std::size_t SHORT_ID_LENGTH = 7;
inline constexpr std::size_t TABLE_ID_LENGTH = 10;
inline constexpr std::size_t RECORD_ID_LENGTH = 12;

// The one refusal of every command run outside a repository.
inline constexpr std::string_view NOT_IN_REPOSITORY = "Not inside a git repository.";

void register_attest(CLI::App& app, Context& ctx);
void register_sync(CLI::App& app, Context& ctx);
void register_setup(CLI::App& app, Context& ctx);
void register_status(CLI::App& app, Context& ctx);
void register_session_start(CLI::App& app, Context& ctx);
void register_auth(CLI::App& app, Context& ctx);
void register_log(CLI::App& app, Context& ctx);
void register_show(CLI::App& app, Context& ctx);
void register_blame(CLI::App& app, Context& ctx);
void register_record_handoff(CLI::App& app, Context& ctx);
void register_git_hook(CLI::App& app, Context& ctx);
void register_export(CLI::App& app, Context& ctx);
void register_verify(CLI::App& app, Context& ctx);
void register_mcp(CLI::App& app, Context& ctx);
void register_doctor(CLI::App& app, Context& ctx);
void register_background_sync(CLI::App& app, Context& ctx);

// `brenik sync --record-commit`, the post-commit hook's entry: 0 when HEAD
// is recorded, 1 otherwise (the hook then appends a fallback line itself).
// Prints nothing.
int run_record_commit();

// After the post-commit record: starts `brenik background-sync` detached
// when the repository is linked, the switch is on and credentials exist.
void start_background_sync(const std::filesystem::path& state_root, const std::filesystem::path& worktree) noexcept;
// One line for `brenik status` about the background work, and its JSON form.
std::string background_sync_summary(const std::filesystem::path& root);
json::Value background_sync_json(const std::filesystem::path& root);

// What a commit trigger passes so that it never stalls on the log's lock:
// the running brenik executable takes over its write.
std::optional<services::tolvern::RecordHandoff> commit_trigger_handoff();

}  // namespace brenik::commands
