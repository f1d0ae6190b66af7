#include "commands/mcp_tools.hpp"

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "agents/registry.hpp"
#include "commands/attest.hpp"
#include "commands/mcp_cache.hpp"
#include "display/output.hpp"
#include "paths/paths.hpp"
#include "protocol/credentials.hpp"
#include "services/tolvern.hpp"
#include "utils/errors.hpp"
#include "utils/text.hpp"

namespace brenik::commands::mcp {

namespace fs = std::filesystem;
namespace shared = services::shared;
namespace tolvern = services::tolvern;

namespace {

constexpr const char* NOT_IN_REPOSITORY_TEXT =
    "Not inside a git repository: start the server in the repository (or pass `brenik mcp --repo DIR`).";

// An argument the agent got wrong: a tool error naming it.
struct BadArgument {
  std::string message;
};

json::Value object_schema(json::Value properties, std::vector<std::string> required = {}) {
  json::Value schema = {{"type", "object"}, {"properties", std::move(properties)}};
  if (!required.empty()) schema["required"] = required;
  schema["additionalProperties"] = false;
  return schema;
}

json::Value text_property(const std::string& description) { return {{"type", "string"}, {"description", description}}; }

// A JSON option of `brenik attest`: the JSON itself, or its text.
json::Value json_property(const std::string& description) {
  return {{"type", {"object", "array", "string"}}, {"description", description}};
}

// A text argument; none when absent or null.
std::optional<std::string> text_arg(const json::Value& args, const std::string& name) {
  const auto& v = member(args, name);
  if (v.is_null()) return std::nullopt;
  if (!v.is_string()) throw BadArgument{"`" + name + "` must be a string, got: " + json::type_name(v)};
  return v.get<std::string>();
}

// A JSON argument as the text `brenik attest` decodes: text as given, any
// other value as its JSON text (so the same checks and messages apply).
std::optional<std::string> json_arg(const json::Value& args, const std::string& name) {
  const auto& v = member(args, name);
  if (v.is_null()) return std::nullopt;
  if (v.is_string()) return v.get<std::string>();
  return json::dumps(v);
}

bool flag_arg(const json::Value& args, const std::string& name) {
  const auto& v = member(args, name);
  if (v.is_null()) return false;
  if (!v.is_boolean()) throw BadArgument{"`" + name + "` must be true or false, got: " + json::type_name(v)};
  return v.get<bool>();
}

std::optional<std::int64_t> team_arg(const json::Value& args) {
  const auto& v = member(args, "team_id");
  if (v.is_null()) return std::nullopt;
  if (v.is_number_integer()) return v.get<std::int64_t>();
  if (v.is_string()) {
    const std::string t = utils::strip(v.get<std::string>());
    if (!t.empty() && t.size() < 19 && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::stoll(t);
  }
  throw BadArgument{"`team_id` must be an integer team id, got: " + json::repr(v)};
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string project_text(const json::Value& project_id) {
  return project_id.is_string() ? project_id.get<std::string>() : json::dumps(project_id);
}

ToolOutcome attest_tool(const fs::path& worktree, const json::Value& args) {
  AttestOptions o;
  o.staged_diff_hash = text_arg(args, "staged_diff_hash");
  o.model = text_arg(args, "model");
  o.summary = text_arg(args, "summary");
  o.agent = text_arg(args, "agent");
  o.provider = text_arg(args, "provider");
  o.agent_id = text_arg(args, "agent_id");
  o.rules = json_arg(args, "rules");
  o.arch_changes = json_arg(args, "arch_changes");
  o.provenance = json_arg(args, "provenance");
  o.task_type = text_arg(args, "task_type");
  o.timestamp = text_arg(args, "timestamp");
  o.no_verify = flag_arg(args, "no_verify");
  // The command's own checks and messages, collected in the order printed.
  std::ostringstream said;
  const display::output::Output output{said, said, false, false};
  const int status = run_attest(o, output, worktree);
  return {trimmed(said.str()), status != 0};
}

ToolOutcome sync_tool(const fs::path& root, const json::Value& args) {
  const auto team_id = team_arg(args);
  const auto credentials = protocol::load_credentials();
  const std::string api_key = credentials ? credentials->api_key : "";
  const std::string api_url = credentials ? credentials->api_url : "";
  const fs::path log = paths::log_jsonl(root);
  const std::size_t waiting_before = tolvern::read_attestation_log(log).size();

  std::vector<std::string> lines;
  auto refusal = [&](const std::string& reason, const std::optional<std::string>& code) {
    lines.push_back(reason);
    lines.push_back(tolvern::remedy(code));
    std::string text;
    for (const auto& l : lines) text += (text.empty() ? "" : "\n") + l;
    return ToolOutcome{text, true};
  };

  // Offline first: the pending attestation is filed before anything waits
  // on the network.
  auto [archived, resolution] = tolvern::resolve_if_unlinked(root, api_key, api_url, team_id);
  if (archived.matched_commit)
    lines.push_back("Filed the pending attestation under commit " +
                    archived.matched_commit->substr(0, SHORT_ID_LENGTH) + ".");
  else if (archived.error)
    lines.push_back("The pending attestation was kept, not filed: " + *archived.error);

  json::Value project_id;
  if (resolution) {
    if (!resolution->ok())
      return refusal("Could not link this repository to a project: " + resolution->reason.value_or(""),
                     resolution->code);
    project_id = *resolution->project_id;
    lines.push_back(std::string(resolution->created ? "Created" : "Linked to") + " project " +
                    std::to_string(*resolution->project_id) +
                    (resolution->title ? " (" + *resolution->title + ")" : "") + ".");
  } else {
    try {
      project_id = member(shared::load_local_config(root), "project_id");
    } catch (const std::exception&) {
    }
  }

  const json::Value result = tolvern::run_sync(root, api_key, api_url, project_id);
  const std::size_t waiting_after = tolvern::read_attestation_log(log).size();
  const bool uploaded = member(result, "attestations_uploaded") == true;
  const bool refreshed = member(result, "cache_refreshed") == true;
  if (!credentials) return refusal("Not signed in: the records stay local.", std::string(tolvern::NOT_SIGNED_IN));

  const std::size_t sent = waiting_before > waiting_after ? waiting_before - waiting_after : 0;
  if (uploaded)
    lines.push_back(
        sent == 0 && waiting_after == 0
            ? std::string("Nothing to upload: every record is on the server.")
            : "Uploaded to project " + project_text(project_id) + ": " + plural(sent, "record", "records") +
                  (waiting_after ? "; " + plural(waiting_after, "record", "records") + " still waiting." : "."));
  else
    lines.push_back("Upload did not complete: " + plural(waiting_after, "record waits", "records wait") + " (" +
                    plural(sent, "was", "were") + " uploaded before it stopped). " + tolvern::remedy(std::nullopt));
  lines.push_back(refreshed ? "Context cache: refreshed (rules, specs, documents)."
                            : "Context cache: not refreshed; the cached rules, specs and documents are as before.");
  std::string text;
  for (const auto& l : lines) text += (text.empty() ? "" : "\n") + l;
  return {text, !(uploaded && refreshed)};
}

ToolOutcome status_tool(const fs::path& root) {
  json::Value project_id;
  try {
    project_id = member(shared::load_local_config(root), "project_id");
  } catch (const std::exception&) {
  }
  std::optional<std::string> agent;
  if (auto active = agents::detect_active_agent()) agent = active->name();
  std::string text = tolvern::generate_session_summary(paths::platform_dir(root), project_id, agent);

  const fs::path log = paths::log_jsonl(root);
  const auto l = tolvern::read_attestation_log(log);
  const auto refused = tolvern::refused_pending(l.pending, tolvern::read_refused_records(log));
  const std::size_t records = l.attested + l.unattested + l.skipped;
  std::error_code ec;
  const bool pending_attestation = fs::exists(paths::commit_attestation(root), ec);
  text += "\n\nAttestation log (.brenik/.platform/log.jsonl):";
  text += "\n  records: " + std::to_string(records) + " (attested " + std::to_string(l.attested) + ", unattested " +
          std::to_string(l.unattested) + ", skipped " + std::to_string(l.skipped) + ")";
  text += "\n  waiting for upload: " + std::to_string(l.pending.size() - refused.size());
  if (!refused.empty()) text += "\n  refused by the server: " + std::to_string(refused.size());
  text += "\n  uploaded: " + std::to_string(l.uploaded);
  text += "\n  unaddressable: " + std::to_string(l.unaddressable);
  text += "\n  corrupt lines: " + std::to_string(l.corrupt);
  text += std::string("\n  pending attestation: ") +
          (pending_attestation ? ".brenik/.commit-attestation.yaml (for the next commit)" : "none");
  return {text, false};
}

}  // namespace

std::vector<ToolSpec> tool_specs() {
  json::Value task_type = {{"type", "string"},
                           {"description", "What kind of change this is, as opposed to where the request came from."}};
  task_type["enum"] = services::shared::VALID_TASK_TYPES;
  return {
      {"attest",
       "Declare what the next commit is about, before making it: writes .brenik/.commit-attestation.yaml, which "
       "the next `git commit` files with its record. Stage your changes first, then pass the SHA-256 of "
       "`git diff --staged` (hex digits only: `git diff --staged | sha256sum | cut -d' ' -f1`), your model id "
       "and a one-line summary. Refused (with the reason) when the hash does not match what is staged now or a "
       "field is invalid. Developer identity, session id and telemetry are filled in at commit time.",
       object_schema(
           {{"staged_diff_hash", text_property("SHA-256 of `git diff --staged`, 64 hex digits.")},
            {"model", text_property("Model ID (e.g. claude-opus-4-6).")},
            {"summary", text_property("One-line impact summary.")},
            {"agent", text_property("Agent name (e.g. claude-code, cursor). Optional.")},
            {"provider", text_property("Model provider (e.g. anthropic, openai). Optional.")},
            {"agent_id", text_property("Optional agent identifier.")},
            {"rules", json_property(R"(Rules consulted: {"checked": true, "applicable": [...]}.)")},
            {"arch_changes",
             json_property(
                 R"(Architecture change primitives: {"architecture": {"elements": [{"name": "...", "change": "added|modified|removed", "description": "...", "fact_changes": {"add": [], "update": [], "remove": []}}]}}.)")},
            {"provenance",
             json_property(R"(Where the request came from: {"type": "spec|ticket|bug-fix|ad-hoc", "ref": "..."}.)")},
            {"task_type", task_type},
            {"timestamp", text_property("ISO 8601 timestamp. Generated when omitted.")},
            {"no_verify",
             {{"type", "boolean"}, {"description", "Skip field validation (the hash check still runs)."}}}},
           {"staged_diff_hash", "model", "summary"})},
      {"sync",
       "Sync this repository: file the pending attestation, link the repository to its project when it is not "
       "linked yet, upload the commit records waiting for upload and refresh the local context cache (rules, "
       "specs, documents). Says what was uploaded and refreshed; on a refusal, the reason and what to do. Pass "
       "`team_id` when you are told you belong to several teams (it is saved).",
       object_schema({{"team_id",
                       {{"type", "integer"}, {"description", "Team to find or create the project in; asked once."}}}})},
      {"status",
       "What the local context cache holds and whether it can be relied on, then the attestation log's counts "
       "(records, attested, waiting for upload...). Local files only.",
       object_schema(json::Value::object())},
      {"rules",
       "The project's rules from the local cache (never the network). Without `name`: the sections and the "
       "names of their rules. With a section name, a rule name, or \"all\": their text.",
       object_schema({{"name", text_property("A section (principles, adrs, checks, invariants, constraints, "
                                             "guardrails), a rule name, or \"all\".")}})},
      {"specs",
       "The project's specs from the local cache (never the network). Without `domain`: the cached domains. "
       "With a domain: its spec text.",
       object_schema({{"domain", text_property("A spec domain, as listed.")}})},
      {"docs",
       "The project's documents from the local cache (never the network): canonical documents by name, "
       "guidance documents as project/<slug> or system/<slug>. Without `name`: what is cached. With a name: "
       "its text.",
       object_schema({{"name", text_property("A document name, as listed.")}})},
  };
}

std::optional<fs::path> find_worktree(const ToolContext& context) {
  std::vector<fs::path> candidates;
  if (context.repo) candidates.push_back(*context.repo);
  // The harness tells its server where the project is.
  if (const char* dir = std::getenv("CLAUDE_PROJECT_DIR"); dir && *dir) candidates.emplace_back(dir);
  std::error_code ec;
  candidates.push_back(fs::current_path(ec));
  for (const auto& c : candidates) {
    if (c.empty() || !fs::is_directory(c, ec)) continue;
    try {
      return shared::get_worktree_root(c);
    } catch (const std::exception&) {
    }
  }
  return std::nullopt;
}

std::optional<ToolOutcome> call_tool(const ToolContext& context, const std::string& name, const json::Value& args) {
  static const std::vector<std::string> names = {"attest", "sync", "status", "rules", "specs", "docs"};
  if (std::find(names.begin(), names.end(), name) == names.end()) return std::nullopt;
  try {
    const auto worktree = find_worktree(context);
    if (!worktree) return ToolOutcome{NOT_IN_REPOSITORY_TEXT, true};
    const fs::path root = shared::brenik_root(*worktree);
    if (name == "attest") return attest_tool(*worktree, args);
    if (name == "sync") return sync_tool(root, args);
    if (name == "status") return status_tool(root);
    if (name == "rules") return read_rules(root, text_arg(args, "name"));
    if (name == "specs") return read_spec(root, text_arg(args, "domain"));
    return read_doc(root, text_arg(args, "name"));
  } catch (const BadArgument& e) {
    return ToolOutcome{e.message, true};
  }
}

}  // namespace brenik::commands::mcp
