#include "services/ledger/refused_records.hpp"

#include <system_error>

#include "paths/paths.hpp"
#include "utils/best_effort.hpp"
#include "utils/filelock.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/sha256.hpp"
#include "utils/json.hpp"

namespace brenik::services::tolvern {

namespace {

constexpr const char* FILE_NAME = "refused.json";

// A real folder, not a link to one: the file is only ever written inside the
// repository's own .brenik/.platform/.
bool real_directory(const fs::path& dir) {
  std::error_code ec;
  return fs::symlink_status(dir, ec).type() == fs::file_type::directory;
}

json::Value to_json(const RefusedRecords& records) {
  json::Value out = json::Value::object();
  for (const auto& [commit, r] : records) {
    json::Value entry = json::Value::object();
    entry["reason"] = r.reason;
    entry["status"] = r.status;
    entry["at"] = r.at;
    entry["line_sha256"] = r.line_sha256;
    out[commit] = std::move(entry);
  }
  return out;
}

}  // namespace

fs::path refused_records_path(const fs::path& log_path) { return log_path.parent_path() / FILE_NAME; }

std::string line_fingerprint(const json::Value& line) { return utils::sha256_hex(json::dumps(line)); }

RefusedRecords read_refused_records(const fs::path& log_path) noexcept {
  // A file that is missing, not ours or does not read holds no refusals.
  return utils::best_effort_or(RefusedRecords(), utils::unlogged, [&] {
    RefusedRecords out;
    const fs::path file = refused_records_path(log_path);
    std::error_code ec;
    if (fs::symlink_status(file, ec).type() != fs::file_type::regular) return out;
    auto text = utils::try_read_file(file);
    if (!text) return out;
    auto doc = json::try_loads(*text);
    if (!doc || !doc->is_object()) return out;
    for (const auto& [commit, entry] : doc->items()) {
      const std::string sha = text_member(entry, "line_sha256");
      if (sha.empty()) continue;
      const auto& status = member(entry, "status");
      out[commit] = RefusedRecord{
          .reason = text_member(entry, "reason"),
          .status = status.is_number_integer() ? status.get<long>() : 0,
          .at = text_member(entry, "at"),
          .line_sha256 = sha,
      };
    }
    return out;
  });
}

std::vector<std::pair<std::string, RefusedRecord>> refused_pending(const std::vector<json::Value>& pending,
                                                                   const RefusedRecords& refused) {
  std::vector<std::pair<std::string, RefusedRecord>> out;
  if (refused.empty()) return out;
  for (const auto& line : pending) {
    const std::string commit = text_member(line, "commit");
    auto it = refused.find(commit);
    if (it != refused.end() && it->second.line_sha256 == line_fingerprint(line)) out.emplace_back(commit, it->second);
  }
  return out;
}

std::string one_line(const std::string& text, std::size_t max_bytes) {
  std::string out;
  out.reserve(std::min(text.size(), max_bytes));
  for (unsigned char c : text) out += (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
  if (out.size() > max_bytes) {
    std::size_t cut = max_bytes;
    // Back off to the start of a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  return out;
}

bool update_refused_records(const fs::path& repo_root, const RefusedRecords& added,
                            const std::set<std::string>& cleared,
                            const std::set<std::string>& pending_commits) noexcept {
  return utils::best_effort_or(false, "Refused records not saved", {.detail = utils::Detail::reason}, [&] {
    const fs::path log_path = paths::log_jsonl(repo_root);
    if (!real_directory(paths::brenik_dir(repo_root)) || !real_directory(paths::platform_dir(repo_root)) ||
        log_path.parent_path() != paths::platform_dir(repo_root)) {
      logging::warning("Refused records not saved: %s is not a plain folder", paths::platform_dir(repo_root));
      return false;
    }
    auto guard = utils::locked(log_path);
    const RefusedRecords before = read_refused_records(log_path);
    RefusedRecords kept;
    for (const auto& [commit, r] : before)
      if (!cleared.count(commit) && pending_commits.count(commit)) kept.emplace(commit, r);
    for (const auto& [commit, r] : added) kept[commit] = r;
    const fs::path file = refused_records_path(log_path);
    if (kept.empty()) {
      std::error_code ec;
      if (fs::symlink_status(file, ec).type() != fs::file_type::not_found) fs::remove(file, ec);
      return !ec;
    }
    utils::atomic_write(file, json::dumps(to_json(kept), {.indent = 2}) + "\n");
    return true;
  });
}

}  // namespace brenik::services::tolvern
