#include "services/shared.hpp"
#include "services/git/worktree_discovery.hpp"

#include <re2/re2.h>

#include <algorithm>

#include "paths/paths.hpp"
#include "services/git/config_files.hpp"
#include "services/git/git.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/hook_input.hpp"
#include "utils/logging.hpp"
#include "utils/process.hpp"
#include "utils/sha256.hpp"
#include "utils/text.hpp"
#include "utils/json.hpp"
#include "utils/yaml.hpp"

namespace brenik::services::shared {

const char* const CHANGE_SPEC_SLUG_RE = "^[a-z0-9]+(?:-[a-z0-9]+)*$";

bool is_change_spec_slug(std::string_view text) {
  static const re2::RE2 re(CHANGE_SPEC_SLUG_RE);
  return text.size() <= 128 && re2::RE2::FullMatch(re2::StringPiece(text.data(), text.size()), re);
}

namespace {

fs::path legacy_yaml(const fs::path& repo_root) { return paths::legacy_dir(repo_root) / "config.yaml"; }
fs::path legacy_json(const fs::path& repo_root) { return paths::legacy_dir(repo_root) / "config.json"; }

bool is_file(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

}  // namespace

json::Value load_local_config(const fs::path& repo_root) {
  for (const auto& candidate : {paths::config_yaml(repo_root), legacy_yaml(repo_root), legacy_json(repo_root)}) {
    if (!is_file(candidate)) continue;
    const std::string text = utils::read_file(candidate);  // an unreadable file is an OSError
    try {
      json::Value v = candidate.extension() == ".json" ? json::loads(text) : yaml::load(text);
      return v.is_object() ? v : json::Value::object();
    } catch (const std::exception& e) {
      // A broken file reads as no configuration: callers then treat the
      // repository as not linked rather than failing a commit hook.
      logging::debug("Local configuration %s is unreadable: %s", candidate, e.what());
      return json::Value::object();
    }
  }
  return json::Value::object();
}

void save_local_config(const fs::path& repo_root, const json::Value& config) {
  const auto path = paths::config_yaml(repo_root);
  utils::make_dirs(path.parent_path());
  utils::atomic_write(path, yaml::dump(config.is_object() ? config : json::Value::object()));
}

bool local_config_exists(const fs::path& repo_root) {
  return is_file(paths::config_yaml(repo_root)) || is_file(legacy_yaml(repo_root)) || is_file(legacy_json(repo_root));
}

std::string strip_yaml_delimiters(std::string_view content) {
  std::string_view text = content;
  auto first_line_end = text.find('\n');
  auto first = utils::strip(text.substr(0, first_line_end));
  if (first == "---") text = first_line_end == std::string_view::npos ? "" : text.substr(first_line_end + 1);
  // The closing delimiter: the last non-blank line.
  std::size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == ' ' || text[end - 1] == '\r' || text[end - 1] == '\t'))
    --end;
  std::size_t line_start = text.rfind('\n', end == 0 ? 0 : end - 1);
  line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
  if (end > line_start && utils::strip(text.substr(line_start, end - line_start)) == "---")
    text = text.substr(0, line_start);
  return std::string(text);
}

