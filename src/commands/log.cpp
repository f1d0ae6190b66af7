// `brenik log [REVISION RANGE] [-n N] [--json]`: the commits git lists, one
// line each, with who made them and what brenik recorded.
#include <unistd.h>

#include <memory>

#include "commands/cli.hpp"
#include "commands/views_format.hpp"
#include "display/output.hpp"
#include "display/pager.hpp"
#include "services/tolvern.hpp"
#include "paths/paths.hpp"

namespace brenik::commands {

namespace out = display::output;
namespace fmt = views_format;
namespace views = services::views;
namespace fs = std::filesystem;

namespace {

struct LogOptions {
  std::vector<std::string> revisions;
  std::optional<std::size_t> limit;
  bool as_json = false;
};

json::Value entry_json(const views::CommitEntry& e, const views::ArchiveDir& attestations) {
  json::Value v = json::Value::object();
  v["commit"] = e.commit;
  v["date"] = e.date;
  v["subject"] = e.subject;
  v["recorded"] = e.recorded();
  v["attribution"] = fmt::attribution_json(e.who);
  v["attested"] = e.attested;
  v["synced"] = e.synced;
  v["record"] = e.line;
  const auto archived = e.recorded() ? attestations.mapping(e.commit) : std::nullopt;
  v["attestation"] = archived ? views::main_fields(*archived) : json::Value();
  return v;
}

std::string render_text(const std::vector<views::CommitEntry>& commits, bool styled) {
  std::size_t who_w = 0, model_w = 0;
  for (const auto& e : commits) {
    const std::string who = e.who.author == views::Author::agent ? e.who.agent : e.who.label();
    who_w = std::max(who_w, fmt::display_width(who));
    model_w = std::max(model_w, fmt::display_width(e.who.model.empty() ? "-" : e.who.model));
  }
  std::string text;
  text.reserve(commits.size() * 120);
  for (const auto& e : commits) {
    const std::string who = e.who.author == views::Author::agent ? e.who.agent : e.who.label();
    text += out::paint(styled, fmt::YELLOW, e.commit.substr(0, SHORT_ID_LENGTH));
    text += "  " + fmt::short_date(e.date) + "  ";
    text += e.recorded() ? fmt::pad(who, who_w) : out::paint(styled, fmt::RED, fmt::pad(who, who_w));
    text += "  " + fmt::pad(e.who.model.empty() ? "-" : e.who.model, model_w) + "  ";
    if (e.recorded()) {
      text += e.attested ? out::paint(styled, fmt::GREEN, "attested  ") : "unattested";
      text += "  ";
      text += e.synced ? "synced  " : out::paint(styled, fmt::DIM, "local   ");
    } else {
      text += std::string(10 + 2 + 8, ' ');
    }
    text += "  " + e.subject + "\n";
  }
  return text;
}

}  // namespace

void register_log(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand("log", "List commits with the agent, model and record of each.");
  cmd->footer(
      "Lists the commits git lists for REVISION RANGE (default: HEAD's history), one line each:\n"
      "short id, date, agent (\"human\", or \"unknown\" when the record could not tell), model,\n"
      "attested or not, synced or not, subject. A commit brenik never recorded says \"not recorded\".");
  auto options = std::make_shared<LogOptions>();
  cmd->add_option("revisions", options->revisions, "Revision range, as `git log` takes it (default HEAD).");
  cmd->add_option("-n,--max-count", options->limit, "Show at most N commits.")->check(CLI::NonNegativeNumber);
  cmd->add_flag("--json", options->as_json, "One JSON object per commit: its log line and archived attestation.");
  on_run(cmd, ctx, [options] {
    const auto& o = out::standard();
    const auto root = repo_root_or_error(o, NOT_IN_REPOSITORY);
    if (!root) return 1;
    // The one-line output reads only a summary of each log line.
    auto history = views::list_history(*root, options->revisions, options->limit,
                                       options->as_json ? views::LineDetail::full : views::LineDetail::summary);
    if (history.error) {
      out::error(o, fmt::git_refusal(*history.error));
      return 1;
    }
    if (options->as_json) {
      const views::ArchiveDir attestations(paths::attestations_dir(*root));
      std::string text;
      for (const auto& e : history.commits) text += json::dumps(entry_json(e, attestations)) + "\n";
      std::cout << text;
      std::cout.flush();
      return 0;
    }
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    display::pager::page(render_text(history.commits, o.out_styled), *root, terminal);
    return 0;
  });
}

}  // namespace brenik::commands
