#include "hooks/removal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "agents/registry.hpp"
#include "agents/skills_writer.hpp"
#include "hooks/hook_managers.hpp"
#include "hooks/settings_file.hpp"
#include "paths/paths.hpp"
#include "services/shared.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/json_edit.hpp"
#include "utils/text.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::hooks::removal {

using installer::Status;
using installer::StepReport;
namespace je = utils::json_edit;
using utils::UniqueFd;

namespace {

const char* const IGNORE_COMMENT = "# brenik: local state, never committed (added by `brenik setup`)";

std::string display(const fs::path& root, const fs::path& p) {
  std::error_code ec;
  auto rel = fs::relative(p, root, ec);
  if (!ec && !rel.empty() && rel.native().rfind("..", 0) != 0) return rel.string();
  return p.string();
}

fs::file_type entry_type(const fs::path& p) {
  std::error_code ec;
  return fs::symlink_status(p, ec).type();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t i = 0;
  while (i < text.size()) {
    auto j = text.find('\n', i);
    if (j == std::string::npos) j = text.size() - 1;
    lines.push_back(text.substr(i, j + 1 - i));
    i = j + 1;
  }
  return lines;
}

// Everything in the folder `dir`, never through a link (a link goes as itself).
void clear_folder(int dir) {
  UniqueFd own(::dup(dir));
  if (own.get() < 0) throw OSError(errno, "dup");
  DIR* d = ::fdopendir(own.get());
  if (!d) throw OSError(errno, "fdopendir");
  own.release();
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  for (const auto& name : names) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      UniqueFd sub(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub.get() < 0) throw OSError(errno, name);
      clear_folder(sub.get());
      if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0) throw OSError(errno, name);
    } else if (::unlinkat(dir, name.c_str(), 0) != 0) {
      throw OSError(errno, name);
    }
  }
}

// Removes `path` (a file or a whole folder) below the repository without
// following a link on the way or inside. False when there was nothing.
bool remove_confined(const fs::path& path) {
  utils::ConfinedDir parent(path.parent_path(), false);
  const std::string name = path.filename().string();
  auto st = parent.entry(name);
  if (!st) return false;
  if (S_ISDIR(st->st_mode)) {
    UniqueFd sub(::openat(parent.fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.get() < 0) throw OSError(errno, path.string());
    clear_folder(sub.get());
    if (::unlinkat(parent.fd(), name.c_str(), AT_REMOVEDIR) != 0) throw OSError(errno, path.string());
  } else if (::unlinkat(parent.fd(), name.c_str(), 0) != 0) {
    throw OSError(errno, path.string());
  }
  return true;
}

bool folder_is_empty(const fs::path& dir) {
  std::error_code ec;
  return entry_type(dir) == fs::file_type::directory && fs::is_empty(dir, ec) && !ec;
}

// A file of the repository brenik may rewrite: a regular file, reached
// without leaving the repository.
bool editable_in_repo(const fs::path& repo_root, const fs::path& file) {
  return entry_type(file) == fs::file_type::regular && utils::stays_inside(repo_root, file);
}

// Text of a TOML file without the tables [mcp_servers.brenik] and
// [mcp_servers.brenik.*]: each runs from its header to the next header.
std::optional<std::string> without_toml_entry(const std::string& text) {
  std::string out;
  bool skipping = false, removed = false;
  for (const auto& line : split_lines(text)) {
    const std::string t = utils::strip(line);
    if (!t.empty() && t[0] == '[') {
      std::string name = t.substr(t[1] == '[' ? 2 : 1);
      name = name.substr(0, name.find(']'));
      std::string compact;
      for (char c : name)
        if (c != ' ' && c != '\t') compact += c;
      skipping = compact == "mcp_servers.brenik" || compact.rfind("mcp_servers.brenik.", 0) == 0 ||
                 compact == "mcp_servers.\"brenik\"" || compact.rfind("mcp_servers.\"brenik\".", 0) == 0;
      removed = removed || skipping;
    }
    if (!skipping) out += line;
  }
  if (!removed) return std::nullopt;
  return out;
}

}  // namespace

