#include "hooks/installer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits.h>

#include "agents/registry.hpp"
#include "hooks/hook_managers.hpp"
#include "hooks/mcp_registration.hpp"
#include "hooks/scripts.hpp"
#include "hooks/settings_file.hpp"
#include "paths/paths.hpp"
#include "services/git/git.hpp"
#include "services/shared.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/process.hpp"
#include "utils/time.hpp"

namespace brenik::hooks::installer {

// The pending attestation and everything in .platform/ (configuration with
// its install stamp, the log, the context cache, the debug log and the lock
// files) are per machine. The archive and live ledgers back that local log
// and are uploaded, not committed; the example, skills, guidance and
// memories are rewritten by every sync from the tool and the server.
const std::vector<std::string> GITIGNORE_ENTRIES = {
    "/.brenik/.platform/",
    "/.brenik/.commit-attestation.yaml",
    "/.brenik/attestations/",
    "/.brenik/ledger/",
    "/.brenik/example-attestation.yaml",
    "/.brenik/skills/",
    "/.brenik/guidance/",
    "/.brenik/memories.json",
    // Some versions of the `npx skills` installer leave this stray folder.
    "/agent/skills/",
};

const char* const CHAINED_HOOK_NAME = "post-commit.brenik-chained";
const char* const HOOK_MARKER = "# brenik post-commit hook";

namespace {

std::string git_out(const fs::path& root, const std::vector<std::string>& args, bool* ok = nullptr) {
  auto r = services::tolvern::detail::git_run(args, {.cwd = root});
  if (ok) *ok = r.ok();
  return r.ok() ? utils::strip(r.out) : std::string();
}

bool write_if_changed(const fs::path& path, const std::string& content, std::optional<fs::perms> mode = std::nullopt) {
  auto old = utils::try_read_file(path);
  if (old && *old == content) return false;
  utils::make_dirs(path.parent_path());
  utils::atomic_write(path, content, mode);
  return true;
}

std::string display(const fs::path& root, const fs::path& p) {
  std::error_code ec;
  auto rel = fs::relative(p, root, ec);
  if (!ec && !rel.empty() && rel.native().rfind("..", 0) != 0) return rel.string();
  return p.string();
}

}  // namespace

std::string shell_quote(const std::string& text) {
  if (!text.empty() &&
      text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./-+:@%,=") ==
          std::string::npos)
    return text;
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string brenik_command() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "brenik";
  fs::path self(std::string(buf, static_cast<std::size_t>(n)));
  if (self.filename() != "brenik") return "brenik";
  // A PATH entry that names the same file survives upgrades that move the
  // real file (versioned install directories).
  if (auto on_path = utils::which("brenik")) {
    std::error_code ec;
    if (fs::equivalent(*on_path, self, ec) && on_path->is_absolute()) return on_path->string();
  }
  return self.string();
}

std::optional<fs::path> configured_hooks_path(const fs::path& repo_root) {
  std::string configured = git_out(repo_root, {"config", "--path", "--get", "core.hooksPath"});
  if (configured.empty()) return std::nullopt;
  fs::path p(configured);
  return p.is_absolute() ? p : repo_root / p;
}

fs::path hooks_dir(const fs::path& repo_root) {
  if (auto configured = configured_hooks_path(repo_root)) return *configured;
  bool ok = false;
  std::string p = git_out(repo_root, {"rev-parse", "--git-path", "hooks"}, &ok);
  if (!ok || p.empty()) throw RuntimeError("cannot find the git hooks directory");
  fs::path hp(p);
  return hp.is_absolute() ? hp : repo_root / hp;
}

namespace {

// Sets $state to the folder holding the repository's .brenik/ (run from the
// top of a worktree): this one, or for a linked worktree the main one, whose
// state all worktrees share. Fails where brenik is not set up: a shared
// core.hooksPath may serve many repositories.
const char* const LOCATE_SH = R"SH(
brenik_set_up() {
  [ -f "$1/.brenik/.platform/config.yaml" ] || [ -f "$1/.brenik/config.yaml" ] || [ -f "$1/.brenik/config.json" ]
}

brenik_locate() {
  state=.
  brenik_set_up . && return 0
  common=$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null) || return 1
  case $common in */.git) state=${common%/.git} ;; *) return 1 ;; esac
  brenik_set_up "$state"
}
)SH";

