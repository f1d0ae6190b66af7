#include "services/doctor/doctor.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <system_error>

#include "agents/codex_trust.hpp"
#include "hooks/hook_managers.hpp"
#include "hooks/installer.hpp"
#include "protocol/credentials.hpp"
#include "services/git/git.hpp"
#include "services/sync/background_sync.hpp"
#include "services/shared.hpp"
#include "utils/best_effort.hpp"
#include "utils/fs.hpp"
#include "utils/process.hpp"
#include "utils/text.hpp"

namespace brenik::services::doctor {

namespace inst = hooks::installer;
namespace hm = hooks::hook_managers;

namespace {

// Settings and hook files are small; a larger one is not a settings file.
constexpr std::size_t MAX_FILE_BYTES = std::size_t{4} << 20;

std::optional<std::string> read_small(const fs::path& p) {
  return utils::try_read_small_regular_file(p, MAX_FILE_BYTES);
}

bool executable(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
}

// The program a command runs: its first shell word.
std::string program_word(const std::string& command) {
  if (!command.empty() && command[0] == '\'') {
    std::string word;
    for (std::size_t i = 1; i < command.size(); ++i) {
      if (command.compare(i, 4, "'\\''") == 0) {
        word += '\'';
        i += 3;
      } else if (command[i] == '\'') {
        break;
      } else {
        word += command[i];
      }
    }
    return word;
  }
  return command.substr(0, command.find(' '));
}

// Where a program word leads: itself when it is a path, else PATH's.
std::optional<fs::path> resolve(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    if (executable(program)) return fs::path(program);
    return std::nullopt;
  }
  return utils::which(program);
}

std::string display(const fs::path& root, const fs::path& p) {
  std::error_code ec;
  auto rel = fs::relative(p, root, ec);
  if (!ec && !rel.empty() && rel.native().rfind("..", 0) != 0) return rel.string();
  return p.string();
}

// The brenik one of our hook scripts runs: the program on its #! line when
// git starts brenik from there, else its BRENIK= line ("" for PATH).
std::string hook_program(const std::string& script) {
  const std::string_view first(script.data(), std::min(script.find('\n'), script.size()));
  constexpr std::string_view by_brenik = " --post-commit-hook";
  if (first.rfind("#!", 0) == 0 && first.size() > 2 + by_brenik.size() && first.ends_with(by_brenik))
    return std::string(first.substr(2, first.size() - 2 - by_brenik.size()));
  const auto at = script.find("\nBRENIK=");
  if (at == std::string::npos) return "";
  const auto end = script.find('\n', at + 1);
  std::string value = script.substr(at + 8, end - at - 8);
  if (value.size() >= 2 && value.front() == '\'') value = program_word(value);
  return value;
}

void check_program(std::vector<Finding>& out, const std::string& check, const std::string& where,
                   const std::string& program) {
  const std::string shown = program.empty() ? "brenik" : program;
  if (resolve(shown))
    out.push_back({check, true, where + " runs " + shown, ""});
  else if (program.empty() || program == "brenik")
    out.push_back({check, false, where + " runs `brenik` from PATH, and PATH has none",
                   "put brenik on PATH (`make install PREFIX=~/.local`), then `brenik setup`"});
  else
    out.push_back({check, false, where + " runs " + shown + ", which does not exist", "brenik setup"});
}

void check_git_hooks(std::vector<Finding>& out, const fs::path& root) {
  const fs::path dir = inst::hooks_dir(root);
  const auto husky = hm::husky_dir(root);
  for (const auto& hook : hm::GIT_HOOKS) {
    const std::string check = hook + " hook";
    if (husky) {
      const fs::path file = *husky / hook;
      auto text = read_small(file);
      if (text && text->find(hm::husky_block(hook)) != std::string::npos)
        check_program(out, check, "husky's " + display(root, file), "");
      else
        out.push_back({check, false, "husky runs git's hooks and " + display(root, file) + " does not run brenik",
                       "brenik setup"});
      continue;
    }
    const fs::path file = dir / hook;
    auto text = read_small(file);
    const hm::Kind kind = text ? hm::generated_by(*text) : hm::Kind::none;
    if (text && text->find(inst::hook_marker(hook)) != std::string::npos) {
      if (::access(file.c_str(), X_OK) != 0) {
        out.push_back({check, false, display(root, file) + " is not executable, so git skips it", "brenik setup"});
        continue;
      }
      check_program(out, check, display(root, file), hook_program(*text));
      continue;
    }
    if (kind != hm::Kind::none) {
      const bool lefthook = kind == hm::Kind::lefthook;
      std::string config;
      for (const char* name : lefthook ? std::vector<const char*>{"lefthook.yml", "lefthook.yaml", ".lefthook.yml",
                                                                  ".lefthook.yaml", "lefthook-local.yml"}
                                       : std::vector<const char*>{".pre-commit-config.yaml"})
        config += read_small(root / name).value_or("");
      const std::string manager = lefthook ? "lefthook" : "the pre-commit framework";
      if (config.find("brenik git-hook " + hook) != std::string::npos)
        check_program(out, check, manager + "'s configuration", "");
      else
        out.push_back({check, false,
                       manager + " runs " + display(root, file) +
                           " and its configuration does not "
                           "run brenik",
                       "add the lines `brenik setup` prints to " +
                           std::string(lefthook ? "lefthook.yml" : ".pre-commit-config.yaml")});
      continue;
    }
    // Our hooks in git's own folder while core.hooksPath leads elsewhere:
    // something took the hooks over since setup.
    std::string taken;
    if (inst::configured_hooks_path(root)) {
      // git's own folder for hooks, whatever core.hooksPath says.
      fs::path d = tolvern::detail::git({"rev-parse", "--git-common-dir"}, {.cwd = root});
      if (!d.empty()) {
        d /= "hooks";
        if (d.is_relative()) d = root / d;
        auto old = read_small(d / hook);
        if (old && old->find(inst::hook_marker(hook)) != std::string::npos)
          taken = "; core.hooksPath now leads to " + display(root, dir) + ", away from brenik's hook in " +
                  display(root, d);
      }
    }
    out.push_back(
        {check, false,
         (text ? display(root, file) + " is not brenik's" : "no " + hook + " hook in " + display(root, dir)) + taken,
         "brenik setup"});
  }
}

void check_settings_rows(std::vector<Finding>& out, const std::string& label, const fs::path& file,
                         const std::vector<inst::HookRow>& rows) {
  const std::string check = label + " hooks";
  auto text = read_small(file);
  if (!text) {
    out.push_back({check, false, "no " + file.string(), "brenik setup"});
    return;
  }
  auto settings = json::try_loads(*text);
  if (!settings || !settings->is_object()) {
    out.push_back({check, false, file.string() + " is not valid JSON", "fix the file, then `brenik setup`"});
    return;
  }
  std::vector<std::string> missing;
  bool any_bad = false;
  for (const auto& row : rows) {
    const auto wanted = inst::brenik_arguments(row.command);
    std::optional<std::string> found;
    for (const auto& group : member(member(*settings, "hooks"), row.event)) {
      for (const auto& handler : member(group, "hooks")) {
        const std::string cmd = text_member(handler, "command");
        auto args = inst::brenik_arguments(cmd);
        if (args && wanted && *args == *wanted) found = cmd;
      }
    }
    if (!found) {
      missing.push_back(row.event);
      continue;
    }
    const std::string program = program_word(*found);
    if (!resolve(program)) {
      any_bad = true;
      out.push_back({check, false, file.string() + " " + row.event + " runs " + program + ", which does not exist",
                     "brenik setup"});
    }
  }
  if (!missing.empty()) {
    std::string events;
    for (const auto& e : missing) events += (events.empty() ? "" : ", ") + e;
    out.push_back({check, false, file.string() + " lacks brenik's " + events + " row", "brenik setup"});
  } else if (!any_bad) {
    out.push_back({check, true, "rows in " + file.string() + " run an existing brenik", ""});
  }
}

}  // namespace

