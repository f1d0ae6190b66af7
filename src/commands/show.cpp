// `brenik show <revision> [--json]`: everything recorded for one commit.
#include <unistd.h>

#include <memory>

#include "commands/cli.hpp"
#include "commands/views_format.hpp"
#include "display/output.hpp"
#include "display/pager.hpp"
#include "paths/paths.hpp"
#include "services/tolvern.hpp"
#include "utils/truthy.hpp"
#include "utils/yaml.hpp"

namespace brenik::commands {

namespace out = display::output;
namespace fmt = views_format;
namespace views = services::views;
namespace fs = std::filesystem;

namespace {

struct ShowOptions {
  std::string revision;
  bool as_json = false;
};

json::Value entry_summary(const views::CommitEntry& e) {
  json::Value v = json::Value::object();
  v["commit"] = e.commit;
  v["recorded"] = e.recorded();
  v["attribution"] = fmt::attribution_json(e.who);
  v["attested"] = views::is_attested(e.line);
  v["synced"] = views::is_synced(e.line);
  v["record"] = e.line;
  return v;
}

json::Value detail_json(const views::CommitDetail& d) {
  json::Value v = entry_summary(d.entry);
  v["date"] = d.entry.date;
  v["author"] = d.author;
  v["subject"] = d.entry.subject;
  v["attestation"] = d.archived ? *d.archived : json::Value();
  v["ledger"] = json::Value::array();
  for (const auto& l : d.ledger) v["ledger"].push_back(l);
  v["rewritten_from"] = json::Value::array();
  for (const auto& before : d.rewritten_from) v["rewritten_from"].push_back(entry_summary(before));
  return v;
}

// A nested value as indented YAML lines under a heading.
void block(std::string& text, const std::string& heading, const json::Value& value) {
  if (!truthy(value)) return;
  if (!value.is_object() && !value.is_array()) {
    text +=
        "  " + fmt::pad(heading + ":", 22) + (value.is_string() ? value.get<std::string>() : json::dumps(value)) + "\n";
    return;
  }
  text += "  " + heading + ":\n";
  std::string dumped = yaml::dump(value);
  std::size_t start = 0;
  while (start < dumped.size()) {
    std::size_t nl = dumped.find('\n', start);
    if (nl == std::string::npos) nl = dumped.size();
    text += "    " + dumped.substr(start, nl - start) + "\n";
    start = nl + 1;
  }
}

std::string record_state(const views::CommitEntry& e) {
  if (!e.recorded()) return "not recorded";
  return e.who.label() + ", " + (views::is_attested(e.line) ? "attested" : "unattested") + ", " +
         (views::is_synced(e.line) ? "uploaded" : "not uploaded yet");
}

std::string render_text(const views::CommitDetail& d, bool styled) {
  const auto& e = d.entry;
  std::string text;
  text += out::paint(styled, fmt::YELLOW, "commit " + e.commit) + "\n";
  text += "Author:  " + d.author + "\n";
  text += "Date:    " + e.date + "\n";
  text += "Subject: " + e.subject + "\n\n";
  text += "Record:  " + (e.recorded() ? record_state(e) : out::paint(styled, fmt::RED, "not recorded")) + "\n";
  if (e.recorded()) {
    const std::string event = text_member(e.line, "event");
    if (!event.empty()) text += "Event:   " + event + "\n";
    const std::string branch = text_member(e.line, "branch");
    if (!branch.empty()) text += "Branch:  " + branch + "\n";
    text += "Log line:\n  " + json::dumps(e.line) + "\n";
  }
  if (d.archived) {
    const json::Value& a = *d.archived;
    text += "\nAttestation (.brenik/attestations/" + e.commit + ".yaml):\n";
    block(text, "Summary", member(a, "summary"));
    block(text, "Recorded by", member(a, "source"));
    block(text, "Model", member(a, "agent_model"));
    block(text, "Provider", member(a, "agent_provider"));
    block(text, "Session", member(a, "agent_session_id"));
    std::string task = text_member(a, "task_type");
    if (!task.empty()) {
      const std::string source = text_member(a, "task_type_source");
      block(text, "Task type", task + (source.empty() ? "" : " (" + source + ")"));
    }
    block(text, "Rules followed", member(a, "rules"));
    block(text, "Architecture changes", member(a, "changes"));
    block(text, "Provenance", member(a, "provenance"));
    block(text, "Developer", member(a, "developer"));
    block(text, "Telemetry", member(a, "telemetry"));
  } else if (e.recorded()) {
    text += "\nNo archived attestation.\n";
  }
  if (!d.ledger.empty()) {
    text += "\nLedger segment (" + std::to_string(d.ledger.size()) + " entries):\n";
    for (const auto& l : d.ledger) text += "  " + (l.is_string() ? l.get<std::string>() : json::dumps(l)) + "\n";
  }
  for (const auto& before : d.rewritten_from)
    text += "\nRewritten from: " + before.commit + " (" + record_state(before) + ")\n";
  return text;
}

}  // namespace

void register_show(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand("show", "Show everything recorded for one commit.");
  auto options = std::make_shared<ShowOptions>();
  cmd->add_option("revision", options->revision, "The commit (any revision git resolves).")->required();
  cmd->add_flag("--json", options->as_json, "Print it as one JSON object.");
  on_run(cmd, ctx, [options] {
    const auto& o = out::standard();
    const auto root = repo_root_or_error(o, NOT_IN_REPOSITORY);
    if (!root) return 1;
    auto lookup = views::describe_commit(*root, options->revision);
    if (lookup.error) {
      out::error(o, *lookup.error);
      return 1;
    }
    if (options->as_json) {
      std::cout << json::dumps(detail_json(*lookup.detail)) << "\n";
      std::cout.flush();
      return 0;
    }
    display::pager::page(render_text(*lookup.detail, o.out_styled), *root, ::isatty(STDOUT_FILENO) == 1);
    return 0;
  });
}

}  // namespace brenik::commands