const char* const CHAIN_SH = R"SH(
# Runs the hook kept as $1 under this hook's own path: a shell script is read
# by its own shell with $0 set to "$0" here, so a hook that finds itself or
# its siblings by its name and folder behaves as if it had never moved.
brenik_chained() {
  chained=$1
  shift
  brenik_shell_of "$chained"
  if [ -n "$bsh" ]; then
    # shellcheck disable=SC2086 # the options are words of the #! line
    "$bsh" $bopt -c '. "$0.brenik-chained"' "$0" "$@"
  else
    "$chained" "$@"
  fi
}

# Sets $bsh (and $bopt) to the shell of a script, none for another program.
brenik_shell_of() {
  bsh=
  bopt=
  line=
  IFS= read -r line <"$1"
  case $line in
    '#!'*) ;;
    ?ELF*) return 0 ;;      # a compiled program
    *) bsh=sh; return 0 ;;  # without a #! line git runs it with sh
  esac
  set -f
  # shellcheck disable=SC2086
  set -- ${line#??}
  set +f
  [ "${1##*/}" = env ] && shift
  case ${1##*/} in
    sh|bash|dash|zsh|ksh|mksh|ash) bsh=$1; shift; bopt=$* ;;
  esac
  return 0
}
)SH";

std::string script_head(const std::string& hook, const std::string& brenik_path, const std::string& what) {
  const std::string program = (brenik_path.empty() || brenik_path == "brenik") ? "" : brenik_path;
  std::string s = "#!/bin/sh\n";
  s += hook_marker(hook) + " (installed by `brenik setup`; rerun it to update).\n";
  s += what;
  s += "# An earlier " + hook + " hook was kept as " + chained_hook_name(hook) + " beside this file and still runs.\n";
  s += "BRENIK=" + shell_quote(program) + "\n";
  s += LOCATE_SH;
  s += CHAIN_SH;
  s += R"SH(
# brenik's command, from setup's path or else PATH; status 127 when none runs.
brenik_run() {
  if [ -n "$BRENIK" ] && [ -x "$BRENIK" ]; then "$BRENIK" "$@"; return $?; fi
  command -v brenik >/dev/null 2>&1 || return 127
  brenik "$@"
}
)SH";
  return s;
}

}  // namespace

std::string hook_marker(const std::string& hook) { return "# brenik " + hook + " hook"; }

std::string chained_hook_name(const std::string& hook) { return hook + ".brenik-chained"; }

std::string post_merge_script(const std::string& brenik_path) {
  std::string s = script_head("post-merge", brenik_path,
                              "# Records the merge commit `git merge` just made. Prints nothing and never\n"
                              "# fails the merge.\n");
  s += R"SH(
( brenik_locate && brenik_run git-hook post-merge "$@" ) >/dev/null 2>&1 </dev/null

chained="${0%/*}/post-merge.brenik-chained"
if [ -x "$chained" ]; then
  brenik_chained "$chained" "$@"
fi
exit 0
)SH";
  return s;
}

std::string post_rewrite_script(const std::string& brenik_path) {
  std::string s = script_head("post-rewrite", brenik_path,
                              "# Gives commits rewritten by an amend or a rebase the attestation of the\n"
                              "# commits they replace. Prints nothing and never fails git.\n");
  s += R"SH(
input=$(cat)
( brenik_locate && printf '%s\n' "$input" | brenik_run git-hook post-rewrite "$1" ) >/dev/null 2>&1

chained="${0%/*}/post-rewrite.brenik-chained"
if [ -x "$chained" ]; then
  printf '%s\n' "$input" | brenik_chained "$chained" "$@"
fi
exit 0
)SH";
  return s;
}