StepReport remove_git_hook(const fs::path& repo_root, const std::string& hook) {
  StepReport r{.what = hook + " hook"};
  std::vector<std::string> done;
  if (auto husky = hook_managers::husky_dir(repo_root)) {
    if (utils::stays_inside(repo_root, *husky) && hook_managers::remove_husky_block(*husky / hook, hook))
      done.push_back("took brenik's line out of " + display(repo_root, *husky / hook));
  }
  const fs::path dir = installer::hooks_dir(repo_root);
  if (!hook_managers::hooks_dir_usable(repo_root, dir)) {
    r.status = Status::failed;
    r.detail = display(repo_root, dir) + " leads outside the repository through a link; not changed";
    return r;
  }
  const std::string marker = installer::hook_marker(hook);
  const fs::path chained = dir / installer::chained_hook_name(hook);
  // Ours under its name, or under the name the pre-commit framework keeps an
  // earlier hook as.
  for (const fs::path& ours : {dir / hook, dir / (hook + ".legacy")}) {
    if (entry_type(ours) != fs::file_type::regular) continue;
    auto text = utils::try_read_file(ours);
    if (!text || text->find(marker) == std::string::npos) continue;
    if (entry_type(chained) == fs::file_type::regular) {
      fs::rename(chained, ours);
      done.push_back("put the earlier hook back as " + display(repo_root, ours));
    } else {
      fs::remove(ours);
      done.push_back("removed " + display(repo_root, ours));
    }
  }
  // Lines the user added to a manager's configuration are theirs to take out.
  if (auto text = utils::try_read_file(dir / hook)) {
    const hook_managers::Kind kind = hook_managers::generated_by(*text);
    for (const char* config :
         {"lefthook.yml", "lefthook.yaml", ".lefthook.yml", "lefthook-local.yml", ".pre-commit-config.yaml"}) {
      if (kind == hook_managers::Kind::none) break;
      auto c = utils::try_read_file(repo_root / config);
      if (c && c->find("brenik git-hook " + hook) != std::string::npos)
        r.notes.push_back(std::string(config) + " still runs `brenik git-hook " + hook + "`: take those lines out");
    }
  }
  if (done.empty()) {
    r.detail = "no brenik hook";
    return r;
  }
  r.status = Status::changed;
  r.detail = done.front();
  for (std::size_t i = 1; i < done.size(); ++i) r.notes.push_back(done[i]);
  return r;
}

StepReport remove_gitignore_block(const fs::path& repo_root) {
  StepReport r{.what = ".gitignore"};
  const fs::path file = repo_root / ".gitignore";
  if (!editable_in_repo(repo_root, file)) {
    r.detail = "no brenik entries";
    return r;
  }
  const std::string text = utils::read_file(file);
  auto lines = split_lines(text);
  std::size_t at = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (utils::strip(lines[i]) == IGNORE_COMMENT) at = i;
  if (at == lines.size()) {
    r.detail = "no brenik entries";
    return r;
  }
  std::size_t end = at + 1;
  while (end < lines.size()) {
    const std::string entry = utils::strip(lines[end]);
    if (std::find(installer::GITIGNORE_ENTRIES.begin(), installer::GITIGNORE_ENTRIES.end(), entry) ==
        installer::GITIGNORE_ENTRIES.end())
      break;
    ++end;
  }
  std::size_t begin = at;
  // The blank line setup put before its block.
  if (begin > 0 && utils::strip(lines[begin - 1]).empty()) --begin;
  std::string rest;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (i < begin || i >= end) rest += lines[i];
  if (rest.empty())
    utils::remove_file(file);
  else
    utils::atomic_write(file, rest);
  r.status = Status::changed;
  r.detail = rest.empty() ? "removed .gitignore (it held only brenik's entries)"
                          : "took out brenik's " + std::to_string(end - at - 1) + " entries";
  return r;
}

