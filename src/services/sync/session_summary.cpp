#include "services/sync/session_summary.hpp"

#include <system_error>
#include <vector>

#include "services/ledger/log_store.hpp"
#include "services/ledger/refused_records.hpp"
#include "services/context/context_cache.hpp"
#include "services/context/rules_cache_state.hpp"
#include "utils/best_effort.hpp"
#include "utils/file_times.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/time.hpp"
#include "utils/truthy.hpp"
#include "utils/yaml.hpp"

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

namespace {

constexpr const char* STATE_FILE = "brenikstate.yaml";
constexpr const char* RULES_FILE = "brenikrules.yaml";

// Architecture elements of the cached declarative state: entries of
// architecture.elements that are themselves mappings; 0 for any other shape.
long long count_elements(const fs::path& state_file) {
  std::error_code ec;
  if (!fs::exists(state_file, ec)) return 0;
  // A file that does not read or parse is no elements, like any other shape.
  return utils::best_effort_or(0LL, utils::unlogged, [&]() -> long long {
    const auto doc = yaml::load(utils::read_file(state_file));
    // A missing or empty member counts as no elements, as any other shape does.
    const auto& elements = member(member(doc, "architecture"), "elements");
    if (!elements.is_object()) return 0;
    long long n = 0;
    for (const auto& [key, value] : elements.items())
      if (value.is_object()) ++n;
    return n;
  });
}

long long count_specs(const fs::path& specs) {
  std::error_code ec;
  if (!fs::is_directory(specs, ec)) return 0;
  long long n = 0;
  fs::directory_iterator it(specs, ec);
  if (ec) return 0;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return 0;
    std::error_code fec;
    // The refresh keeps each domain in a folder of its own, holding its
    // text as index.md: such a folder counts once.
    if (it->symlink_status(fec).type() == fs::file_type::directory) {
      if (fs::symlink_status(it->path() / DOMAIN_TEXT_FILE, fec).type() == fs::file_type::regular) ++n;
      continue;
    }
    if (!it->is_regular_file(fec)) continue;
    const auto ext = it->path().extension().string();
    if (ext == ".md" || ext == ".yaml" || ext == ".yml") ++n;
  }
  return n;
}

}  // namespace

std::string generate_session_summary(const fs::path& cache_dir, const json::Value& project_id,
                                     const std::optional<std::string>& agent_name) {
  std::vector<std::string> lines{"brenik session context loaded"};
  const bool has_project = truthy(project_id);
  if (has_project) lines.push_back("  project: " + json::text_form(project_id));
  if (agent_name && !agent_name->empty()) lines.push_back("  agent: " + *agent_name);

  lines.push_back("  elements: " + std::to_string(count_elements(cache_dir / STATE_FILE)));

  const auto rules = read_rules_cache_state(cache_dir);
  lines.push_back("  rules: " + rules.describe());
  lines.push_back("  specs: " + std::to_string(count_specs(cache_dir / "specs")));

  // Age decides first: a stale cache is stale whatever else went wrong.
  const double now = utils::now_epoch();
  bool stale = false;
  bool any_cache_file = false;
  for (const char* name : {STATE_FILE, RULES_FILE}) {
    std::error_code ec;
    if (fs::exists(cache_dir / name, ec)) any_cache_file = true;
    auto mtime = utils::mtime_epoch(cache_dir / name);
    if (mtime && now - *mtime > STALE_THRESHOLD_SECONDS) {
      stale = true;
      break;
    }
  }
  if (stale)
    lines.push_back("  cache: stale \u2014 run 'brenik sync' to refresh");
  else if (rules.fetch_failed() || rules.unreadable)
    lines.push_back("  cache: incomplete \u2014 run 'brenik sync' to refresh");
  else if (any_cache_file)
    lines.push_back("  cache: fresh");
  else
    lines.push_back("  cache: empty \u2014 run 'brenik sync' to populate");

  // Only the number of pending entries is shown: count them without
  // building each entry's value, unless some were refused by the server.
  // Those wait for nothing (they are not sent again until they change), so
  // they get their own line instead of swelling the pending count forever.
  const fs::path log_path = cache_dir / "log.jsonl";
  std::size_t pending = 0, refused = 0;
  if (const auto set_aside = read_refused_records(log_path); set_aside.empty()) {
    pending = count_pending_entries(log_path);
  } else {
    const auto log = read_attestation_log(log_path);
    refused = refused_pending(log.pending, set_aside).size();
    pending = log.size() - refused;
  }
  if (pending > 0) {
    const std::string count = std::to_string(pending);
    if (has_project)
      lines.push_back("  " + count + " attestation(s) pending upload \u2014 run 'brenik sync'");
    else
      lines.push_back("  " + count + " attestation(s) recorded locally, waiting for a project");
  }
  if (refused > 0)
    lines.push_back("  " + std::to_string(refused) +
                    " attestation(s) refused by the server \u2014 see 'brenik status'");

  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) text += '\n';
    text += lines[i];
  }
  return text;
}

}  // namespace brenik::services::tolvern
