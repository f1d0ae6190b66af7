#include "services/skills/platform_skills.hpp"

#include <cstdlib>

#include "hooks/agent_guidance.hpp"
#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/logging.hpp"
#include "utils/process.hpp"

namespace brenik::services::tolvern {

namespace detail {

const std::vector<std::string>& skills_install_cmd() {
  static const std::vector<std::string> cmd{"npx", "-y", "skills", "add", SKILLS_PACKAGE, "-y"};
  return cmd;
}

}  // namespace detail

void ensure_platform_skills(const fs::path& repo_root, const InstallOptions& options) {
  // The lock manifest, not the shared skills folder: another agent's own
  // skill there must not pass for the installed package.
  if (!hooks::agent_guidance::installed_platform_slugs(repo_root).empty()) return;
  install_platform_skills(repo_root, options);
}

bool install_platform_skills(const fs::path& repo_root, const InstallOptions& options) {
  return utils::best_effort_or(false, "Platform-skill install failed", {.audible = false}, [&] {
    const char* skip = std::getenv("BRENIK_SKIP_PLATFORM_SKILLS");
    if (skip && *skip) {
      logging::debug("BRENIK_SKIP_PLATFORM_SKILLS set — skipping npx install");
      return false;
    }
    const auto npx = utils::which("npx");
    if (!npx) {
      logging::debug("npx not found — skipping platform-skill install");
      return false;
    }
    // Its own session: a terminal interrupt meant for the sync does not
    // reach it, and on timeout its whole group (the runner, the installer,
    // the downloads it started) is killed and reaped. Standard input is the
    // null device: the installer never waits for the keyboard.
    const double seconds = std::chrono::duration<double>(options.timeout).count();
    const auto r =
        utils::run(detail::skills_install_cmd(), {.cwd = repo_root, .timeout_seconds = seconds, .new_session = true});
    switch (r.status) {
      case utils::RunStatus::start_failed: {
        const OSError error = os_error_from_errno(r.start_errno, "cannot start npx in " + repo_root.string());
        logging::debug_exc("Platform-skill install failed to start", std::make_exception_ptr(error));
        return false;
      }
      case utils::RunStatus::timed_out:
        logging::debug("Platform-skill install timed out; process group killed");
        return false;
      case utils::RunStatus::exited:
      case utils::RunStatus::signalled: break;
    }
    // The output is not used: the lock manifest it writes is what counts.
    if (r.status != utils::RunStatus::exited || r.exit_code != 0) {
      logging::debug("Platform-skill install exited %s", r.exit_code);
      return false;
    }
    std::error_code ec;
    if (fs::is_directory(repo_root / "agent" / "skills", ec))
      logging::debug("npx skills wrote a stray `agent/` dir (upstream issue); gitignored, not removed");
    return true;
  });
}

}  // namespace brenik::services::tolvern
