// `brenik export [RANGE] --format agent-trace|in-toto [--output FILE] [--sign]`:
// the records of a revision range in formats other tools read, one JSON
// document per recorded commit, in `git log` order.
#include <memory>
#include <optional>
#include <string>

#include "commands/cli.hpp"
#include "display/output.hpp"
#include "services/tolvern.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"

namespace brenik::commands {

namespace fs = std::filesystem;
namespace out = display::output;
namespace ex = services::exporting;

namespace {

struct ExportArgs {
  std::string range = "HEAD";
  std::string format;
  std::optional<std::string> output;
  bool sign = false;
};

int run_export(const ExportArgs& a) {
  const auto& o = out::standard();
  const auto found = repo_root_or_error(o, "Not inside a git repository.");
  if (!found) return 1;
  const fs::path& root = *found;
  const auto format = a.format == "in-toto" ? ex::ExportFormat::in_toto : ex::ExportFormat::agent_trace;

  std::optional<ex::SshSigner> signer;
  if (a.sign) {
    const auto config = ex::read_signing_config(root);
    if (auto refusal = ex::signing_refusal(config)) {
      out::error(o, *refusal);
      return 1;
    }
    try {
      signer.emplace(config, root);
    } catch (const std::exception& e) {
      out::error(o, e.what());
      return 1;
    }
  }

  auto lookup = ex::lookup_records(root, a.range);
  if (!lookup) {
    out::error(o, "git cannot list the commits of \"" + a.range + "\".");
    return 1;
  }
  std::vector<std::string> lines = ex::export_documents(lookup->records, format, BRENIK_VERSION);
  if (signer) {
    try {
      lines = ex::sign_documents(lines, format, *signer);
    } catch (const std::exception& e) {
      out::error(o, e.what());
      return 1;
    }
  }
  std::string content;
  for (const auto& l : lines) content.append(l).append("\n");

  if (!a.output) {
    if (!content.empty()) out::console_print(o, std::string_view(content).substr(0, content.size() - 1));
  } else {
    try {
      utils::atomic_write(*a.output, content);
    } catch (const std::exception& e) {
      out::error(o, std::string("Cannot write ") + *a.output + ": " + e.what());
      return 1;
    }
  }
  // Counts go to standard error: standard output is the export itself.
  o.err << lines.size() << (lines.size() == 1 ? " record" : " records") << " exported" << (a.sign ? " and signed" : "")
        << (a.output ? " to " + *a.output : std::string()) << ".\n";
  if (lookup->without_record > 0)
    o.err << lookup->without_record << (lookup->without_record == 1 ? " commit" : " commits")
          << " without a record left out.\n";
  if (lookup->unreadable > 0)
    out::warning(o, std::to_string(lookup->unreadable) +
                        " archived attestation(s) could not be read (not YAML, or reached through a link);"
                        " their commits are exported from the log line alone, or left out without one.");
  return 0;
}

}  // namespace

void register_export(CLI::App& app, Context& ctx) {
  CLI::App* cmd =
      app.add_subcommand("export", "Export the records of a revision range as Agent Trace or in-toto (JSON Lines).");
  auto a = std::make_shared<ExportArgs>();
  cmd->add_option("range", a->range, "Revision range, as git log takes it (default HEAD).");
  cmd->add_option("--format", a->format, "agent-trace or in-toto.")
      ->required()
      ->check(CLI::IsMember({"agent-trace", "in-toto"}));
  cmd->add_option("-o,--output", a->output, "Write to this file instead of standard output.");
  cmd->add_flag("--sign", a->sign, "Wrap each document in a DSSE envelope signed with git's SSH signing key.");
  on_run(cmd, ctx, [a] {
    try {
      return run_export(*a);
    } catch (const std::exception& e) {
      out::error(out::standard(), std::string("Export failed: ") + e.what());
      return 1;
    }
  });
}

}  // namespace brenik::commands