namespace {

// The last run of the work a commit starts in the background: a failure
// there means records or the cache silently stopped following the commits.
void check_background_run(std::vector<Finding>& out, const fs::path& state_root) {
  const auto state = tolvern::read_background_sync_state(state_root);
  if (!state) return;  // never ran: nothing to judge
  if (!state->finished_at) {
    if (tolvern::background_sync_running(state_root))
      out.push_back({"background sync", true, "running since " + state->started_at, ""});
    else
      out.push_back(
          {"background sync", false, "the run started " + state->started_at + " never finished", "brenik sync"});
    return;
  }
  if (state->ok)
    out.push_back({"background sync", true, "last run " + *state->finished_at + " succeeded", ""});
  else
    out.push_back({"background sync", false,
                   "last run " + *state->finished_at + " failed: " + state->failure.value_or("unknown"),
                   "brenik sync"});
}

}  // namespace

std::vector<Finding> run_checks(const fs::path& worktree_root, const DoctorOptions& options) {
  std::vector<Finding> out;
  const fs::path state_root = shared::brenik_root(worktree_root);
  if (!shared::local_config_exists(state_root)) {
    out.push_back({"setup", false, "brenik is not set up in this repository", "brenik setup"});
    return out;
  }
  out.push_back({"setup", true, "configured in " + display(worktree_root, state_root / ".brenik"), ""});
  try {
    check_git_hooks(out, worktree_root);
  } catch (const std::exception& e) {
    out.push_back({"git hooks", false, std::string("cannot read the git hooks: ") + e.what(), "brenik setup"});
  }
  std::error_code ec;
  const fs::path claude = options.home / ".claude";
  if (fs::is_directory(claude, ec))
    check_settings_rows(out, "Claude Code", claude / "settings.json", inst::claude_code_rows("brenik"));
  const fs::path codex = options.home / ".codex";
  if (fs::is_directory(codex, ec)) {
    check_settings_rows(out, "Codex", codex / "hooks.json", inst::codex_rows("brenik"));
    const auto trust = agents::codex_hooks_trust(codex);
    if (trust.installed()) {
      if (trust.overall() == agents::CodexHookTrust::untrusted)
        out.push_back({"Codex trust", false, "Codex skips brenik's hooks until they are trusted",
                       "in Codex, open /hooks and trust brenik's hooks"});
      else
        out.push_back({"Codex trust", true, trust.detail, ""});
    }
  }
  // Linking and sign-in: without both, records stay on this machine.
  const json::Value config = shared::load_local_config(state_root);
  const json::Value& project = member(config, "project_id");
  if (project.is_null() || (project.is_string() && project.get<std::string>().empty()))
    out.push_back({"link", false, "this repository is not linked to a project", "brenik sync"});
  else
    out.push_back({"link", true, "linked to project " + json::text_form(project), ""});
  // Credentials that cannot be read are the finding "not signed in".
  const auto credentials =
      utils::best_effort_or(std::nullopt, utils::unlogged, [] { return protocol::load_credentials(); });
  if (credentials && !credentials->api_key.empty())
    out.push_back({"sign-in", true, "signed in", ""});
  else
    out.push_back({"sign-in", false, "not signed in: records are not uploaded", "brenik auth login"});
  check_background_run(out, state_root);
  return out;
}

json::Value to_json(const std::vector<Finding>& findings) {
  json::Value checks = json::Value::array();
  int problems = 0;
  for (const auto& f : findings) {
    json::Value c = json::Value::object();
    c["check"] = f.check;
    c["ok"] = f.ok;
    c["detail"] = f.detail;
    c["fix"] = f.fix.empty() ? json::Value() : json::Value(f.fix);
    checks.push_back(c);
    if (!f.ok) ++problems;
  }
  json::Value out = json::Value::object();
  out["ok"] = problems == 0;
  out["problems"] = problems;
  out["checks"] = checks;
  return out;
}

}  // namespace brenik::services::doctor