std::string pre_commit_script(const std::string& brenik_path) {
  std::string s = script_head("pre-commit", brenik_path,
                              "# Warns when the pending attestation was written for other changes than the\n"
                              "# staged ones; refuses the commit only when `attest: {strict: true}` is set\n"
                              "# in .brenik/.platform/config.yaml. Without a pending attestation it only\n"
                              "# looks for the file.\n");
  s += R"SH(
brenik_check() {
  if [ -f .brenik/.commit-attestation.yaml ]; then
    brenik_set_up . || return 0
  else
    [ -f .git ] || return 0  # only a linked worktree shares another's state
    brenik_locate || return 0
    [ "$state" != . ] && [ -f "$state/.brenik/.commit-attestation.yaml" ] || return 0
  fi
  brenik_run git-hook pre-commit </dev/null >/dev/null
  [ $? -ne 1 ]
}

if ! brenik_check; then
  exit 1
fi

chained="${0%/*}/pre-commit.brenik-chained"
if [ -x "$chained" ]; then
  brenik_chained "$chained" "$@" || exit $?
fi
exit 0
)SH";
  return s;
}

namespace {

// git runs the post-commit hook straight through brenik when its path can
// stand on a #! line: absolute, of plain characters (the kernel splits the
// line at blanks) and well under the kernel's limit. Otherwise /bin/sh reads
// the same file.
std::string post_commit_interpreter(const std::string& program) {
  const bool plain = std::all_of(program.begin(), program.end(), [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '.' ||
           c == '_' || c == '-' || c == '+' || c == '@' || c == ',';
  });
  if (program.empty() || program.front() != '/' || !plain || program.size() > 200) return "#!/bin/sh\n";
  return "#!" + program + " --post-commit-hook\n";
}

}  // namespace

std::string post_commit_script(const std::string& brenik_path) {
  const std::string program = (brenik_path.empty() || brenik_path == "brenik") ? "" : brenik_path;
  std::string s = post_commit_interpreter(program);
  s += std::string(HOOK_MARKER) + " (installed by `brenik setup`; rerun it to update).\n";
  s += R"SH(# Records the commit just made in the attestation log. It prints nothing and
# never fails the commit. An earlier post-commit hook was kept as
# post-commit.brenik-chained beside this file and runs after ours.
BRENIK=)SH" +
       shell_quote(program) + "\n" + LOCATE_SH + CHAIN_SH + R"SH(

brenik_json_text() {
  # A JSON string body: " and \ escaped, control characters and UTF-8
  # sequences as \u escapes (as brenik writes them), any invalid byte "?".
  printf '%s' "$1" | LC_ALL=C awk '
    BEGIN { for (i = 1; i < 256; i++) ord[sprintf("%c", i)] = i }
    { out = ""; n = length($0); i = 1
      while (i <= n) {
        c = ord[substr($0, i, 1)]; i++
        if (c == 34 || c == 92) { out = out "\\" sprintf("%c", c); continue }
        if (c >= 32 && c < 127) { out = out sprintf("%c", c); continue }
        if (c < 32 || c == 127) { out = out sprintf("\\u%04x", c); continue }
        if (c >= 194 && c < 224) { k = 1; cp = c - 192 }
        else if (c >= 224 && c < 240) { k = 2; cp = c - 224 }
        else if (c >= 240 && c < 245) { k = 3; cp = c - 240 }
        else { out = out "?"; continue }
        ok = 1
        for (j = 0; j < k; j++) {
          d = ord[substr($0, i + j, 1)]
          if (d < 128 || d >= 192) { ok = 0; break }
          cp = cp * 64 + d - 128
        }
        if (!ok) { out = out "?"; continue }
        i += k
        if (cp >= 65536) {
          cp -= 65536
          out = out sprintf("\\u%04x\\u%04x", 55296 + int(cp / 1024), 56320 + cp % 1024)
        } else out = out sprintf("\\u%04x", cp)
      }
      printf "%s", out }'
}

