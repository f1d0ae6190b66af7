#include "services/upload/upload.hpp"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <system_error>

#include "agents/registry.hpp"
#include "paths/paths.hpp"
#include "protocol/http_client.hpp"
#include "services/ledger/log_store.hpp"
#include "services/ledger/refused_records.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/logging.hpp"
#include "utils/process.hpp"
#include "utils/text.hpp"
#include "utils/time.hpp"
#include "utils/truthy.hpp"
#include "utils/yaml.hpp"

namespace brenik::services::tolvern {

namespace http = protocol::http_client;

namespace detail {

std::size_t record_size(const json::Value& record) {
  try {
    return json::dumps(record).size();
  } catch (const TypeError&) {
    return 0;
  } catch (const ValueError&) {
    return 0;
  }
}

std::vector<std::size_t> batch_ends(const std::vector<json::Value>& entries, std::size_t max_count,
                                    std::size_t max_bytes) {
  std::vector<std::size_t> ends;
  std::size_t open_count = 0, open_bytes = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t size = record_size(entries[i]);
    if (open_count > 0 && (open_count >= max_count || open_bytes + size > max_bytes)) {
      ends.push_back(i);
      open_count = 0;
      open_bytes = 0;
    }
    ++open_count;
    open_bytes += size;
  }
  if (open_count > 0) ends.push_back(entries.size());
  return ends;
}

std::vector<std::vector<json::Value>> chunk_attestations(const std::vector<json::Value>& entries, std::size_t max_count,
                                                         std::size_t max_bytes) {
  std::vector<std::vector<json::Value>> batches;
  std::size_t first = 0;
  for (std::size_t end : batch_ends(entries, max_count, max_bytes)) {
    batches.emplace_back(entries.begin() + static_cast<std::ptrdiff_t>(first),
                         entries.begin() + static_cast<std::ptrdiff_t>(end));
    first = end;
  }
  return batches;
}

bool refuses_content(long status) { return status == 400 || status == 413 || status == 422; }

}  // namespace detail

namespace {

bool regular_file_exists(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

// A regular file itself, not a link: what brenik archives is never a link,
// and one planted in a cloned repository could point at any file of the
// user's, which would then be uploaded.
bool plain_file(const fs::path& p) {
  std::error_code ec;
  return fs::symlink_status(p, ec).type() == fs::file_type::regular;
}

bool project_id_missing(const json::Value& project_id) {
  if (project_id.is_null()) return true;
  if (project_id.is_string()) return project_id.get_ref<const std::string&>().empty();
  return false;
}

// The archived attestation: first document of the YAML stream. Throws
// YAMLError or OSError when the file is unusable.
json::Value read_archived_attestation(const fs::path& file) {
  std::string text = utils::read_file(file);
  // Undecodable bytes make the file as unusable as a YAML syntax error.
  if (!utils::is_valid_utf8(text)) throw YAMLError("file is not valid UTF-8");
  auto docs = yaml::load_all(text);
  if (docs.empty() || docs.front().is_null()) return json::Value::object();
  return docs.front();
}

// The archived ledger segment, one JSON value per non-blank line; none when
// the file cannot be read or any line is not JSON.
std::optional<json::Value> read_archived_ledger(const fs::path& file) {
  auto text = utils::try_read_file(file);
  if (!text) return std::nullopt;
  json::Value lines = json::Value::array();
  std::size_t start = 0;
  while (start <= text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    std::string line = utils::strip(std::string_view(*text).substr(start, end - start));
    if (!line.empty()) {
      auto value = json::try_loads(line);
      if (!value) return std::nullopt;
      lines.push_back(std::move(*value));
    }
    start = end + 1;
  }
  return lines;
}

// What a header value can carry as is: printable ASCII. A session id with
// anything else (line breaks, controls, other encodings) is left out of the
// request rather than failing it.
bool header_value_safe(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c >= 0x7f) return false;
  return true;
}

std::optional<std::string> session_header_value(const fs::path& repo_root) {
  std::optional<std::string> session_id =
      utils::best_effort_or(std::nullopt, "Agent detection for session header failed", {.audible = false},
                            [&]() -> std::optional<std::string> {
                              if (auto adapter = agents::detect_active_agent())
                                return adapter->get_session_id(repo_root);
                              return std::nullopt;
                            });
  if (!session_id || session_id->empty()) {
    const char* env = std::getenv("AGENT_SESSION_ID");
    if (env) session_id = std::string(env);
  }
  if (session_id && !session_id->empty() && header_value_safe(*session_id)) return session_id;
  return std::nullopt;
}

// One upload run's records and what became of them.
struct Run {
  const std::string& api_key;
  const std::string& api_url;
  const json::Value& project_id;
  const fs::path& log_path;
  const http::UploadOptions& options;
  std::vector<json::Value> unsent;    // as sent (completed from the archive)
  std::vector<json::Value> as_read;   // each one's log line, as read
  std::set<std::string> was_refused;  // refused before, line changed since
  std::int64_t uploaded = 0;
  RefusedRecords refused;         // set aside by this run
  std::set<std::string> cleared;  // taken by the server this run

