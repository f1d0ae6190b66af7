#include "services/export/records.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <system_error>
#include <unordered_map>

#include "paths/paths.hpp"
#include "services/export/block_yaml.hpp"
#include "services/git.hpp"
#include "services/log_line.hpp"
#include "services/log_store.hpp"
#include "utils/fs.hpp"
#include "utils/mapped_file.hpp"
#include "utils/unique_fd.hpp"
#include "utils/yaml.hpp"

namespace brenik::services::exporting {

namespace fs = std::filesystem;

namespace {

// Whole file through a descriptor opened without following a link; none when
// it is missing (ENOENT), throws nothing.
enum class Read { missing, unusable, ok };

Read read_plain_file(const fs::path& file, std::string& out) {
  utils::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return errno == ENOENT ? Read::missing : Read::unusable;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Read::unusable;
  out.clear();
  out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[1 << 14];
  while (true) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Read::unusable;
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return Read::ok;
}

// A link where .brenik/ or one of its folders should be could point anywhere:
// nothing outside the repository is read (and exported) through one.
bool inside_brenik(const fs::path& repo_root, const fs::path& path) {
  const fs::path brenik = paths::brenik_dir(repo_root);
  return utils::stays_inside(repo_root, brenik) && utils::stays_inside(brenik, path);
}

// First line of each wanted commit, in one pass over the log. A commit's
// first line is the one an upgrade rewrites in place.
void join_log(const fs::path& repo_root, std::unordered_map<std::string_view, json::Value*>& wanted) {
  const fs::path log = paths::log_jsonl(repo_root);
  std::error_code ec;
  if (fs::symlink_status(log, ec).type() != fs::file_type::regular || !inside_brenik(repo_root, log)) return;
  std::optional<utils::MappedFile> file;
  try {
    file.emplace(log);
  } catch (const std::exception&) {
    return;
  }
  tolvern::detail::LineParser parser;
  const std::string_view text = file->view();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = tolvern::detail::strip_view(text.substr(start, end - start));
    start = end + 1;
    // Cheap test first: a line without a wanted id needs no parse.
    if (line.empty() || line.find("\"commit\"") == std::string_view::npos) continue;
    if (!parser.parse(line)) continue;
    const auto& f = parser.fields();
    if (!f.is_object || !f.commit) continue;
    auto it = wanted.find(*f.commit);
    if (it == wanted.end() || !it->second->is_null()) continue;
    *it->second = parser.value();
  }
}

// `dir_inside`: the attestations folder was checked to stay inside .brenik/.
std::optional<json::Value> read_archive(const fs::path& dir, bool dir_inside, const std::string& commit) {
  if (!tolvern::detail::is_valid_commit_hash(commit)) return json::Value();
  std::string text;
  switch (read_plain_file(dir / (commit + ".yaml"), text)) {
    case Read::missing: return json::Value();
    case Read::unusable: return std::nullopt;
    case Read::ok: break;
  }
  if (!dir_inside || !utils::is_valid_utf8(text)) return std::nullopt;
  if (auto fast = read_block_yaml(text)) return fast;
  try {
    auto docs = yaml::load_all(text);
    if (docs.empty() || docs.front().is_null()) return json::Value::object();
    return docs.front();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<json::Value> read_archived_attestation(const fs::path& repo_root, const std::string& commit) {
  const fs::path dir = paths::attestations_dir(repo_root);
  return read_archive(dir, inside_brenik(repo_root, dir), commit);
}

std::optional<RecordLookup> lookup_records(const fs::path& repo_root, const std::string& range,
                                           double timeout_seconds) {
  // The archived attestations are parsed on a second thread while git
  // prints the diffs: the two are the bulk of the work and need nothing
  // from each other but the commit ids, which rev-list gives at once.
  auto ids_text = tolvern::detail::git_bytes({"rev-list", "--end-of-options", range, "--"}, repo_root,
                                             timeout_seconds);
  if (!ids_text) return std::nullopt;
  std::vector<std::string> ids;
  std::size_t start = 0;
  while (start < ids_text->size()) {
    std::size_t end = ids_text->find('\n', start);
    if (end == std::string::npos) end = ids_text->size();
    if (end > start) ids.push_back(ids_text->substr(start, end - start));
    start = end + 1;
  }
  const fs::path dir = paths::attestations_dir(repo_root);
  const bool dir_inside = inside_brenik(repo_root, dir);
  auto read_all = [&ids, &dir, dir_inside] {
    std::unordered_map<std::string, std::optional<json::Value>> found;
    found.reserve(ids.size());
    for (const auto& id : ids) found.emplace(id, read_archive(dir, dir_inside, id));
    return found;
  };
  std::future<decltype(read_all())> archives;
  try {
    archives = std::async(std::launch::async, read_all);
  } catch (const std::system_error&) {
    archives = std::async(std::launch::deferred, read_all);  // no thread to be had: read them here
  }

  auto commits = read_commit_changes(repo_root, range, timeout_seconds);
  auto archived = archives.get();
  if (!commits) return std::nullopt;
  std::vector<CommitRecord> all;
  all.reserve(commits->size());
  for (auto& c : *commits) all.push_back(CommitRecord{std::move(c), json::Value(), json::Value()});
  std::unordered_map<std::string_view, json::Value*> wanted;
  wanted.reserve(all.size());
  for (auto& r : all) wanted.emplace(r.changes.commit, &r.log_line);
  join_log(repo_root, wanted);

  RecordLookup out;
  for (auto& r : all) {
    std::optional<json::Value> att;
    if (auto it = archived.find(r.changes.commit); it != archived.end()) att = std::move(it->second);
    else att = read_archive(dir, dir_inside, r.changes.commit);  // the branch moved in between
    if (!att) ++out.unreadable;
    else r.attestation = std::move(*att);
    if (!r.log_line.is_null() || !r.attestation.is_null()) {
      out.records.push_back(std::move(r));
    } else if (att) {
      ++out.without_record;
    }
    // Else an archive is there but cannot be read, and there is no line:
    // counted as unreadable, and nothing is made up for it.
  }
  return out;
}

}  // namespace brenik::services::exporting
