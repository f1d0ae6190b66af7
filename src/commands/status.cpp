// `brenik status [--json]`: what the attestation log holds and its last
// few records.
#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>

#include "commands/cli.hpp"
#include "display/output.hpp"
#include "paths/paths.hpp"
#include "services/log_store.hpp"
#include "services/shared.hpp"
#include "utils/fs.hpp"
#include "utils/mapped_file.hpp"
#include "utils/truthy.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"

namespace brenik::commands {

namespace out = display::output;
namespace fs = std::filesystem;

namespace {

// The last `n` object lines of the log, oldest first: read from the end of
// the mapped log, which may be tens of megabytes.
std::vector<json::Value> last_records(const fs::path& log, std::size_t n) {
  std::vector<json::Value> found;
  if (n == 0) return found;
  std::optional<utils::MappedFile> file;
  try {
    file.emplace(log);
  } catch (const std::exception&) {
    return found;
  }
  const std::string_view text = file->view();
  std::size_t end = text.size();
  while (end > 0 && found.size() < n) {
    std::size_t start = text.rfind('\n', end - 1);
    std::size_t from = start == std::string_view::npos ? 0 : start + 1;
    std::string line = utils::strip(text.substr(from, end - from));
    if (!line.empty())
      if (auto v = json::try_loads(line); v && v->is_object()) found.push_back(*v);
    if (start == std::string_view::npos) break;
    end = start;
  }
  std::reverse(found.begin(), found.end());
  return found;
}

std::string kind_of(const json::Value& v) {
  const std::string e = text_member(v, "event");
  if (e == "commit_unattested") return "unattested";
  if (e == "attestation_skipped") return "skipped";
  return "attested";
}

bool synced_of(const json::Value& v) {
  for (const char* k : {"synced", "uploaded"}) {
    auto it = v.find(k);
    if (it != v.end() && it->is_boolean() && it->get<bool>()) return true;
  }
  return false;
}

}  // namespace

void register_status(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand("status", "Show what the attestation log holds and its last records.");
  auto as_json = std::make_shared<bool>(false);
  auto limit = std::make_shared<std::size_t>(5);
  cmd->add_flag("--json", *as_json, "Print the counts and last records as JSON.");
  cmd->add_option("-n,--limit", *limit, "How many of the last records to show (default 5).");
  cmd->callback([as_json, limit, &ctx] {
    const auto& o = out::standard();
    const auto found = repo_root_or_error(o, "Not inside a git repository.");
    if (!found) {
      ctx.exit_code = 1;
      return;
    }
    const fs::path& root = *found;
    const fs::path log = paths::log_jsonl(root);
    const auto l = services::tolvern::read_attestation_log(log);
    const auto recent = last_records(log, *limit);
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
      v["pending"] = l.pending.size();
      v["uploaded"] = l.uploaded;
      v["unaddressable"] = l.unaddressable;
      v["corrupt"] = l.corrupt;
      v["pending_attestation"] = pending_attestation;
      v["recent"] = json::Value::array();
      for (const auto& r : recent) v["recent"].push_back(r);
      std::cout << json::dumps(v) << "\n";
      return;
    }
    auto row = [&](const std::string& k, std::size_t n) {
      std::string pad(k.size() < 22 ? 22 - k.size() : 1, ' ');
      out::console_print(o, "  " + k + pad + std::to_string(n));
    };
    out::console_print(o, "Attestation log: " + fs::relative(log, root, ec).string());
    if (!configured) out::warning(o, "brenik is not set up here: run `brenik setup`.");
    row("Records", records);
    row("Attested", l.attested);
    row("Unattested", l.unattested);
    if (l.skipped) row("Skipped", l.skipped);
    row("Waiting for upload", l.pending.size());
    row("Uploaded", l.uploaded);
    row("Unaddressable", l.unaddressable);
    row("Corrupt lines", l.corrupt);
    out::console_print(o, std::string("Pending attestation: ") +
                              (pending_attestation ? ".brenik/.commit-attestation.yaml (for the next commit)"
                                                   : "none"));
    if (recent.empty()) {
      out::console_print(o, "No records yet.");
      return;
    }
    out::console_print(o, "Last records:");
    for (const auto& r : recent) {
      std::string commit = text_member(r, "commit").substr(0, 10);
      std::string agent = text_member(r, "agent");
      out::console_print(o, "  " + commit + std::string(commit.size() < 11 ? 11 - commit.size() : 1, ' ') +
                                text_member(r, "timestamp") + "  " + (agent.empty() ? "-" : agent) + "  " +
                                kind_of(r) + "  " + (synced_of(r) ? "uploaded" : "local") + "  " +
                                text_member(r, "summary"));
    }
  });
}

}  // namespace brenik::commands