  void refuse(std::size_t i, const std::string& reason, long status) {
    refused[text_member(unsent[i], "commit")] = RefusedRecord{.reason = one_line(reason),
                                                              .status = status,
                                                              .at = utils::utc_now_iso(),
                                                              .line_sha256 = line_fingerprint(as_read[i])};
  }

  // Sends records [first, last) as one request. When the server refuses
  // what they hold, halves them until each refused record stands alone, so
  // that no record is refused for a neighbour's fault. Any other failure
  // propagates and stops the run.
  void send(std::size_t first, std::size_t last) {
    const std::vector<json::Value> batch(unsent.begin() + static_cast<std::ptrdiff_t>(first),
                                         unsent.begin() + static_cast<std::ptrdiff_t>(last));
    json::Value data;
    try {
      data = http::upload_attestations(api_key, api_url, project_id, batch, options);
    } catch (const http::UploadError& e) {
      if (!detail::refuses_content(e.status)) throw;
      if (last - first == 1) {
        refuse(first, "HTTP " + std::to_string(e.status) + ": " + e.detail, e.status);
        return;
      }
      const std::size_t middle = first + (last - first) / 2;
      send(first, middle);
      send(middle, last);
      return;
    }
    const auto& inserted = member(data, "inserted");
    uploaded += inserted.is_number_integer() || inserted.is_number_unsigned() ? inserted.get<std::int64_t>()
                                                                              : static_cast<std::int64_t>(batch.size());
    // A line upgraded in place while the batch was on its way stays pending.
    const std::vector<json::Value> batch_as_read(as_read.begin() + static_cast<std::ptrdiff_t>(first),
                                                 as_read.begin() + static_cast<std::ptrdiff_t>(last));
    tolvern::detail::mark_synced(log_path, batch, &batch_as_read);
    for (const auto& record : batch) {
      const std::string commit = text_member(record, "commit");
      if (was_refused.count(commit)) cleared.insert(commit);
    }
  }
};

}  // namespace