brenik_confined() {
  for p in .brenik .brenik/.platform .brenik/attestations "$log" "$log.lock"; do
    [ -L "$p" ] && return 1
  done
  for p in "$log" "$log.lock"; do
    [ -e "$p" ] && [ ! -f "$p" ] && return 1
  done
  return 0
}

brenik_fallback() {
  commit=$(git rev-parse HEAD 2>/dev/null) || return 0
  case $commit in ''|*[!0-9a-f]*) return 0 ;; esac
  [ ${#commit} -eq 40 ] || [ ${#commit} -eq 64 ] || return 0
  log=.brenik/.platform/log.jsonl
  # A clone can plant links (or FIFOs) where the line goes: write only to a
  # regular file in real folders of this repository, else not at all.
  brenik_confined || return 0
  [ -f ".brenik/attestations/$commit.yaml" ] && return 0
  if [ -f "$log" ] && grep -q "\"commit\": \"$commit\"" "$log"; then return 0; fi
  branch=$(git rev-parse --abbrev-ref HEAD 2>/dev/null) || branch=unknown
  timestamp=$(git show -s --format=%aI HEAD 2>/dev/null)
  subject=$(git show -s --format=%s HEAD 2>/dev/null)
  mkdir -p .brenik/.platform || return 0
  brenik_confined || return 0
  line=$(printf '{"commit": "%s", "branch": "%s", "timestamp": "%s", "agent": "unknown", "summary": "%s", "synced": false, "event": "commit_unattested"}' \
    "$commit" "$(brenik_json_text "$branch")" "$(brenik_json_text "$timestamp")" \
    "$(brenik_json_text "$subject")")
  # Under the log's lock where flock(1) exists, so that a rewrite of the log
  # in progress cannot drop the line; after 5 s, or without flock, as is.
  if command -v flock >/dev/null 2>&1; then
    { flock -w 5 9 || :; brenik_append "$line" "$log"; } 9>>"$log.lock"
  else
    brenik_append "$line" "$log"
  fi
}

brenik_append() {
  # A log left ending mid-line (a full disk, a killed writer) is ended
  # first, so the new line is not glued onto the unfinished one.
  if [ -s "$2" ] && [ -n "$(tail -c 1 "$2" 2>/dev/null)" ]; then
    printf '\n%s\n' "$1" >>"$2"
  else
    printf '%s\n' "$1" >>"$2"
  fi
}

# With "tried" as $1, brenik at $BRENIK already ran and failed here.
brenik_record() {
  # git runs hooks at the top of the work tree; ask it only when not there.
  if [ ! -e .git ]; then
    top=$(git rev-parse --show-toplevel 2>/dev/null) || return 0
    cd "$top" || return 0
  fi
  brenik_locate || return 0
  if [ "$1" != tried ] && [ -n "$BRENIK" ] && [ -x "$BRENIK" ] && "$BRENIK" sync --record-commit >/dev/null 2>&1; then
    return 0
  fi
  on_path=$(command -v brenik 2>/dev/null)
  if [ -n "$on_path" ] && [ "$on_path" != "$BRENIK" ] && brenik sync --record-commit >/dev/null 2>&1; then
    return 0
  fi
  # The shell's own line goes only to this worktree's log.
  [ "$state" = . ] && brenik_fallback
}

# git usually starts brenik itself, from the #! line above, and brenik comes
# back here only with --brenik-declined (a case it leaves to this script) or
# --brenik-failed (it wrote no record). Run as a plain shell script, the
# usual case hands this process over to brenik the same way. With a chained
# hook to run afterwards, brenik runs from this shell, setting no variable;
# anything else goes through brenik_record in a subshell, so that neither its
# change of folder nor its variables reach the chained hook.
chained="${0%/*}/post-commit.brenik-chained"
case $1 in
--brenik-failed)
  shift
  (brenik_record tried) >/dev/null 2>&1
  ;;
