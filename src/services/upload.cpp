#include "services/upload.hpp"

#include <algorithm>

#include <cstdlib>
#include <system_error>

#include "agents/registry.hpp"
#include "paths/paths.hpp"
#include "protocol/http_client.hpp"
#include "services/log_store.hpp"
#include "services/shared.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/process.hpp"
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

std::vector<std::vector<json::Value>> chunk_attestations(const std::vector<json::Value>& entries,
                                                         std::size_t max_count,
                                                         std::size_t max_bytes) {
  std::vector<std::vector<json::Value>> batches;
  std::vector<json::Value> open;
  std::size_t open_bytes = 0;
  for (const auto& record : entries) {
    const std::size_t size = record_size(record);
    if (!open.empty() && (open.size() >= max_count || open_bytes + size > max_bytes)) {
      batches.push_back(std::move(open));
      open.clear();
      open_bytes = 0;
    }
    open.push_back(record);
    open_bytes += size;
  }
  if (!open.empty()) batches.push_back(std::move(open));
  return batches;
}

}  // namespace detail

namespace {

bool regular_file_exists(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
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

std::optional<std::string> session_header_value(const fs::path& repo_root) {
  std::optional<std::string> session_id;
  try {
    if (auto adapter = agents::detect_active_agent()) session_id = adapter->get_session_id(repo_root);
  } catch (...) {
    logging::debug_exc("Agent detection for session header failed");
    session_id.reset();
  }
  if (!session_id || session_id->empty()) {
    const char* env = std::getenv("AGENT_SESSION_ID");
    if (env) session_id = std::string(env);
  }
  if (session_id && !session_id->empty()) return session_id;
  return std::nullopt;
}

}  // namespace

UploadResult upload_attestations(const std::string& api_key, const std::string& api_url,
                                 const fs::path& repo_root, const fs::path& attestations_dir,
                                 const json::Value& project_id) {
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
  std::int64_t skipped_invalid = static_cast<std::int64_t>(log.unaddressable);
  std::vector<json::Value> unsent;
  std::vector<json::Value> as_read;  // each unsent record's line, as read
  for (auto& entry : log.pending) {
    json::Value line = entry;
    const std::string commit = text_member(entry, "commit");
    if (!entry.contains("attestation") && !entry.contains("raw_attestation")) {
      const fs::path file = attestations_dir / (commit + ".yaml");
      if (regular_file_exists(file)) {
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
      if (regular_file_exists(file))
        if (auto ledger = read_archived_ledger(file)) entry["ledger"] = std::move(*ledger);
    }
    unsent.push_back(std::move(entry));
    as_read.push_back(std::move(line));
  }
  if (unsent.empty()) return UploadResult{.skipped_invalid = skipped_invalid, .already_synced = true};

  http::UploadOptions options;
  if (auto session_id = session_header_value(repo_root))
    options.extra_headers = std::map<std::string, std::string>{{"X-Agent-Session-Id", *session_id}};

  std::int64_t uploaded = 0;
  try {
    std::size_t sent = 0;
    for (const auto& batch : detail::chunk_attestations(unsent)) {
      json::Value data = http::upload_attestations(api_key, api_url, project_id, batch, options);
      const auto& inserted = member(data, "inserted");
      uploaded += inserted.is_number_integer() || inserted.is_number_unsigned()
                      ? inserted.get<std::int64_t>()
                      : static_cast<std::int64_t>(batch.size());
      // Batches keep the records' order: this one holds the next batch.size()
      // lines read. A line upgraded in place meanwhile stays pending.
      const std::size_t end = std::min(as_read.size(), sent + batch.size());
      const std::vector<json::Value> batch_as_read(as_read.begin() + static_cast<std::ptrdiff_t>(sent),
                                                   as_read.begin() + static_cast<std::ptrdiff_t>(end));
      sent = end;
      tolvern::detail::mark_synced(log_path, batch, &batch_as_read);
    }
  } catch (const RuntimeError& e) {
    const auto* refused = dynamic_cast<const http::UploadError*>(&e);
    return UploadResult{.ok = false,
                        .uploaded = uploaded,
                        .skipped_invalid = skipped_invalid,
                        .error = std::string(e.what()),
                        .code = refused ? refused->code : std::nullopt};
  }
  return UploadResult{.uploaded = uploaded, .skipped_invalid = skipped_invalid};
}

}  // namespace brenik::services::tolvern