UploadResult upload_attestations(const std::string& api_key, const std::string& api_url, const fs::path& repo_root,
                                 const fs::path& attestations_dir, const json::Value& project_id) {
  if (!shared::local_config_exists(repo_root) && !regular_file_exists(paths::legacy_dir(repo_root)))
    return UploadResult{.already_synced = true};
  if (!truthy(shared::load_local_config(repo_root))) return UploadResult{.already_synced = true};
  if (project_id_missing(project_id))
    return UploadResult{.ok = false, .error = "no project id to address the upload to"};
  const fs::path log_path = paths::log_jsonl(repo_root);
  {
    std::error_code ec;
    if (!fs::exists(log_path, ec)) return UploadResult{.already_synced = true};
  }
  if (api_key.empty()) return UploadResult{.ok = false, .error = "No API key configured"};

  AttestationLog log = read_attestation_log(log_path);
  const RefusedRecords refused_before = read_refused_records(log_path);
  std::set<std::string> pending_commits;
  std::int64_t still_refused = 0;
  std::int64_t skipped_invalid = static_cast<std::int64_t>(log.unaddressable);
  http::UploadOptions options;
  Run run{api_key, api_url, project_id, log_path, options, {}, {}, {}, 0, {}, {}};
  for (auto& entry : log.pending) {
    json::Value line = entry;
    const std::string commit = text_member(entry, "commit");
    pending_commits.insert(commit);
    if (auto it = refused_before.find(commit); it != refused_before.end()) {
      // Refused as it reads now: not sent again. Changed since: tried again.
      if (it->second.line_sha256 == line_fingerprint(line)) {
        ++still_refused;
        continue;
      }
      run.was_refused.insert(commit);
    }
    if (!entry.contains("attestation") && !entry.contains("raw_attestation")) {
      const fs::path file = attestations_dir / (commit + ".yaml");
      std::error_code ec;
      if (fs::exists(fs::symlink_status(file, ec)) && !plain_file(file)) {
        // Something is there that cannot be read as the attestation (a
        // folder, a link): the record must not go without it.
        logging::warning("Corrupt attestation file %s: %s", file, "not a regular file");
        ++skipped_invalid;
        continue;
      }
      if (plain_file(file)) {
        try {
          entry["attestation"] = read_archived_attestation(file);
        } catch (const YAMLError& e) {
          logging::warning("Corrupt attestation file %s: %s", file, e);
          ++skipped_invalid;
          continue;
        } catch (const OSError& e) {
          logging::warning("Corrupt attestation file %s: %s", file, e);
          ++skipped_invalid;
          continue;
        }
      }
    }
    if (!entry.contains("ledger")) {
      const fs::path file = attestations_dir / (commit + ".ledger.jsonl");
      if (plain_file(file))
        if (auto ledger = read_archived_ledger(file)) entry["ledger"] = std::move(*ledger);
    }
    run.unsent.push_back(std::move(entry));
    run.as_read.push_back(std::move(line));
  }

  // A record too big for any request the server accepts is refused unsent.
  {
    std::vector<json::Value> sendable, sendable_as_read;
    for (std::size_t i = 0; i < run.unsent.size(); ++i) {
      if (detail::record_size(run.unsent[i]) > detail::MAX_SENDABLE_RECORD_BYTES) {
        run.refuse(i, "larger than the server accepts in one request", 413);
        continue;
      }
      sendable.push_back(std::move(run.unsent[i]));
      sendable_as_read.push_back(std::move(run.as_read[i]));
    }
    run.unsent = std::move(sendable);
    run.as_read = std::move(sendable_as_read);
  }

  // The set-aside file is rewritten only when this run changed what it says.
  auto save_refusals = [&] {
    bool stale = !run.refused.empty() || !run.cleared.empty();
    for (const auto& [commit, r] : refused_before)
      if (!pending_commits.count(commit)) stale = true;
    if (stale) update_refused_records(repo_root, run.refused, run.cleared, pending_commits);
  };
  auto refused_count = [&] { return still_refused + static_cast<std::int64_t>(run.refused.size()); };

  if (run.unsent.empty()) {
    save_refusals();
    return UploadResult{.skipped_invalid = skipped_invalid, .already_synced = true, .refused = refused_count()};
  }

  if (auto session_id = session_header_value(repo_root))
    options.extra_headers = std::map<std::string, std::string>{{"X-Agent-Session-Id", *session_id}};

  try {
    std::size_t first = 0;
    for (std::size_t end : detail::batch_ends(run.unsent)) {
      run.send(first, end);
      first = end;
    }
  } catch (const RuntimeError& e) {
    save_refusals();
    const auto* failed = dynamic_cast<const http::UploadError*>(&e);
    return UploadResult{.ok = false,
                        .uploaded = run.uploaded,
                        .skipped_invalid = skipped_invalid,
                        .error = std::string(e.what()),
                        .code = failed ? failed->code : std::nullopt,
                        .refused = refused_count()};
  }
  save_refusals();
  return UploadResult{.uploaded = run.uploaded, .skipped_invalid = skipped_invalid, .refused = refused_count()};
}

}  // namespace brenik::services::tolvern
