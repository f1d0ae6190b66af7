// The repairs a sync makes on its way: the retired Entire hooks stripped,
// and the session-start rows restored where setup put brenik's rows.
#include <algorithm>
#include <cstdlib>

#include "agents/registry.hpp"
#include "hooks/installer.hpp"
#include "hooks/settings_file.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/logging.hpp"
#include "utils/text.hpp"

namespace brenik::hooks::installer {

namespace {

// A git hook is a short script; a larger file is not one we wrote or know.
constexpr std::size_t MAX_HOOK_BYTES = 64u << 10;

// The first word of a shell line, with a leading `exec` skipped.
std::string_view command_word(std::string_view line) {
  auto word = [&]() {
    const auto end = line.find_first_of(" \t;|&<>");
    std::string_view w = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    line = utils::strip_view(line);
    return w;
  };
  std::string_view w = word();
  if (w == "exec") w = word();
  return w;
}

// A script whose every command line runs the `entire` program, and nothing
// else: positively that tool's generated hook.
bool is_entire_hook(std::string_view text) {
  if (text.rfind("#!", 0) != 0) return false;
  bool runs_entire = false;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t nl = text.find('\n', i);
    if (nl == std::string_view::npos) nl = text.size();
    const std::string_view line = utils::strip_view(text.substr(i, nl - i));
    i = nl + 1;
    if (line.empty() || line.front() == '#') continue;
    const std::string_view program = command_word(line);
    if (program != "entire" && !(program.size() > 7 && program.substr(program.size() - 7) == "/entire")) return false;
    runs_entire = true;
  }
  return runs_entire;
}

std::string names_of(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

}  // namespace

StepReport cleanup_entire(const fs::path& repo_root) {
  StepReport r{.what = "Entire hooks"};
  if (configured_hooks_path(repo_root)) {
    // A hooks folder of the user's choosing may be shared or committed.
    r.status = Status::skipped;
    r.detail = "core.hooksPath is set; its hooks are left alone";
    return r;
  }
  const fs::path dir = hooks_dir(repo_root);
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(dir, ec))) {
    r.detail = "no hooks folder";
    return r;
  }
  std::vector<std::string> removed;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path p = it->path();
    const auto st = it->symlink_status(ec);
    if (ec || !fs::is_regular_file(st)) continue;  // links and folders are never ours to remove
    const auto text = utils::try_read_small_regular_file(p, MAX_HOOK_BYTES);
    if (!text || !is_entire_hook(*text)) continue;
    if (utils::remove_file(p)) {
      removed.push_back(p.filename().string());
      logging::debug("Removed the Entire hook %s", p);
    }
  }
  if (ec) throw os_error_from_errno(ec.value(), "cannot list " + dir.string());
  std::sort(removed.begin(), removed.end());
  r.status = removed.empty() ? Status::unchanged : Status::changed;
  r.detail = removed.empty() ? "none found" : "removed " + names_of(removed);
  return r;
}

namespace {

// The program of the first brenik row in the settings, or none when the
// settings hold no brenik row at all.
std::optional<std::string> program_of_our_rows(const json::Value& settings) {
  if (!settings.is_object()) return std::nullopt;
  auto hooks = settings.find("hooks");
  if (hooks == settings.end() || !hooks->is_object()) return std::nullopt;
  for (const auto& [event, groups] : hooks->items()) {
    (void)event;
    if (!groups.is_array()) continue;
    for (const auto& g : groups) {
      if (!g.is_object() || !g.contains("hooks") || !g["hooks"].is_array()) continue;
      for (const auto& h : g["hooks"])
        if (h.is_object() && h.contains("command") && h["command"].is_string())
          if (auto program = brenik_program(h["command"].get<std::string>())) return program;
    }
  }
  return std::nullopt;
}

}  // namespace

std::vector<StepReport> install_session_start_hook(const fs::path& repo_root,
                                                   const std::optional<std::vector<std::string>>& agents,
                                                   const SessionStartHookOptions& options) {
  (void)repo_root;  // the rows are the user's, for every repository
  std::vector<StepReport> reports;
  if (!agents || agents->empty()) return reports;
  std::optional<fs::path> home = options.home;
  if (!home) {
    const char* h = std::getenv("HOME");
    if (h && *h) home = fs::path(h);
  }
  if (!home) return reports;

  std::vector<std::string> done;
  for (const auto& name : *agents) {
    const std::string agent = agents::normalize_agent_name(name);
    if (std::find(done.begin(), done.end(), agent) != done.end()) continue;
    done.push_back(agent);
    std::string label;
    fs::path file;
    std::vector<HookRow> (*rows_for)(const std::string&) = nullptr;
    if (agent == "claude-code") {
      label = "Claude Code";
      file = *home / ".claude" / "settings.json";
      rows_for = claude_code_rows;
    } else if (agent == "codex") {
      label = "Codex";
      file = *home / ".codex" / "hooks.json";
      rows_for = codex_rows;
    } else {
      continue;  // no session-start hook for the others
    }
    const auto text = utils::try_read_file(settings_file::edited_file(file));
    const auto settings = text ? json::try_loads(*text) : std::nullopt;
    if (text && !settings) {
      reports.push_back(
          {.what = label, .status = Status::failed, .detail = file.string() + " is not valid JSON; left untouched"});
      continue;
    }
    const auto program = settings ? program_of_our_rows(*settings) : std::nullopt;
    if (!program) {
      // Setup was not asked to edit it: not ours to change.
      reports.push_back(
          {.what = label, .status = Status::skipped, .detail = file.string() + " holds no brenik rows; not changed"});
      continue;
    }
    std::vector<HookRow> rows;
    for (auto& row : rows_for(*program))
      if (row.event == "SessionStart") rows.push_back(std::move(row));
    reports.push_back(install_hook_file(label, file, rows));
  }
  return reports;
}

}  // namespace brenik::hooks::installer