*)
  if [ -e .git ] && brenik_set_up . && [ -n "$BRENIK" ] && [ -x "$BRENIK" ]; then
    if [ ! -x "$chained" ] && [ "$1" != --brenik-declined ]; then
      exec "$BRENIK" --post-commit-hook "$0" "$@"
    fi
    "$BRENIK" sync --record-commit >/dev/null 2>&1 || (brenik_record tried) >/dev/null 2>&1
  else
    (brenik_record) >/dev/null 2>&1
  fi
  [ "$1" = --brenik-declined ] && shift
  ;;
esac

if [ -x "$chained" ]; then
  brenik_chained "$chained" "$@"
fi
exit 0
)SH";
  return s;
}

StepReport ensure_gitignore(const fs::path& repo_root, const std::vector<std::string>& entries) {
  StepReport r{.what = ".gitignore"};
  const fs::path file = repo_root / ".gitignore";
  if (!utils::stays_inside(repo_root, file)) {
    r.status = Status::failed;
    r.detail = ".gitignore is a link leading outside the repository; not changed";
    return r;
  }
  std::string text = utils::try_read_file(file).value_or("");
  std::vector<std::string> lines;
  {
    std::size_t i = 0;
    while (i < text.size()) {
      auto j = text.find('\n', i);
      if (j == std::string::npos) j = text.size();
      lines.push_back(utils::strip(std::string_view(text).substr(i, j - i)));
      i = j + 1;
    }
  }
  auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  // The whole folder ignored covers every entry inside it, not the others.
  const bool whole_dir = has(".brenik/") || has("/.brenik/") || has(".brenik") || has("/.brenik");
  std::vector<std::string> missing;
  for (const auto& e : entries) {
    if (whole_dir && e.rfind("/.brenik/", 0) == 0) continue;
    std::string bare = e.substr(e[0] == '/' ? 1 : 0);
    std::string noslash = bare.back() == '/' ? bare.substr(0, bare.size() - 1) : bare;
    if (has(e) || has(bare) || has(noslash) || has("/" + noslash)) continue;
    missing.push_back(e);
  }
  if (missing.empty()) {
    r.detail = "already holds brenik's entries";
    return r;
  }
  std::string add;
  if (!text.empty() && text.back() != '\n') add += "\n";
  if (!text.empty()) add += "\n";
  add += "# brenik: local state, never committed (added by `brenik setup`)\n";
  for (const auto& e : missing) add += e + "\n";
  utils::atomic_write(file, text + add);
  r.status = Status::changed;
  r.detail = "added " + std::to_string(missing.size()) + " entries for brenik's local files";
  return r;
}

StepReport install_post_commit_hook(const fs::path& repo_root, const std::string& brenik_path) {
  const fs::path dir = hooks_dir(repo_root);
  StepReport r = hook_managers::install(repo_root, "post-commit",
                                        post_commit_script(hook_managers::program_for(repo_root, dir, brenik_path)));
  // Only a configured hooks path can lead elsewhere: a linked worktree's or a
  // submodule's own hooks live in a git directory outside its work tree.
  if (configured_hooks_path(repo_root) && !utils::stays_inside(repo_root, dir))
    r.notes.push_back("core.hooksPath points outside the repository (" + dir.string() +
                      "); the hook does nothing in repositories without brenik setup");
  r.notes.push_back("commits the hook misses are recorded at the next agent session start");
  return r;
}

