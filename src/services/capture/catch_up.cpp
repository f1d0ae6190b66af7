#include "services/capture/catch_up.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <utility>

#include "agents/registry.hpp"
#include "paths/paths.hpp"
#include "services/capture/capture.hpp"
#include "services/ledger/commit_records.hpp"
#include "services/ledger/first_run.hpp"
#include "services/git/git.hpp"
#include "services/ledger/log_store.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/filelock.hpp"
#include "utils/logging.hpp"
#include "utils/process.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::tolvern {

namespace {

// Decimal committer time, as a number; none when it does not parse.
std::optional<double> parse_number(std::string_view text) {
  text = utils::strip(text);
  if (text.empty()) return std::nullopt;
  double value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

namespace {

// The HEADs of the repository's linked worktrees: their commits share this
// log, and a branch checked out only there is walked too.
std::vector<std::string> other_worktree_heads(const fs::path& repo_root) {
  std::vector<std::string> heads;
  std::error_code ec;
  if (!fs::is_directory(repo_root / ".git" / "worktrees", ec)) return heads;
  const std::string out = detail::git({"worktree", "list", "--porcelain"}, {.cwd = repo_root});
  std::size_t start = 0;
  while (start < out.size()) {
    auto nl = out.find('\n', start);
    if (nl == std::string::npos) nl = out.size();
    std::string_view line(out.data() + start, nl - start);
    start = nl + 1;
    if (line.rfind("HEAD ", 0) != 0) continue;
    std::string sha(line.substr(5));
    if ((sha.size() == 40 || sha.size() == 64) && sha.find_first_not_of("0123456789abcdef") == std::string::npos &&
        std::find(heads.begin(), heads.end(), sha) == heads.end())
      heads.push_back(std::move(sha));
  }
  return heads;
}

}  // namespace

namespace detail {

std::vector<BackfillResult> walk_and_record(const fs::path& repo_root, int limit) noexcept {
  std::vector<BackfillResult> recorded;
  utils::best_effort("catch-up walk failed (best-effort)", {.audible = false}, [&] {
    if (!shared::local_config_exists(repo_root)) return;

    // The install anchor only ever applies to a first run: on an
    // established install it would hide exactly the backlog we recover.
    std::optional<double> floor;
    if (nothing_recorded_yet(repo_root)) floor = config_anchor(repo_root);

    std::vector<std::string> log_args{"log", "-n" + std::to_string(limit), "--format=%H %ct", "HEAD"};
    for (auto& head : other_worktree_heads(repo_root)) log_args.push_back(std::move(head));
    const std::string out = git(log_args, {.cwd = repo_root});
    struct Walked {
      std::string sha;
      std::optional<double> when;
      bool recorded = false;
    };
    std::vector<Walked> walked;
    std::size_t oldest_recorded = std::string::npos;
    std::size_t start = 0;
    while (start < out.size()) {
      auto nl = out.find('\n', start);
      std::string_view line(out.data() + start, (nl == std::string::npos ? out.size() : nl) - start);
      start = nl == std::string::npos ? out.size() : nl + 1;
      auto blank = line.find(' ');
      std::string sha(utils::strip(line.substr(0, blank)));
      std::string_view ts = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
      if (sha.empty()) continue;
      walked.push_back({std::move(sha), parse_number(ts), false});
    }
    {
      std::vector<std::string> shas;
      for (const auto& w : walked) shas.push_back(w.sha);
      const auto logged = commits_already_logged(paths::log_jsonl(repo_root), shas);
      for (std::size_t i = 0; i < walked.size(); ++i)
        if (logged.count(walked[i].sha)) walked[i].recorded = true, oldest_recorded = i;
    }
    // Recorded commits are skipped, not taken as the end of the backlog: one
    // missed between recorded ones (two commits in one command without the
    // hook, concurrent committers, a merge) is still found. Below the oldest
    // recorded one lies what came before the install, unless the install
    // anchor says otherwise; without an anchor nothing there is taken.
    const std::optional<double> below_floor =
        oldest_recorded == std::string::npos ? std::nullopt : config_anchor(repo_root);
    std::vector<std::string> pending;
    std::map<std::string, double> commit_times;
    for (std::size_t i = 0; i < walked.size(); ++i) {
      const auto& w = walked[i];
      if (w.recorded) continue;
      if (floor && w.when && *w.when < *floor) continue;
      if (oldest_recorded != std::string::npos && i > oldest_recorded &&
          (!below_floor || !w.when || *w.when < *below_floor))
        continue;
      pending.push_back(w.sha);
      if (w.when) commit_times[w.sha] = *w.when;
    }
    if (pending.empty()) return;

    const auto since = parse_number(git({"log", "-1", "--format=%ct", pending.back()}, {.cwd = repo_root}));

    std::map<std::string, std::vector<std::pair<std::string, std::string>>> hits;
    for (const auto& adapter : agents::iter_adapters()) {
      utils::best_effort(logging::format("%s session scan failed (best-effort)", {logging::arg(adapter->name())}),
                         {.audible = false}, [&] {
                           auto answer = adapter->sessions_mentioning(repo_root, pending,
                                                                      {.since = since, .commit_times = commit_times});
                           for (const auto& [commit, sessions] : answer)
                             for (const auto& session : sessions) hits[commit].emplace_back(adapter->name(), session);
                         });
    }

    for (const auto& sha : pending) {
      CaptureOptions options{.source = "catch_up", .consume_pending = false, .attribute_ambient = false};
      auto it = hits.find(sha);
      if (it != hits.end() && it->second.size() == 1) {
        options.agent = it->second.front().first;
        options.session_id = it->second.front().second;
      }
      recorded.push_back(capture_commit(repo_root, sha, options));
    }
  });
  return recorded;
}

}  // namespace detail

std::vector<BackfillResult> catch_up_commits(const fs::path& repo_root, int limit) noexcept {
  return utils::best_effort_or(std::vector<BackfillResult>(), "catch_up_commits failed (best-effort)",
                               {.audible = false}, [&]() -> std::vector<BackfillResult> {
                                 if (!shared::local_config_exists(repo_root)) return {};
                                 auto guard = utils::locked(paths::log_jsonl(repo_root), CATCH_UP_LOCK_TIMEOUT);
                                 if (!guard->acquired()) return {};
                                 return detail::walk_and_record(repo_root, limit);
                               });
}

BackfillResult record_backfill(const fs::path& repo_root, const BackfillOptions& o) {
  const auto adapters = agents::iter_adapters();
  auto full = detail::resolve_full_sha(repo_root, o.commit);
  if (!full) return {.commit = o.commit, .written = false, .reason = REASON_NO_SUCH_COMMIT};
  if (detail::already_recorded(repo_root, *full))
    return {.commit = *full, .written = false, .reason = REASON_ALREADY_RECORDED};

  agents::AdapterPtr chosen;
  std::optional<json::Value> telemetry;
  for (const auto& adapter : adapters) {
    auto t = detail::adapter_telemetry(*adapter, repo_root, o.session_id, "backfill");
    if (t && truthy(*t)) {
      chosen = adapter;
      telemetry = std::move(t);
      break;
    }
  }
  if (!chosen)
    return {.commit = *full, .written = false, .reason = "no agent transcript found for session " + o.session_id};
  if (!truthy(member(*telemetry, "model")))
    return {.commit = *full, .written = false, .reason = "transcript for session " + o.session_id + " names no model"};

  return detail::write_commit_record(repo_root, *full,
                                     {.source = "backfill",
                                      .agent_name = chosen->name(),
                                      .agent_provider = chosen->provider(),
                                      .session_id = o.session_id,
                                      .telemetry = telemetry,
                                      .task_type = o.task_type,
                                      .archive_ledger = false});
}

}  // namespace brenik::services::tolvern
