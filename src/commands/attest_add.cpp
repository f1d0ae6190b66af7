// `brenik attest add`: backfill a past commit, attach a late attestation, or
// (from a harness's post-tool hook) record the commit the agent just made.
#include <re2/re2.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <system_error>

#include "commands/attest.hpp"
#include "commands/hook_output.hpp"
#include "paths/paths.hpp"
#include "protocol/http_client.hpp"
#include "services/tolvern.hpp"
#include "utils/best_effort.hpp"
#include "utils/json.hpp"
#include "utils/time.hpp"
#include "utils/truthy.hpp"

namespace brenik::commands {

namespace tolvern = services::tolvern;
namespace shared = services::shared;
namespace out = display::output;
namespace fs = std::filesystem;

namespace detail {

const char* const GIT_COMMIT_RE = R"(\bgit\b.*\bcommit\b)";
constexpr double FRESH_HEAD_SECONDS = 1800;
constexpr double HOOK_UPLOAD_BUDGET = 5.0;

constexpr const char* ADD_DESCRIPTION =
    "Record a commit an agent session made before brenik was set up.\n"
    "\n"
    "One call per commit. Which agent, which model, and how many tokens are read from the "
    "session's own transcript; subject and date from git. The record is uploaded by the next "
    "`brenik sync`. A commit that already has a record is left alone.\n"
    "\n"
    "Example:\n"
    "\n"
    "  brenik attest add --commit a81f2c0 --session 3f0c... --task-type bug-fix\n"
    "\n"
    "With only --commit and a pending .brenik/.commit-attestation.yaml: attach that attestation to "
    "a commit already recorded without one (the hook's nudge). The commit's log entry is upgraded "
    "in place and re-uploaded.\n"
    "\n"
    "With --from-hook (Claude Code's PostToolUse row, user-level): reads the tool payload from "
    "stdin, ignores anything but a `git commit`, records HEAD for the payload's session, and "
    "uploads best-effort. Exit 0 always.";

bool tool_failed(const json::Value& payload) {
  const auto& response = member(payload, "tool_response");
  if (!response.is_object()) return false;
  const auto& interrupted = member(response, "interrupted");
  if (interrupted.is_boolean() && interrupted.get<bool>()) return true;
  for (const char* key : {"exit_code", "exitCode"}) {
    const auto& code = member(response, key);
    if (code.is_number_integer() || code.is_number_unsigned()) {
      if (code != 0) return true;
    }
  }
  return false;
}

std::optional<fs::path> repo_root_for(const fs::path& start) {
  std::error_code ec;
  fs::path dir = fs::absolute(start, ec);
  if (ec) return std::nullopt;
  dir = dir.lexically_normal();
  while (true) {
    if (fs::exists(dir / ".git", ec)) return dir;
    if (!dir.has_parent_path() || dir.parent_path() == dir) return std::nullopt;
    dir = dir.parent_path();
  }
}

bool head_is_fresh(const fs::path& repo_root) {
  const auto committed = tolvern::head_commit_time(repo_root);
  if (!committed) return false;
  const double age = utils::now_epoch() - static_cast<double>(*committed);
  return age >= 0 && age <= FRESH_HEAD_SECONDS;
}

void upload_best_effort(const fs::path& repo_root) {
  utils::best_effort("attestation upload from the commit hook failed (best-effort)", {.audible = false}, [&] {
    auto budget = protocol::http_client::network_budget(HOOK_UPLOAD_BUDGET);
    const auto session = tolvern::resolve_session(repo_root);
    if (session.connected)
      tolvern::upload_attestations(session.api_key, session.api_url, repo_root, paths::attestations_dir(repo_root),
                                   session.project_id);
  });
}

void nudge(const std::string& sha) {
  const std::string short_id = sha.substr(0, SHORT_ID_LENGTH);
  const std::string message = "brenik recorded commit " + short_id +
                              " without an attestation. Write .brenik/.commit-attestation.yaml for it (format: `brenik "
                              "attest --example`), then run `brenik attest add --commit " +
                              short_id + "` to attach it. Skip if this commit was intentionally unattested.";
  std::cout << json::dumps(render_hook_context("claude-code", "PostToolUse", message)) << "\n";
  std::cout.flush();
}

void add_from_hook(const std::optional<std::string>& agent, const std::optional<std::string>& preread) {
  // A hook never fails or blocks the agent.
  utils::best_effort("post-tool commit record failed (best-effort)", {.audible = false}, [&] {
    const json::Value payload = shared::read_hook_payload(preread);
    if (!payload.is_object() || text_member(payload, "tool_name") != "Bash") return;
    const auto& input = member(payload, "tool_input");
    const auto& command = member(input, "command");
    if (!command.is_string()) return;
    static const RE2 commit_re(GIT_COMMIT_RE);
    if (!RE2::PartialMatch(command.get_ref<const std::string&>(), commit_re)) return;
    if (tool_failed(payload)) return;

    const auto& cwd = member(payload, "cwd");
    fs::path start =
        (cwd.is_string() && !cwd.get<std::string>().empty()) ? fs::path(cwd.get<std::string>()) : fs::current_path();
    auto worktree = repo_root_for(start);
    if (!worktree) return;
    // A linked worktree records into the main worktree's state; HEAD is its own.
    const auto repo_root = std::optional<fs::path>(shared::brenik_root(*worktree));
    if (!shared::local_config_exists(*repo_root)) return;
    if (!head_is_fresh(*worktree)) return;

    std::optional<std::string> session_id;
    if (member(payload, "session_id").is_string()) session_id = payload["session_id"].get<std::string>();

    auto result = tolvern::capture_commit(
        *repo_root, "HEAD",
        {.session_id = session_id, .agent = agent, .handoff = commit_trigger_handoff(), .worktree = *worktree});
    if (result.written) {
      upload_best_effort(*repo_root);
      if (!result.attested) nudge(result.commit);
    }
  });
}

// Prints the usage refusal; its status is the caller's to return.
int usage_error(const std::string& message) {
  std::cerr << "Usage: brenik attest add [OPTIONS]\n"
               "Try 'brenik attest add --help' for help.\n\n"
               "Error: "
            << message << "\n";
  return 2;
}

struct AddOptions {
  std::optional<std::string> commit;
  std::optional<std::string> session_id;
  std::optional<std::string> task_type;
  bool from_hook = false;
  std::optional<std::string> agent;
  bool user_level = false;
};

int run_add(const AddOptions& o, const Context& ctx) {
  if (o.from_hook) {
    add_from_hook(o.agent, ctx.preread_stdin);
    return 0;
  }
  if (o.agent) return usage_error("--agent is only for hook rows (with --from-hook)");

  const auto found = repo_root_or_error(out::standard(), NOT_IN_REPOSITORY);
  if (!found) return 1;
  const fs::path& repo_root = *found;

  std::error_code ec;
  if (o.commit && !o.commit->empty() && !o.session_id && !o.task_type &&
      fs::exists(paths::commit_attestation(repo_root), ec)) {
    auto result = tolvern::attach_pending_attestation(repo_root, *o.commit);
    if (result.written) {
      out::success("Attached attestation to " + result.commit.substr(0, RECORD_ID_LENGTH));
      return 0;
    }
    out::error(*o.commit + ": " + result.reason);
    return 1;
  }

  std::string missing;
  for (const auto& [name, value] : {std::pair{"--commit", &o.commit}, std::pair{"--session", &o.session_id},
                                    std::pair{"--task-type", &o.task_type}}) {
    if (!*value) missing += (missing.empty() ? "" : ", ") + std::string(name);
  }
  if (!missing.empty()) return usage_error("Missing required options: " + missing);

  auto result = tolvern::record_backfill(repo_root,
                                         {.commit = *o.commit, .session_id = *o.session_id, .task_type = *o.task_type});
  if (result.written) {
    std::string text = "Recorded " + result.commit.substr(0, RECORD_ID_LENGTH) + " (" + *o.task_type + ")";
    if (!result.tokens) text += " \xe2\x80\x94 no token counts in that transcript";
    out::success(text);
    return 0;
  }
  if (result.reason == tolvern::REASON_ALREADY_RECORDED) {
    out::info(result.commit.substr(0, RECORD_ID_LENGTH) + " already recorded");
    return 0;
  }
  out::error(*o.commit + ": " + result.reason);
  return 1;
}

}  // namespace detail

void register_attest_add(CLI::App& group, Context& ctx) {
  CLI::App* add = group.add_subcommand("add", detail::ADD_DESCRIPTION);
  struct Bound {
    std::string commit, session, task_type, agent;
    CLI::Option *commit_opt, *session_opt, *task_opt, *agent_opt;
    bool from_hook = false, user_level = false;
  };
  auto b = std::make_shared<Bound>();
  b->commit_opt = add->add_option("--commit", b->commit, "Commit sha (short or full) the session made.");
  b->session_opt = add->add_option("--session", b->session, "The agent session id (transcript id) that made it.");
  b->task_opt = add->add_option("--task-type", b->task_type, "What kind of change the commit is.")
                    ->check(CLI::IsMember(services::shared::VALID_TASK_TYPES));
  add->add_flag("--from-hook", b->from_hook,
                "Hook invocation: read the PostToolUse payload from stdin, record HEAD, always exit 0.");
  b->agent_opt = add->add_option("--agent", b->agent, "With --from-hook only: the harness this row was installed for.");
  add->add_flag("--user", b->user_level, "Installed at user level (accepted, no effect).")->group("");

  on_run(add, ctx, [b, &ctx] {
    detail::AddOptions o;
    if (b->commit_opt->count()) o.commit = b->commit;
    if (b->session_opt->count()) o.session_id = b->session;
    if (b->task_opt->count()) o.task_type = b->task_type;
    if (b->agent_opt->count()) o.agent = b->agent;
    o.from_hook = b->from_hook;
    o.user_level = b->user_level;
    try {
      return detail::run_add(o, ctx);
    } catch (const std::exception& e) {
      if (o.from_hook) return 0;
      out::error(e.what());
      return 1;
    }
  });
}

}  // namespace brenik::commands
