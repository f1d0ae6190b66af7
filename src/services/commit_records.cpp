#include "services/commit_records.hpp"

#include <re2/re2.h>

#include "paths/paths.hpp"
#include "services/git.hpp"
#include "services/ledger_service.hpp"
#include "services/log_store.hpp"
#include "services/shared.hpp"
#include "utils/errors.hpp"
#include "utils/filelock.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/truthy.hpp"
#include "utils/yaml.hpp"

namespace brenik::services::tolvern {

namespace detail {

const std::vector<std::pair<std::string, std::string>> TASK_TYPE_PREFIXES = {
    {"feat", "feature"},  {"feature", "feature"}, {"fix", "bug-fix"},   {"bugfix", "bug-fix"},
    {"hotfix", "bug-fix"}, {"refactor", "refactor"}, {"docs", "docs"}, {"doc", "docs"},
    {"test", "test"},     {"tests", "test"},       {"chore", "chore"},  {"perf", "chore"},
    {"build", "chore"},   {"ci", "chore"},
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

std::optional<std::string> match_prefix(const re2::RE2& re, const std::string& text) {
  std::string word;
  if (re2::RE2::PartialMatch(text, re, &word)) return lookup_prefix(word);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> infer_task_type(const std::string& subject,
                                           const std::optional<std::string>& branch) {
  static const re2::RE2 subject_re(detail::SUBJECT_PREFIX_RE);
  static const re2::RE2 branch_re(detail::BRANCH_PREFIX_RE);
  if (auto t = match_prefix(subject_re, subject)) return t;
  if (auto t = match_prefix(branch_re, branch.value_or(""))) return t;
  return std::nullopt;
}

namespace detail {

json::Value parse_attestation_yaml(std::string_view content) {
  try {
    auto v = yaml::load(shared::strip_yaml_delimiters(content));
    if (v.is_null()) return json::Value::object();
    return v;
  } catch (const YAMLError&) {
    return json::Value::object();
  }
}

void archive_ledger_segment(const fs::path& repo_root, const fs::path& attestations_dir,
                            const json::Value& parsed, const std::string& commit) {
  try {
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
      try {
        if (!ledger_service::is_sealed(repo_root, slug)) {
          json::Value evidence = json::Value::object();
          evidence["commit"] = commit;
          ledger_service::mark_milestone(repo_root, slug, "sealed", {.evidence = evidence});
        }
      } catch (...) {
      }
      fs::rename(ledger, paths::archived_ledger(repo_root, commit));
    }
    fs::remove(utils::lock_file_for(ledger), ec);
    ledger_service::clear_pointers_for_slug(repo_root, slug);
  } catch (...) {
    logging::debug_exc("Ledger segment archival skipped (best-effort)");
  }
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
  return entry;
}

// The sources of the records made without an attestation at commit time.
bool made_without_attestation(const json::Value& archived) {
  const std::string source = text_member(archived, "source");
  return source == "post_commit" || source == "harness" || source == "catch_up";
}

// The archive a record wrote before its line could be appended (a full disk,
// a killed writer), as a mapping; none when there is no such archive.
std::optional<json::Value> archive_without_line(const fs::path& archive) {
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(archive, ec))) return std::nullopt;
  auto text = utils::try_read_file(archive);
  if (!text) return std::nullopt;
  json::Value parsed = parse_attestation_yaml(*text);
  if (!parsed.is_object() || parsed.empty()) return std::nullopt;
  return parsed;
}

}  // namespace

FiledRecord file_attestation(const fs::path& breniklog_path, const fs::path& attestations_dir,
                             const json::Value& parsed, const LogAttestationOptions& options) {
  std::string commit;
  if (options.commit_override && !options.commit_override->empty())
    commit = *options.commit_override;
  else
    commit = git_rev_parse({"HEAD"}, {.cwd = options.repo_root});
  const std::string branch = options.head_branch
                                 ? *options.head_branch
                                 : git_rev_parse({"--abbrev-ref", "HEAD"}, {.cwd = options.repo_root});
  const fs::path archive = attestations_dir / (commit + ".yaml");

  // Every trigger of a commit decides and writes under the same lock, so two
  // of them never both find it unrecorded, and an attestation filed by one is
  // never overwritten by the plain record of another.
  utils::make_dirs(breniklog_path.parent_path());
  auto guard = utils::locked(breniklog_path);
  if (options.still_wanted && !options.still_wanted()) return {commit, false};
  if (options.keep_existing) {
    if (commit_already_logged(breniklog_path, commit)) return {commit, false};
    if (auto archived = archive_without_line(archive)) {
      // Completed from its archive, which keeps whatever the agent attested.
      const auto event = made_without_attestation(*archived) ? options.event : std::nullopt;
      append_log_entry(breniklog_path, entry_of(*archived, commit, branch, event));
      if (options.after_write) options.after_write();
      return {commit, true};
    }
  }

  utils::make_dirs(attestations_dir);
  utils::atomic_write(archive, yaml::dump(parsed));

  if (options.archive_ledger && options.repo_root)
    archive_ledger_segment(*options.repo_root, attestations_dir, parsed, commit);

  const json::Value entry = entry_of(parsed, commit, branch, options.event);
  if (options.keep_existing || !replace_log_entry(breniklog_path, entry)) append_log_entry(breniklog_path, entry);
  if (options.after_write) options.after_write();
  return {commit, true};
}

std::string log_attestation(const fs::path& breniklog_path, const fs::path& attestations_dir,
                            const json::Value& parsed, const LogAttestationOptions& options) {
  return file_attestation(breniklog_path, attestations_dir, parsed, options).commit;
}

BackfillResult write_commit_record(const fs::path& repo_root, const std::string& commit,
                                   const WriteCommitRecordOptions& o) {
  const auto log_path = paths::log_jsonl(repo_root);
  const auto attestations = paths::attestations_dir(repo_root);

  const std::string shown = git({"show", "-s", "--format=%aI%n%an%n%ae%n%s", commit}, {.cwd = repo_root});
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (parts.size() < 3) {
    auto nl = shown.find('\n', start);
    if (nl == std::string::npos) break;
    parts.push_back(shown.substr(start, nl - start));
    start = nl + 1;
  }
  parts.push_back(start <= shown.size() ? shown.substr(start) : std::string());
  while (parts.size() < 4) parts.emplace_back();
  const std::string& author_date = parts[0];
  const std::string& author_name = parts[1];
  const std::string& author_email = parts[2];
  const std::string& subject = parts[3];

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
                                     {.commit_override = commit, .repo_root = repo_root,
                                      .archive_ledger = o.archive_ledger, .event = o.event,
                                      .keep_existing = true, .head_branch = o.head_branch});
  if (!filed.written) return {.commit = commit, .written = false, .reason = REASON_ALREADY_RECORDED};
  return BackfillResult{.commit = commit, .written = true,
                        .tokens = truthy(member(telemetry, "tokens"))};
}

}  // namespace detail
}  // namespace brenik::services::tolvern
