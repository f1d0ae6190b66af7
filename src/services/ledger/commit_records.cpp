#include "services/ledger/commit_records.hpp"

#include "paths/paths.hpp"
#include "services/git/git.hpp"
#include "services/ledger/archive_reader.hpp"
#include "services/ledger/ledger_service.hpp"
#include "services/ledger/log_store.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/filelock.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/logging.hpp"
#include "utils/process.hpp"
#include "utils/truthy.hpp"
#include "utils/yaml.hpp"

namespace brenik::services::tolvern {

namespace detail {

const std::vector<std::pair<std::string, std::string>> TASK_TYPE_PREFIXES = {
    {"feat", "feature"},      {"feature", "feature"}, {"fix", "bug-fix"}, {"bugfix", "bug-fix"}, {"hotfix", "bug-fix"},
    {"refactor", "refactor"}, {"docs", "docs"},       {"doc", "docs"},    {"test", "test"},      {"tests", "test"},
    {"chore", "chore"},       {"perf", "chore"},      {"build", "chore"}, {"ci", "chore"},
};
const char* const SUBJECT_PREFIX_RE = R"(^\s*([A-Za-z]+)(?:\([^)]*\))?!?:)";
const char* const BRANCH_PREFIX_RE = R"(^([A-Za-z]+)/)";

}  // namespace detail

namespace {

std::optional<std::string> lookup_prefix(const std::string& word) {
  std::string lower;
  for (char c : word) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto& [prefix, type] : detail::TASK_TYPE_PREFIXES)
    if (prefix == lower) return type;
  return std::nullopt;
}

bool ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// SUBJECT_PREFIX_RE matched by hand: compiling the expression would cost
// every commit hook more than the match. Its word, or none.
std::optional<std::string> subject_prefix(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\f' || s[i] == '\r')) ++i;
  const std::size_t word = i;
  while (i < s.size() && ascii_letter(s[i])) ++i;
  if (i == word) return std::nullopt;
  const std::size_t word_end = i;
  if (i < s.size() && s[i] == '(') {
    const auto close = s.find(')', i + 1);
    if (close != std::string_view::npos) i = close + 1;
  }
  if (i < s.size() && s[i] == '!') ++i;
  if (i < s.size() && s[i] == ':') return std::string(s.substr(word, word_end - word));
  return std::nullopt;
}

// BRANCH_PREFIX_RE matched by hand.
std::optional<std::string> branch_prefix(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && ascii_letter(s[i])) ++i;
  if (i == 0 || i >= s.size() || s[i] != '/') return std::nullopt;
  return std::string(s.substr(0, i));
}

}  // namespace

std::optional<std::string> infer_task_type(const std::string& subject, const std::optional<std::string>& branch) {
  if (auto word = subject_prefix(subject))
    if (auto t = lookup_prefix(*word)) return t;
  if (auto word = branch_prefix(branch.value_or("")))
    if (auto t = lookup_prefix(*word)) return t;
  return std::nullopt;
}