StepReport remove_guidance_blocks(const fs::path& repo_root) {
  StepReport r{.what = "agent guidance"};
  std::vector<fs::path> candidates;
  for (const char* name :
       {"CLAUDE.md", "AGENTS.md", "GEMINI.md", ".cursorrules", ".windsurfrules", ".github/copilot-instructions.md"})
    candidates.push_back(repo_root / name);
  for (const char* folder : {".cursor/rules", ".windsurf/rules"}) {
    std::error_code ec;
    const fs::path dir = repo_root / folder;
    if (entry_type(dir) != fs::file_type::directory || !utils::stays_inside(repo_root, dir)) continue;
    for (const auto& e : fs::directory_iterator(dir, ec)) candidates.push_back(e.path());
  }
  std::vector<std::string> changed;
  for (const auto& file : candidates) {
    if (!editable_in_repo(repo_root, file)) continue;
    auto text = utils::try_read_file(file);
    if (!text || text->find("<!-- brenik:begin") == std::string::npos) continue;
    auto lines = split_lines(*text);
    std::size_t begin = lines.size(), end = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (begin == lines.size() && lines[i].find("<!-- brenik:begin") != std::string::npos) begin = i;
      if (begin != lines.size() && lines[i].find("<!-- brenik:end") != std::string::npos) {
        end = i;
        break;
      }
    }
    if (begin == lines.size() || end == lines.size()) {
      r.notes.push_back(display(repo_root, file) + ": brenik's block has no end marker; left as it is");
      continue;
    }
    // The blank line that set the block apart from the text before it.
    std::size_t from = begin;
    if (from > 0 && end + 1 == lines.size() && utils::strip(lines[from - 1]).empty()) --from;
    std::string rest;
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (i < from || i > end) rest += lines[i];
    if (utils::strip(rest).empty())
      utils::remove_file(file);
    else
      utils::atomic_write(file, rest);
    changed.push_back(display(repo_root, file));
  }
  if (changed.empty()) {
    r.detail = "no brenik block";
    return r;
  }
  r.status = Status::changed;
  r.detail = "took brenik's block out of ";
  for (std::size_t i = 0; i < changed.size(); ++i) r.detail += (i ? ", " : "") + changed[i];
  return r;
}

StepReport remove_mcp_entry(const std::string& label, const fs::path& file, bool may_delete_file,
                            const std::optional<std::string>& project_key) {
  StepReport r{.what = label + " MCP"};
  if (entry_type(file) != fs::file_type::regular) {
    r.detail = "no " + file.string();
    return r;
  }
  auto text = utils::try_read_file(file);
  if (!text) {
    r.status = Status::failed;
    r.detail = file.string() + " cannot be read; left untouched";
    return r;
  }
  std::string rest;
  if (file.extension() == ".toml") {
    auto out = without_toml_entry(*text);
    if (!out) {
      r.detail = "no brenik server in " + file.string();
      return r;
    }
    rest = *out;
  } else {
    auto doc = settings_file::document_or_failed(*text, file, r);
    if (!doc) return r;
    bool found = false;
    if (project_key) {
      // ~/.claude.json keeps a project's own servers under projects.<path>.
      const je::Path servers{std::string("projects"), *project_key, std::string("mcpServers")};
      if (member(member(member(doc->value(), "projects"), *project_key), "mcpServers").contains("brenik")) {
        je::Path entry = servers;
        entry.push_back(std::string("brenik"));
        found = doc->remove(entry);
      }
    }
    const json::Value servers = member(doc->value(), "mcpServers");
    if (servers.is_object() && servers.contains("brenik")) {
      doc->remove({std::string("mcpServers"), std::string("brenik")});
      if (member(doc->value(), "mcpServers").empty()) doc->remove({std::string("mcpServers")});
      found = true;
    }
    if (!found) {
      r.detail = "no brenik server in " + file.string();
      return r;
    }
    rest = doc->text();
    if (doc->value() == json::Value::object()) rest.clear();
  }
  if (utils::strip(rest).empty() && may_delete_file)
    utils::remove_file(file);
  else
    utils::atomic_write(file, rest.empty() ? "{}\n" : rest);
  r.status = Status::changed;
  r.detail = "removed the brenik server from " + file.string();
  return r;
}