namespace {

// "specs/add-login.md" or "add-login" -> "add-login"; anything that is not a
// plain slug afterwards is dropped.
std::optional<std::string> slug_from_ref(const std::string& ref) {
  std::string s = utils::strip(ref);
  auto slash = s.find_last_of('/');
  if (slash != std::string::npos) s = s.substr(slash + 1);
  for (const char* ext : {".md", ".yaml", ".yml"}) {
    std::string e(ext);
    if (s.size() > e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0) s.resize(s.size() - e.size());
  }
  if (is_change_spec_slug(s)) return s;
  return std::nullopt;
}

void collect_from_provenance(const json::Value& prov, std::vector<std::string>& out) {
  auto add = [&](const json::Value& ref) {
    if (!ref.is_string()) return;
    auto slug = slug_from_ref(ref.get<std::string>());
    if (slug && std::find(out.begin(), out.end(), *slug) == out.end()) out.push_back(*slug);
  };
  if (prov.is_array()) {
    for (const auto& item : prov) collect_from_provenance(item, out);
    return;
  }
  if (!prov.is_object()) return;
  const auto type = text_member(prov, "type");
  if (type == "spec" || type == "change-spec" || type == "change_spec") {
    add(member(prov, "ref"));
    const auto& refs = member(prov, "refs");
    if (refs.is_array())
      for (const auto& r : refs) add(r);
  }
  for (const char* key : {"change_spec", "change_specs", "slug", "slugs"}) {
    const auto& v = member(prov, key);
    if (v.is_array())
      for (const auto& r : v) add(r);
    else
      add(v);
  }
}

}  // namespace

std::vector<std::string> extract_change_spec_slugs(const json::Value& parsed) {
  std::vector<std::string> out;
  collect_from_provenance(member(parsed, "provenance"), out);
  return out;
}

namespace {

// The identity in what `git config --get-regexp` printed.
json::Value author_of(const std::string& text) {
  json::Value author = json::Value::object();
  std::string name, email;
  utils::for_each_line(text, [&](std::string_view line) {
    auto space = line.find(' ');
    std::string_view key = line.substr(0, space);
    std::string value = space == std::string_view::npos ? "" : utils::strip(line.substr(space + 1));
    if (key == "user.name") name = value;  // the last setting wins, as git does
    if (key == "user.email") email = value;
    return true;
  });
  if (!name.empty()) author["git_author_name"] = name;
  if (!email.empty()) author["git_author_email"] = email;
  return author;
}

}  // namespace

json::Value detect_git_author(const fs::path& repo_root) {
  return author_of(tolvern::detail::user_identity_config(repo_root));
}

std::optional<json::Value> detect_git_author_from_files(const fs::path& repo_root) {
  auto text = tolvern::detail::user_identity_config_from_files(repo_root);
  if (!text) return std::nullopt;
  return author_of(*text);
}

fs::path get_repo_root(const std::optional<fs::path>& start) { return brenik_root(get_worktree_root(start)); }

fs::path brenik_root(const fs::path& worktree_root) {
  if (local_config_exists(worktree_root)) return worktree_root;
  auto main = detail::main_worktree_of(worktree_root);
  if (main && local_config_exists(*main)) return *main;
  return worktree_root;
}

fs::path get_worktree_root(const std::optional<fs::path>& start) {
  const fs::path from = start ? *start : fs::current_path();
  if (auto root = detail::discover_worktree_root(from)) return *root;
  auto top = tolvern::detail::git({"rev-parse", "--show-toplevel"}, {.cwd = from});
  if (top.empty()) throw RuntimeError("not inside a git repository");
  return fs::path(top);
}

std::string get_staged_diff_hash(const std::optional<fs::path>& repo_root) {
  // Exactly the bytes `git diff --staged | shasum -a 256` hashes, so the
  // hash an agent computes by hand is the hash checked here.
  auto r = tolvern::detail::git_run(
      {"diff", "--staged"},
      {.cwd = repo_root, .timeout_seconds = tolvern::detail::GIT_STAGED_DIFF_TIMEOUT_SECONDS, .capture_stderr = true});
  if (!r.ok()) throw RuntimeError("git diff --staged failed: " + utils::strip(r.err));
  return utils::sha256_hex(r.out);
}

json::Value read_hook_payload(const std::optional<std::string>& text) {
  std::optional<std::string> data = text;
  if (!data) data = utils::read_hook_input();
  // Held to the same cap as standard input, however the caller got it.
  if (!data || data->size() > utils::HOOK_INPUT_MAX_BYTES) return json::Value();
  auto value = json::try_loads(*data);
  return value ? *value : json::Value();
}

}  // namespace brenik::services::shared