StepReport install_git_hook(const fs::path& repo_root, const std::string& hook, const std::string& script) {
  StepReport r{.what = hook + " hook"};
  const fs::path dir = hooks_dir(repo_root);
  const fs::path target = dir / hook;
  const std::string chained_name = chained_hook_name(hook);
  const fs::path chained = dir / chained_name;
  const std::string marker = hook_marker(hook);
  const auto exec_mode = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                         fs::perms::others_exec;
  utils::make_dirs(dir);
  std::error_code ec;
  const bool exists = fs::symlink_status(target, ec).type() != fs::file_type::not_found && !ec;
  auto current = exists ? utils::try_read_file(target) : std::nullopt;
  if (exists && current && current->find(marker) != std::string::npos) {
    bool changed = write_if_changed(target, script, exec_mode);
    r.status = changed ? Status::changed : Status::unchanged;
    r.detail = (changed ? "updated " : "already installed at ") + display(repo_root, target);
  } else {
    if (exists) {
      auto old_chained = utils::try_read_file(chained);
      if (fs::symlink_status(chained, ec).type() != fs::file_type::not_found && !ec) {
        if (!(old_chained && current && *old_chained == *current)) {
          // Something replaced our hook since the last setup; the hook we
          // chained then is set aside (it was no longer running).
          fs::path aside;
          for (int n = 0;; ++n) {
            aside = dir / (chained_name + ".old" + (n ? "." + std::to_string(n) : ""));
            if (fs::symlink_status(aside, ec).type() == fs::file_type::not_found) break;
          }
          fs::rename(chained, aside);
          r.notes.push_back("the hook chained by an earlier setup was set aside as " + aside.filename().string() +
                            " and no longer runs");
        }
      }
      fs::rename(target, chained);
      r.notes.push_back("the existing " + hook + " hook was kept as " + chained_name + " and still runs " +
                        (hook == "pre-commit" ? "(its refusal still stops the commit)" : "after brenik's"));
    }
    utils::atomic_write(target, script, exec_mode);
    r.status = Status::changed;
    r.detail = "installed at " + display(repo_root, target);
  }
  fs::permissions(target, exec_mode, ec);
  return r;
}

StepReport write_local_config(const fs::path& repo_root, const std::vector<std::string>& agents) {
  StepReport r{.what = "configuration"};
  namespace shared = services::shared;
  json::Value config = shared::load_local_config(repo_root);
  if (!config.is_object()) config = json::Value::object();
  const json::Value before = config;
  if (!config.contains("installed_at")) config["installed_at"] = utils::utc_now_iso();
  json::Value list = config.contains("agents") && config["agents"].is_array() ? config["agents"] : json::Value::array();
  for (const auto& a : agents)
    if (std::find(list.begin(), list.end(), json::Value(a)) == list.end()) list.push_back(a);
  config["agents"] = list;
  const bool changed =
      config != before || !shared::local_config_exists(repo_root) || !fs::exists(paths::config_yaml(repo_root));
  if (changed) shared::save_local_config(repo_root, config);
  r.status = changed ? Status::changed : Status::unchanged;
  std::string names;
  for (const auto& a : list) names += (names.empty() ? "" : ", ") + a.get<std::string>();
  r.detail = display(repo_root, paths::config_yaml(repo_root)) + " (installed_at " +
             (config["installed_at"].is_string() ? config["installed_at"].get<std::string>() : "?") +
             "; agents: " + (names.empty() ? "none detected" : names) + ")";
  return r;
}

StepReport write_example_attestation(const fs::path& repo_root) {
  StepReport r{.what = "example attestation"};
  const fs::path p = paths::example_attestation(repo_root);
  bool changed = write_if_changed(p, scripts::example_attestation());
  r.status = changed ? Status::changed : Status::unchanged;
  r.detail = display(repo_root, p);
  return r;
}

std::vector<HookRow> claude_code_rows(const std::string& brenik) {
  const std::string b = shell_quote(brenik.empty() ? "brenik" : brenik);
  const std::string add = b + " attest add --from-hook --agent claude-code";
  return {{"PostToolUse", "Bash", add},
          {"PostToolUseFailure", "Bash", add},
          {"SessionStart", std::nullopt, b + " session-start --agent claude-code"}};
}

std::vector<HookRow> codex_rows(const std::string& brenik) {
  const std::string b = shell_quote(brenik.empty() ? "brenik" : brenik);
  return {{"PostToolUse", "Bash", b + " attest add --from-hook --agent codex"},
          {"SessionStart", std::nullopt, b + " session-start --agent codex"}};
}

