#include "services/ledger/archive_reader.hpp"

#include <fcntl.h>

#include <cerrno>
#include <string_view>

#include "services/git/commit_id.hpp"
#include "services/ledger/block_yaml.hpp"
#include "utils/errors.hpp"
#include "utils/text.hpp"
#include "utils/unique_fd.hpp"
#include "utils/yaml.hpp"

namespace brenik::services::tolvern {

ArchiveReader::ArchiveReader(const std::filesystem::path& attestations_dir) noexcept {
  try {
    dir_.emplace(attestations_dir, false);
  } catch (const OSError& e) {
    refused_ = e.error_number() != ENOENT;
  } catch (const std::exception&) {
    refused_ = true;
  }
}

ArchiveReader::File ArchiveReader::read(const std::string& commit, const char* suffix) const {
  File f;
  // A name is one entry of the folder, never a way out of it.
  if (!detail::is_valid_commit_hash(commit)) return f;
  if (!dir_) {
    if (refused_) f.state = ArchiveState::unreadable;
    return f;
  }
  const std::string name = commit + suffix;
  // O_NONBLOCK: a FIFO planted there is never waited on.
  const utils::UniqueFd fd(::openat(dir_->fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno != ENOENT) f.state = ArchiveState::unreadable;
    return f;
  }
  auto text = utils::read_regular_fd(fd.get(), MAX_ARCHIVE_BYTES);
  if (!text) {
    f.state = ArchiveState::unreadable;
    return f;
  }
  f.state = ArchiveState::found;
  f.text = std::move(*text);
  return f;
}

ArchivedAttestation ArchiveReader::parse(File file) const {
  ArchivedAttestation a;
  a.state = file.state;
  if (file.state != ArchiveState::found) return a;
  a.state = ArchiveState::unreadable;
  // Undecodable bytes make the file as unusable as a YAML syntax error.
  if (!utils::is_valid_utf8(file.text)) return a;
  if (auto fast = detail::read_block_yaml(file.text)) {
    a.value = std::move(*fast);
  } else {
    try {
      auto docs = yaml::load_all(file.text);
      a.value = docs.empty() || docs.front().is_null() ? json::Value::object() : std::move(docs.front());
    } catch (const std::exception&) {
      return a;
    }
  }
  a.state = ArchiveState::found;
  return a;
}

ArchivedAttestation ArchiveReader::attestation(const std::string& commit) const { return parse(read(commit, ".yaml")); }

std::optional<json::Value> ArchiveReader::mapping(const std::string& commit) const {
  auto a = attestation(commit);
  if (a.state != ArchiveState::found || !a.value.is_object()) return std::nullopt;
  return std::move(a.value);
}

std::string ArchiveReader::model(const std::string& commit) const {
  File file = read(commit, ".yaml");
  if (file.state != ArchiveState::found || !utils::is_valid_utf8(file.text)) return "";
  // Our YAML writer puts top-level keys at the start of a line; a plain
  // scalar is taken as it stands, anything else goes through the parser.
  const std::string_view t = file.text;
  constexpr std::string_view key = "agent_model:";
  std::size_t at = t.substr(0, key.size()) == key ? 0 : t.find("\nagent_model:");
  if (at == std::string_view::npos) return "";
  if (at != 0) ++at;
  const std::size_t eol = t.find('\n', at);
  const std::string_view value = utils::strip_view(
      t.substr(at + key.size(), eol == std::string_view::npos ? std::string_view::npos : eol - at - key.size()));
  const bool plain = !value.empty() &&
                     std::string_view("'\"&*!|>%@`{[#?-").find(value.front()) == std::string_view::npos &&
                     value.find(": ") == std::string_view::npos && value.find(" #") == std::string_view::npos;
  if (plain && value != "null" && value != "~") return std::string(value);
  const auto parsed = parse(std::move(file));
  if (parsed.state != ArchiveState::found) return "";
  const auto& m = member(parsed.value, "agent_model");
  return m.is_string() ? m.get<std::string>() : std::string();
}

std::vector<json::Value> ArchiveReader::ledger_segment(const std::string& commit) const {
  std::vector<json::Value> lines;
  const File file = read(commit, ".ledger.jsonl");
  if (file.state != ArchiveState::found) return lines;
  std::string_view t = file.text;
  while (!t.empty()) {
    const std::size_t nl = t.find('\n');
    const std::string_view line = utils::strip_view(t.substr(0, nl));
    t = nl == std::string_view::npos ? std::string_view() : t.substr(nl + 1);
    if (line.empty()) continue;
    if (auto v = json::try_loads(std::string(line)))
      lines.push_back(std::move(*v));
    else
      lines.emplace_back(std::string(line));
  }
  return lines;
}

namespace detail {

std::optional<json::Value> archived_record(const std::filesystem::path& attestations_dir, const std::string& commit) {
  auto archived = ArchiveReader(attestations_dir).mapping(commit);
  if (!archived || archived->empty()) return std::nullopt;
  return archived;
}

}  // namespace detail

}  // namespace brenik::services::tolvern
