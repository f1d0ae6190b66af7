// `brenik status [--json]`: what the attestation log holds and its last
// few records.
#include <algorithm>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>

#include "commands/cli.hpp"
#include "display/output.hpp"
#include "paths/paths.hpp"
#include "hooks/installer.hpp"
#include "protocol/credentials.hpp"
#include "services/tolvern.hpp"
#include "utils/fs.hpp"
#include "utils/truthy.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"
#include "utils/time.hpp"

namespace brenik::commands {

namespace out = display::output;
namespace fs = std::filesystem;

namespace {

// The last `n` object lines of the log, oldest first: read from the end of
// the mapped log, which may be tens of megabytes.
std::string kind_of(services::tolvern::RecordKind kind) {
  switch (kind) {
    case services::tolvern::RecordKind::unattested: return "unattested";
    case services::tolvern::RecordKind::skipped: return "skipped";
    case services::tolvern::RecordKind::attested: break;
  }
  return "attested";
}

// Why the log cannot be read at all, when that is the case: a folder or
// some other thing where the file belongs says nothing about records.
std::optional<std::string> log_problem(const fs::path& log) {
  std::error_code ec;
  switch (fs::symlink_status(log, ec).type()) {
    case fs::file_type::not_found:
    case fs::file_type::regular: return std::nullopt;
    case fs::file_type::directory: return "is a folder, not a file";
    case fs::file_type::symlink: return "is a link, not a file";
    case fs::file_type::none: return ec ? "cannot be examined (" + ec.message() + ")" : std::optional<std::string>();
    default: return "is not a regular file";
  }
}

// Paths under .brenik/.platform/ that git tracks. That state is local by
// nature: a tracked copy came with the clone, from someone else.
std::vector<std::string> tracked_platform_files(const fs::path& root) {
  return services::tolvern::tracked_files(root, ".brenik/.platform");
}

// Every time in the table in one form, in UTC, whatever offset the record
// was written with; "-" when the record has none that parses.
std::string table_time(const std::string& iso) {
  const auto epoch = utils::parse_iso8601(iso);
  if (!epoch) return "-";
  const std::time_t t = static_cast<std::time_t>(*epoch);
  std::tm tm{};
  if (!::gmtime_r(&t, &tm)) return "-";
  char buf[32];
  if (std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm) == 0) return "-";
  return buf;
}

// Whether git's post-commit hook is brenik's.
bool post_commit_hook_installed(const fs::path& root) {
  try {
    const auto text = utils::read_small_regular_file(hooks::installer::hooks_dir(root) / "post-commit", 256 * 1024);
    return text && text->find(hooks::installer::HOOK_MARKER) != std::string::npos;
  } catch (const std::exception&) {
    return false;
  }
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

void register_status(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand("status", "Show what the attestation log holds and its last records.");
  auto as_json = std::make_shared<bool>(false);
  auto limit = std::make_shared<std::size_t>(5);
  cmd->add_flag("--json", *as_json, "Print the counts and last records as JSON.");
  cmd->add_option("-n,--limit", *limit, "How many of the last records to show (default 5).")
      ->check(CLI::NonNegativeNumber);
  on_run(cmd, ctx, [as_json, limit] {
    const auto& o = out::standard();
    const auto found = repo_root_or_error(o, NOT_IN_REPOSITORY);
    if (!found) return 1;
    const fs::path& root = *found;
    const fs::path log = paths::log_jsonl(root);
    const auto l = services::tolvern::read_attestation_log(log);
    const auto problem = log_problem(log);
    const auto recent = services::tolvern::read_last_records(log, *limit);
    const auto refused = services::tolvern::refused_pending(l.pending, services::tolvern::read_refused_records(log));
    const std::size_t waiting = l.pending.size() - refused.size();
    const auto tracked = tracked_platform_files(root);
    const bool configured = services::shared::local_config_exists(root);
    std::error_code ec;
    const bool pending_attestation = fs::exists(paths::commit_attestation(root), ec);
    const std::size_t records = l.attested + l.unattested + l.skipped;
    if (*as_json) {
      json::Value v = json::Value::object();
      v["repo_root"] = root.string();
      v["log"] = log.string();
      v["set_up"] = configured;
      v["records"] = records;
      v["attested"] = l.attested;
      v["unattested"] = l.unattested;
      v["skipped"] = l.skipped;
      if (problem) v["log_problem"] = "the attestation log " + *problem;
      v["pending"] = waiting;
      v["refused"] = refused.size();
      v["refused_records"] = json::Value::array();
      for (const auto& [commit, r] : refused) {
        json::Value e = json::Value::object();
        e["commit"] = commit;
        e["reason"] = r.reason;
        e["status"] = r.status;
        e["at"] = r.at;
        v["refused_records"].push_back(std::move(e));
      }
      v["uploaded"] = l.uploaded;
      v["unaddressable"] = l.unaddressable;
      v["corrupt"] = l.corrupt;
      v["pending_attestation"] = pending_attestation;
      v["background_sync"] = background_sync_json(root);
      v["tracked_platform_files"] = json::Value::array();
      for (const auto& f : tracked) v["tracked_platform_files"].push_back(f);
      v["recent"] = json::Value::array();
      for (const auto& r : recent) v["recent"].push_back(r.entry);
      std::cout << json::dumps(v) << "\n";
      return 0;
    }
    auto row = [&](const std::string& k, std::size_t n) {
      std::string pad(k.size() < 22 ? 22 - k.size() : 1, ' ');
      out::console_print(o, "  " + k + pad + std::to_string(n));
    };
    const auto session = services::tolvern::resolve_session(root);
    const auto creds = protocol::load_credentials();
    out::console_print(o, std::string("Set up:      ") + (configured ? "yes" : "no (run `brenik setup`)"));
    out::console_print(o, std::string("Git hook:    ") + (post_commit_hook_installed(root)
                                                              ? "post-commit installed"
                                                              : "post-commit missing (run `brenik setup`)"));
    out::console_print(o, std::string("Signed in:   ") +
                              (creds ? "yes, to " + creds->api_url : std::string("no (run `brenik auth login`)")));
    out::console_print(
        o, std::string("Project:     ") +
               (session.project_id.is_null()
                    ? std::string("not linked yet (`brenik sync` links it)")
                    : "linked to project " + (session.project_id.is_string() ? session.project_id.get<std::string>()
                                                                             : json::dumps(session.project_id))));
    out::console_print(o, "Background:  " + background_sync_summary(root));
    out::console_print(o, "Attestation log: " + fs::relative(log, root, ec).string());
    if (problem) out::warning(o, "The attestation log " + *problem + ": no record can be kept or read until it is.");
    if (!tracked.empty())
      out::warning(o, "git tracks " + std::to_string(tracked.size()) + " file(s) under .brenik/.platform/ (such as " +
                          tracked.front() +
                          "): that state is local to each clone, and a tracked copy came from "
                          "someone else. Do not trust it; remove it with `git rm --cached -r "
                          ".brenik/.platform`.");
    row("Records", records);
    row("Attested", l.attested);
    row("Unattested", l.unattested);
    if (l.skipped) row("Skipped", l.skipped);
    row("Waiting for upload", waiting);
    if (!refused.empty()) row("Refused by server", refused.size());
    row("Uploaded", l.uploaded);
    row("Unaddressable", l.unaddressable);
    row("Corrupt lines", l.corrupt);
    out::console_print(o,
                       std::string("Pending attestation: ") +
                           (pending_attestation ? ".brenik/.commit-attestation.yaml (for the next commit)" : "none"));
    if (!refused.empty()) {
      out::console_print(o, "Refused by the server (kept in the log, not sent again until they change;");
      out::console_print(o, "  delete .brenik/.platform/refused.json to try them all again):");
      constexpr std::size_t shown = 10;
      for (std::size_t i = 0; i < refused.size() && i < shown; ++i)
        out::console_print(o, "  " + refused[i].first.substr(0, TABLE_ID_LENGTH) + "  " + refused[i].second.at + "  " +
                                  refused[i].second.reason);
      if (refused.size() > shown)
        out::console_print(o, "  ... and " + std::to_string(refused.size() - shown) + " more (brenik status --json)");
    }
    if (recent.empty()) {
      if (!problem) out::console_print(o, "No records yet.");
      return 0;
    }
    out::console_print(o, "Last records:");
    std::size_t agent_w = 5;
    for (const auto& r : recent) {
      const std::string agent = text_member(r.entry, "agent");
      agent_w = std::max(agent_w, agent.empty() ? std::size_t{7} : agent.size());
    }
    out::console_print(o, "  " + padded("COMMIT", 11) + padded("DATE (UTC)", 18) + padded("AGENT", agent_w + 1) +
                              padded("KIND", 11) + padded("UPLOAD", 9) + "SUMMARY");
    for (const auto& [r, kind, synced] : recent) {
      std::string commit = text_member(r, "commit").substr(0, TABLE_ID_LENGTH);
      std::string agent = text_member(r, "agent");
      // No agent named and "unknown" say the same thing.
      if (agent.empty()) agent = "unknown";
      out::console_print(o, "  " + padded(commit.empty() ? "-" : commit, 11) +
                                padded(table_time(text_member(r, "timestamp")), 18) + padded(agent, agent_w + 1) +
                                padded(kind_of(kind), 11) + padded(synced ? "uploaded" : "local", 9) +
                                text_member(r, "summary"));
    }
    return 0;
  });
}

}  // namespace brenik::commands