namespace {

// The program word, unquoted, and the rest of the command, when that
// program is brenik.
std::optional<std::pair<std::string, std::string>> split_brenik_command(const std::string& command) {
  std::string program;
  std::size_t i = 0;
  if (!command.empty() && command[0] == '\'') {
    // Single-quoted word, possibly with '\'' sequences.
    i = 1;
    while (i < command.size()) {
      if (command[i] == '\'') {
        if (command.compare(i, 4, "'\\''") == 0) {
          program += '\'';
          i += 4;
          continue;
        }
        ++i;
        break;
      }
      program += command[i++];
    }
  } else {
    auto sp = command.find(' ');
    program = command.substr(0, sp);
    i = sp == std::string::npos ? command.size() : sp;
  }
  if (fs::path(program).filename() != "brenik") return std::nullopt;
  return std::pair{program, command.substr(i)};
}

}  // namespace

std::optional<std::string> brenik_arguments(const std::string& command) {
  auto split = split_brenik_command(command);
  if (!split) return std::nullopt;
  return split->second;
}

std::optional<std::string> brenik_program(const std::string& command) {
  auto split = split_brenik_command(command);
  if (!split) return std::nullopt;
  return split->first;
}

json::Value hook_group(const HookRow& row) {
  json::Value group = json::Value::object();
  if (row.matcher) group["matcher"] = *row.matcher;
  json::Value handler = json::Value::object();
  handler["type"] = "command";
  handler["command"] = row.command;
  group["hooks"] = json::Value::array({handler});
  return group;
}

bool merge_hook_rows(json::Value& settings, const std::vector<HookRow>& rows) {
  if (!settings.is_object()) throw ValueError("the top level is not a JSON object");
  if (settings.contains("hooks") && !settings["hooks"].is_object())
    throw ValueError("its \"hooks\" member is not an object");
  bool changed = false;
  for (const auto& row : rows) {
    json::Value& hooks = settings["hooks"];
    if (hooks.is_null()) hooks = json::Value::object();
    if (hooks.contains(row.event) && !hooks[row.event].is_array())
      throw ValueError("its \"hooks\".\"" + row.event + "\" member is not a list");
    json::Value& groups = hooks[row.event];
    if (groups.is_null()) groups = json::Value::array();
    const auto wanted = brenik_arguments(row.command);
    bool found = false;
    for (auto& g : groups) {
      if (!g.is_object() || !g.contains("hooks") || !g["hooks"].is_array()) continue;
      for (auto& h : g["hooks"]) {
        if (!h.is_object() || !h.contains("command") || !h["command"].is_string()) continue;
        const std::string cmd = h["command"].get<std::string>();
        if (cmd == row.command) {
          found = true;
        } else if (auto args = brenik_arguments(cmd); args && wanted && *args == *wanted) {
          h["command"] = row.command;  // same hook, another path to brenik
          found = changed = true;
        }
      }
    }
    if (found) continue;
    groups.push_back(hook_group(row));
    changed = true;
  }
  return changed;
}

StepReport install_hook_file(const std::string& label, const fs::path& file, const std::vector<HookRow>& rows) {
  return settings_file::install(label, file, rows);
}