namespace detail {

bool made_without_attestation(const json::Value& archived) {
  const std::string source = text_member(archived, "source");
  return source == "post_commit" || source == "harness" || source == "catch_up";
}

json::Value parse_attestation_yaml(std::string_view content) {
  auto v = yaml::load(shared::strip_yaml_delimiters(content));
  if (v.is_null()) return json::Value::object();
  return v;
}

void archive_ledger_segment(const fs::path& repo_root, const fs::path& attestations_dir, const json::Value& parsed,
                            const std::string& commit) {
  utils::best_effort("Ledger segment archival skipped (best-effort)", {.audible = false}, [&] {
    std::string slug = text_member(member(parsed, "process"), "slug");
    if (slug.empty()) {
      auto slugs = shared::extract_change_spec_slugs(parsed);
      if (!slugs.empty()) slug = slugs.front();
    }
    // The slug comes from what an agent wrote: it names a path only when it
    // is a plain slug, so an attestation cannot move files outside .brenik/.
    if (slug.empty() || !shared::is_change_spec_slug(slug)) return;
    const auto ledger = paths::ledger_jsonl(repo_root, slug);
    utils::make_dirs(attestations_dir);
    std::error_code ec;
    if (fs::exists(ledger, ec)) {
      // The seal is a courtesy to the ledger's reader; the move below is what counts.
      utils::best_effort("Ledger seal skipped", {.audible = false}, [&] {
        if (!ledger_service::is_sealed(repo_root, slug)) {
          json::Value evidence = json::Value::object();
          evidence["commit"] = commit;
          ledger_service::mark_milestone(repo_root, slug, "sealed", {.evidence = evidence});
        }
      });
      utils::rename_confined(ledger, paths::archived_ledger(repo_root, commit));
    }
    utils::remove_file(utils::lock_file_for(ledger));
    ledger_service::clear_pointers_for_slug(repo_root, slug);
  });
}

namespace {

// The log line of an attestation, in the log's member order.
json::Value entry_of(const json::Value& parsed, const std::string& commit, const std::string& branch,
                     const std::optional<std::string>& event) {
  json::Value entry = json::Value::object();
  entry["commit"] = commit;
  entry["branch"] = branch;
  for (const char* key : {"timestamp", "agent", "summary"}) {
    const auto& v = member(parsed, key);
    entry[key] = (parsed.is_object() && parsed.contains(key)) ? v : json::Value("");
  }
  entry["synced"] = false;
  if (event && !event->empty()) entry["event"] = *event;
  for (const char* key : {"agent_provider", "agent_id", "agent_session_id", "developer", "telemetry"}) {
    const auto& v = member(parsed, key);
    if (truthy(v)) entry[key] = v;
  }
  // A commit made by an amend or a rebase names those it replaced.
  if (truthy(member(parsed, "rewritten_from"))) {
    entry["rewritten_from"] = member(parsed, "rewritten_from");
    if (member(parsed, "patch_changed").is_boolean()) entry["patch_changed"] = member(parsed, "patch_changed");
  }
  return entry;
}

}  // namespace

namespace {

// One record to write. All of it is settled before the lock is taken, so
// that a trigger that may not wait can hand it to another process.
struct RecordPlan {
  fs::path log, attestations;
  std::string commit, branch;
  json::Value parsed;
  std::optional<std::string> event;
  bool keep_existing = false;
  bool archive_ledger = false;
  std::optional<fs::path> repo_root;
  std::optional<utils::FileStamp> from_pending;
};

// The test of what the commit already has, and the writes; the caller holds
// the log's lock, so no other trigger decides in between.
FiledRecord write_record(const RecordPlan& p) {
  std::optional<fs::path> pending;
  if (p.from_pending) {
    pending = paths::commit_attestation(p.repo_root.value_or(fs::path()));
    if (!p.repo_root || utils::file_stamp(*pending) != p.from_pending) return {p.commit, false};
  }
  const auto filed = [&] {
    if (pending) utils::remove_file(*pending);
    return FiledRecord{p.commit, true};
  };
  const fs::path archive = p.attestations / (p.commit + ".yaml");
  if (p.keep_existing) {
    if (commit_already_logged(p.log, p.commit)) return {p.commit, false};
    // The archive a record wrote before its line could be appended (a full
    // disk, a killed writer).
    if (auto archived = archived_record(p.attestations, p.commit)) {
      // Completed from its archive, which keeps whatever the agent attested.
      const auto event = made_without_attestation(*archived) ? p.event : std::nullopt;
      append_log_entry(p.log, entry_of(*archived, p.commit, p.branch, event));
      return filed();
    }
  }

  utils::make_dirs(p.attestations);
  // An attestation taken from the pending file is on disk before that file
  // goes; a record made at the commit is as durable as its log line.
  utils::atomic_write(archive, yaml::dump(p.parsed), std::nullopt,
                      pending ? utils::Durability::flushed : utils::Durability::with_log_line);

  if (p.archive_ledger && p.repo_root) archive_ledger_segment(*p.repo_root, p.attestations, p.parsed, p.commit);

  const json::Value entry = entry_of(p.parsed, p.commit, p.branch, p.event);
  if (p.keep_existing || !replace_log_entry(p.log, entry)) append_log_entry(p.log, entry);
  return filed();
}

json::Value plan_to_json(const RecordPlan& p) {
  json::Value v = json::Value::object();
  v["repo_root"] = p.repo_root->string();
  v["commit"] = p.commit;
  v["branch"] = p.branch;
  v["attestation"] = p.parsed;
  v["event"] = p.event ? json::Value(*p.event) : json::Value(nullptr);
  v["keep_existing"] = p.keep_existing;
  v["archive_ledger"] = p.archive_ledger;
  if (p.from_pending) {
    const auto& s = *p.from_pending;
    v["from_pending"] = {s.device, s.inode, s.size, s.mtime_ns};
  }
  return v;
}

// Only a plan about one repository's own files is taken: the paths are
// derived from its root here, and the commit must be a commit id.
std::optional<RecordPlan> plan_from_json(const json::Value& v) {
  if (!v.is_object() || !member(v, "repo_root").is_string() || !member(v, "commit").is_string() ||
      !member(v, "branch").is_string() || !member(v, "attestation").is_object())
    return std::nullopt;
  RecordPlan p;
  p.repo_root = fs::path(v["repo_root"].get<std::string>());
  p.commit = v["commit"].get<std::string>();
  if (!p.repo_root->is_absolute() || !is_valid_commit_hash(p.commit)) return std::nullopt;
  p.log = paths::log_jsonl(*p.repo_root);
  p.attestations = paths::attestations_dir(*p.repo_root);
  p.branch = v["branch"].get<std::string>();
  p.parsed = v["attestation"];
  if (member(v, "event").is_string()) p.event = v["event"].get<std::string>();
  p.keep_existing = truthy(member(v, "keep_existing"));
  p.archive_ledger = truthy(member(v, "archive_ledger"));
  const auto& stamp = member(v, "from_pending");
  if (stamp.is_array() && stamp.size() == 4) {
    for (const auto& part : stamp)
      if (!part.is_number_integer()) return std::nullopt;
    p.from_pending = utils::FileStamp{stamp[0].get<std::uint64_t>(), stamp[1].get<std::uint64_t>(),
                                      stamp[2].get<std::uint64_t>(), stamp[3].get<std::int64_t>()};
  }
  return p;
}

}  // namespace

FiledRecord file_attestation(const fs::path& breniklog_path, const fs::path& attestations_dir,
                             const json::Value& parsed, const LogAttestationOptions& options) {
  RecordPlan plan;
  plan.log = breniklog_path;
  plan.attestations = attestations_dir;
  if (options.commit_override && !options.commit_override->empty())
    plan.commit = *options.commit_override;
  else
    plan.commit = git_rev_parse({"HEAD"}, {.cwd = options.repo_root});
  plan.branch =
      options.head_branch ? *options.head_branch : git_rev_parse({"--abbrev-ref", "HEAD"}, {.cwd = options.repo_root});
  plan.parsed = parsed;
  plan.event = options.event;
  plan.keep_existing = options.keep_existing;
  plan.archive_ledger = options.archive_ledger;
  plan.repo_root = options.repo_root;
  plan.from_pending = options.from_pending;

  // Every trigger of a commit decides and writes under the same lock, so two
  // of them never both find it unrecorded, and an attestation filed by one is
  // never overwritten by the plain record of another.
  utils::make_dirs(breniklog_path.parent_path());
  const bool may_hand_off = options.handoff && plan.repo_root && plan.repo_root->is_absolute() &&
                            is_valid_commit_hash(plan.commit) && plan.log == paths::log_jsonl(*plan.repo_root) &&
                            plan.attestations == paths::attestations_dir(*plan.repo_root);
  auto guard =
      utils::locked(breniklog_path, may_hand_off ? options.handoff->wait_seconds : utils::DEFAULT_LOCK_TIMEOUT_SECONDS);
  if (!guard->acquired() && may_hand_off) {
    if (utils::spawn_detached({options.handoff->program.string(), "record-handoff"},
                              {.cwd = *plan.repo_root, .stdin_data = json::dumps(plan_to_json(plan))}))
      return {plan.commit, true, true};
    // It could not be started: wait as any writer does.
    guard = utils::locked(breniklog_path);
  }
  return write_record(plan);
}

FiledRecord file_handed_off_record(std::string_view handed_over) {
  auto value = json::try_loads(handed_over);
  auto plan = value ? plan_from_json(*value) : std::nullopt;
  if (!plan) throw ValueError("not a record handed over by a commit trigger");
  auto guard = utils::locked(plan->log, HANDOFF_LOCK_TIMEOUT);
  return write_record(*plan);
}

std::string log_attestation(const fs::path& breniklog_path, const fs::path& attestations_dir, const json::Value& parsed,
                            const LogAttestationOptions& options) {
  return file_attestation(breniklog_path, attestations_dir, parsed, options).commit;
}

BackfillResult write_commit_record(const fs::path& repo_root, const std::string& commit,
                                   const WriteCommitRecordOptions& o) {
  const auto log_path = paths::log_jsonl(repo_root);
  const auto attestations = paths::attestations_dir(repo_root);

  std::optional<CommitMetadata> read;
  if (!o.shown || o.shown->id != commit) read = commit_metadata(repo_root, commit);
  const CommitMetadata shown = o.shown && o.shown->id == commit ? *o.shown : read.value_or(CommitMetadata{});
  const std::string& author_date = shown.author_date;
  const std::string& author_name = shown.author_name;
  const std::string& author_email = shown.author_email;
  const std::string& subject = shown.subject;

  json::Value developer;
  if (o.developer_from_commit) {
    json::Value d = json::Value::object();
    if (!author_name.empty()) d["git_author_name"] = author_name;
    if (!author_email.empty()) d["git_author_email"] = author_email;
    if (!d.empty()) developer = d;
  } else if (o.developer) {
    developer = *o.developer;
  }

  json::Value telemetry = o.telemetry.value_or(json::Value());
  const bool has_session = o.session_id && !o.session_id->empty();

  json::Value att = json::Value::object();
  att["source"] = o.source;
  att["timestamp"] = author_date;
  att["agent"] = o.agent_name;
  if (o.agent_provider && !o.agent_provider->empty()) att["agent_provider"] = *o.agent_provider;
  const auto& model = member(telemetry, "model");
  if (truthy(model)) att["agent_model"] = model;
  if (has_session) att["agent_session_id"] = *o.session_id;
  if (truthy(developer)) att["developer"] = developer;
  if (o.source == "backfill") att["provenance"] = {{"type", "ad-hoc"}, {"ref", "backfill"}};
  if (o.task_type && !o.task_type->empty()) {
    att["task_type"] = *o.task_type;
    att["task_type_source"] = "declared";
  } else if (auto inferred = infer_task_type(subject, o.branch)) {
    att["task_type"] = *inferred;
    att["task_type_source"] = "inferred";
  }
  att["summary"] = subject;
  if (truthy(telemetry)) {
    if (telemetry.is_object() && !telemetry.contains("session_id") && has_session)
      telemetry["session_id"] = *o.session_id;
    att["telemetry"] = telemetry;
  }

  const auto filed = file_attestation(log_path, attestations, att,
                                      {.commit_override = commit,
                                       .repo_root = repo_root,
                                       .archive_ledger = o.archive_ledger,
                                       .event = o.event,
                                       .keep_existing = true,
                                       .head_branch = o.head_branch,
                                       .handoff = o.handoff});
  if (!filed.written) return {.commit = commit, .written = false, .reason = REASON_ALREADY_RECORDED};
  return BackfillResult{.commit = commit, .written = true, .tokens = truthy(member(telemetry, "tokens"))};
}

}  // namespace detail

void write_handed_off_record(std::string_view handed_over) { detail::file_handed_off_record(handed_over); }

}  // namespace brenik::services::tolvern