StepReport remove_local_state(const fs::path& repo_root, bool purge) {
  StepReport r{.what = ".brenik"};
  const fs::path top = paths::brenik_dir(repo_root);
  if (entry_type(top) != fs::file_type::directory) {
    r.detail = "nothing left";
    return r;
  }
  if (purge) {
    remove_confined(top);
    r.status = Status::changed;
    r.detail = "removed .brenik/ with the log and the archived attestations";
    return r;
  }
  // What setup and sync wrote; the log, the records the server refused, the
  // archives, live ledgers and a pending attestation are the user's records.
  const fs::path platform = paths::platform_dir(repo_root);
  std::vector<fs::path> gone;
  const std::vector<fs::path> kept = {paths::log_jsonl(repo_root), platform / "refused.json"};
  if (entry_type(platform) == fs::file_type::directory) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(platform, ec))
      if (std::find(kept.begin(), kept.end(), e.path()) == kept.end()) gone.push_back(e.path());
  }
  for (const fs::path& p : {paths::example_attestation(repo_root), paths::skills_dir(repo_root),
                            paths::guidance_dir(repo_root), paths::memories_file(repo_root)})
    gone.push_back(p);
  int removed = 0;
  for (const auto& p : gone)
    if (remove_confined(p)) ++removed;
  for (const fs::path& dir : {platform, top})
    if (folder_is_empty(dir)) {
      remove_confined(dir);
      ++removed;
    }
  if (removed == 0) {
    r.detail = "only the log and the archived attestations are left";
    return r;
  }
  r.status = Status::changed;
  r.detail = entry_type(top) == fs::file_type::not_found
                 ? "removed .brenik/"
                 : "removed the configuration and caches; kept the log and the archived attestations "
                   "(`brenik setup --remove --purge` removes them too)";
  return r;
}

StepReport remove_distributed_skills(const fs::path& repo_root) {
  StepReport report{.what = "agent skills"};
  std::string removed;
  for (const auto& adapter : agents::iter_adapters()) {
    const fs::path rel = adapter->skills_dir();
    const auto slugs = agents::detail::remove_managed_skills(repo_root, rel);
    if (slugs.empty()) continue;
    removed += (removed.empty() ? "" : "; ") + rel.string() + ":";
    for (const auto& slug : slugs) removed += " " + slug;
  }
  if (removed.empty()) {
    report.detail = "no brenik skills";
    return report;
  }
  report.status = Status::changed;
  report.detail = "removed " + removed;
  return report;
}

std::vector<StepReport> run_remove(const fs::path& repo_root, const RemoveOptions& options) {
  installer::StepRunner guarded;
  auto& steps = guarded.steps;
  for (const auto& hook : hook_managers::GIT_HOOKS)
    guarded(hook + " hook", [&] { return remove_git_hook(repo_root, hook); });
  guarded(".gitignore", [&] { return remove_gitignore_block(repo_root); });
  guarded("agent guidance", [&] { return remove_guidance_blocks(repo_root); });
  guarded("agent skills", [&] { return remove_distributed_skills(repo_root); });
  for (const auto& [label, rel] : {std::pair{"Claude Code", ".mcp.json"}, std::pair{"Cursor", ".cursor/mcp.json"},
                                   std::pair{"Codex", ".codex/config.toml"}}) {
    const fs::path file = repo_root / rel;
    if (entry_type(file) == fs::file_type::regular && utils::stays_inside(repo_root, file))
      guarded(std::string(label) + " MCP", [&] { return remove_mcp_entry(label, file, true); });
  }
  std::optional<fs::path> home = options.home;
  if (!home) {
    const char* h = std::getenv("HOME");
    if (h && *h) home = fs::path(h);
  }
  if (!options.harness_hooks) {
    steps.push_back(
        {.what = "harness hooks", .status = Status::skipped, .detail = "left as they are (--no-harness-hooks)"});
  } else if (home) {
    guarded("Claude Code", [&] {
      return settings_file::uninstall("Claude Code", *home / ".claude" / "settings.json",
                                      installer::claude_code_rows("brenik"));
    });
    guarded("Codex", [&] {
      return settings_file::uninstall("Codex", *home / ".codex" / "hooks.json", installer::codex_rows("brenik"));
    });
    const fs::path claude_json = *home / ".claude.json";
    if (entry_type(claude_json) == fs::file_type::regular)
      guarded("Claude Code MCP", [&] {
        return remove_mcp_entry("Claude Code", claude_json, false, fs::absolute(repo_root).lexically_normal().string());
      });
    for (const auto& [label, rel] :
         {std::pair{"Cursor", ".cursor/mcp.json"}, std::pair{"Windsurf", ".codeium/windsurf/mcp_config.json"},
          std::pair{"Codex", ".codex/config.toml"}}) {
      const fs::path file = *home / rel;
      if (entry_type(file) == fs::file_type::regular)
        guarded(std::string(label) + " MCP", [&] { return remove_mcp_entry(label, file, false); });
    }
  }
  // A linked worktree shares the main worktree's state.
  guarded(".brenik", [&] { return remove_local_state(services::shared::brenik_root(repo_root), options.purge); });
  return steps;
}

}  // namespace brenik::hooks::removal