std::vector<StepReport> run_setup(const fs::path& repo_root, const SetupOptions& options) {
  StepRunner guarded;
  auto& steps = guarded.steps;
  std::vector<std::string> detected;
  for (const auto& a : agents::iter_adapters())
    if (a->detect_in_repo(repo_root) || a->is_active()) detected.push_back(a->name());

  // A harness the user has installed is told how to attest in its guidance
  // file, which names it from then on: the configuration names it at once,
  // so that a second setup finds what the first one wrote.
  std::vector<std::string> configured = detected;
  if (options.harness_hooks) {
    std::optional<fs::path> home = options.home;
    if (!home)
      if (const char* h = std::getenv("HOME"); h && *h) home = fs::path(h);
    std::error_code ec;
    for (const auto& [name, dir] : {std::pair{"claude-code", ".claude"}, std::pair{"codex", ".codex"}})
      if (home && fs::is_directory(*home / dir, ec) &&
          std::find(configured.begin(), configured.end(), name) == configured.end())
        configured.push_back(name);
  }

  guarded("configuration", [&] { return write_local_config(repo_root, configured); });
  guarded(".gitignore", [&] { return ensure_gitignore(repo_root); });
  guarded("post-commit hook", [&] { return install_post_commit_hook(repo_root, options.brenik); });
  // The program path goes only into hooks that are never committed.
  auto program = [&] { return hook_managers::program_for(repo_root, hooks_dir(repo_root), options.brenik); };
  guarded("post-merge hook",
          [&] { return hook_managers::install(repo_root, "post-merge", post_merge_script(program())); });
  guarded("post-rewrite hook",
          [&] { return hook_managers::install(repo_root, "post-rewrite", post_rewrite_script(program())); });
  guarded("pre-commit hook",
          [&] { return hook_managers::install(repo_root, "pre-commit", pre_commit_script(program())); });
  guarded("example attestation", [&] { return write_example_attestation(repo_root); });
  guarded("agent guidance", [&] { return write_guidance_blocks(repo_root); });

  auto is_detected = [&](const char* n) { return std::find(detected.begin(), detected.end(), n) != detected.end(); };
  if (!options.harness_hooks) {
    steps.push_back({.what = "harness hooks", .status = Status::skipped, .detail = "skipped (--no-harness-hooks)"});
  } else {
    std::optional<fs::path> home = options.home;
    if (!home) {
      const char* h = std::getenv("HOME");
      if (h && *h) home = fs::path(h);
    }
    if (!home) {
      steps.push_back(
          {.what = "harness hooks", .status = Status::failed, .detail = "HOME is not set; no harness hooks installed"});
    } else {
      std::error_code ec;
      auto wanted = [&](const char* name, const fs::path& dir) {
        return is_detected(name) || fs::is_directory(dir, ec);
      };
      if (wanted("claude-code", *home / ".claude"))
        guarded("Claude Code", [&] {
          return install_hook_file("Claude Code", *home / ".claude" / "settings.json",
                                   claude_code_rows(options.brenik));
        });
      else
        steps.push_back({.what = "Claude Code",
                         .status = Status::skipped,
                         .detail = "~/.claude not found; rerun `brenik setup` after installing Claude Code"});
      if (wanted("codex", *home / ".codex"))
        guarded("Codex", [&] {
          StepReport r = install_hook_file("Codex", *home / ".codex" / "hooks.json", codex_rows(options.brenik));
          if (r.status != Status::failed)
            r.notes.push_back(
                "Codex skips these hooks until you trust them: open /hooks in Codex and trust "
                "brenik's (`brenik doctor` says whether they are)");
          return r;
        });
      else
        steps.push_back({.what = "Codex",
                         .status = Status::skipped,
                         .detail = "~/.codex not found; rerun `brenik setup` after installing Codex"});
      for (const auto& [name, label] : {std::pair{"cursor", "Cursor"}, std::pair{"windsurf", "Windsurf"}})
        if (is_detected(name))
          steps.push_back({.what = label,
                           .status = Status::skipped,
                           .detail = "no hook installed: its hook payload does not carry what brenik "
                                     "reads; the git post-commit hook records its commits"});
    }
  }

  // The agent-facing server in each agent's MCP configuration; a file in the
  // user's home (Windsurf's) only when setup may edit the user's settings.
  mcp_registration::RegistrationOptions mcp{.brenik = options.brenik};
  if (options.harness_hooks) {
    mcp.home = options.home;
    if (const char* h = std::getenv("HOME"); !mcp.home && h && *h) mcp.home = fs::path(h);
  }
  for (auto& s : mcp_registration::register_mcp_server(repo_root, configured, mcp)) steps.push_back(std::move(s));
  return steps;
}

}  // namespace brenik::hooks::installer
