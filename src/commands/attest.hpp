// The `attest` command group. Run by itself it writes the pending
// attestation for the next commit; its subcommands attach to the group
// returned here.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <optional>
#include <string>

#include "commands/cli.hpp"
#include "display/output.hpp"

namespace brenik::commands {

// The `attest` group of `app`; register_attest must have run on it.
CLI::App* attest_group(CLI::App& app);

// `attest add`, attached to the group by register_attest.
void register_attest_add(CLI::App& group, Context& ctx);

// The options of `brenik attest`; a text option is none when it was not
// given at all (an empty text counts as given).
struct AttestOptions {
  bool show_example = false;
  std::optional<std::string> staged_diff_hash;
  std::optional<std::string> agent;
  std::optional<std::string> provider;
  std::optional<std::string> model;
  std::optional<std::string> summary;
  std::optional<std::string> agent_id;
  std::optional<std::string> rules;
  std::optional<std::string> arch_changes;
  std::optional<std::string> provenance;
  std::optional<std::string> task_type;
  std::optional<std::string> timestamp;
  bool no_verify = false;
};

// The body of `brenik attest`: prints through `out` and returns the exit
// status (0 written, 1 refused). Errors of the final write propagate.
// `worktree`: the working tree whose staged changes are hashed (none: the
// one holding the current directory); the agent-facing server passes its own.
int run_attest(const AttestOptions& options, const display::output::Output& out,
               const std::optional<std::filesystem::path>& worktree = std::nullopt);

}  // namespace brenik::commands
