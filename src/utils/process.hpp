// Child processes: an argument vector (never a shell), an explicit working
// directory, captured output, a time limit, and optionally a new session
// whose whole process group is killed when the time limit passes.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Callers decode and strip what a child printed.
#include "utils/text.hpp"

#pragma GCC visibility push(default)

namespace brenik::utils {

struct RunOptions {
  std::optional<std::filesystem::path> cwd = std::nullopt;  // none: inherit ours
  std::optional<double> timeout_seconds = 10.0;             // none: no limit
  bool new_session = false;                                 // setsid(); on timeout kill the whole group
  bool capture_stderr = true;                               // false: stderr goes to /dev/null
  // The child writes to our own standard output and error (a pager on the
  // terminal) instead of into the result; capture_stderr is then ignored.
  bool inherit_output = false;
  std::optional<std::string> stdin_data = std::nullopt;  // none: stdin is /dev/null
  // Extra or replaced environment variables; a value of none removes one.
  std::map<std::string, std::optional<std::string>> env = {};
};

// This process's environment with `changes` applied ("KEY=value" entries):
// what a child started with those changes sees.
std::vector<std::string> build_environment(const std::map<std::string, std::optional<std::string>>& changes);

enum class RunStatus {
  exited,        // ran to the end: see exit_code
  signalled,     // killed by a signal it did not ask for
  timed_out,     // the time limit passed; the child (or its group) was killed
  start_failed,  // could not start: missing program, bad cwd, permission...
};

struct RunResult {
  RunStatus status = RunStatus::start_failed;
  int exit_code = -1;   // meaningful when status == exited
  std::string out;      // raw bytes of standard output
  std::string err;      // raw bytes of standard error (when captured)
  int start_errno = 0;  // errno of a failed start
  bool ok() const { return status == RunStatus::exited && exit_code == 0; }
};

// Runs argv[0] (searched on PATH when it has no slash) and waits for it.
// Never throws for a failure of the child; start failures are reported in
// the result.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});

struct DetachedOptions {
  std::optional<std::filesystem::path> cwd = std::nullopt;  // none: inherit ours
  std::string stdin_data = {};  // read from an anonymous file: the caller never waits on the child
  std::map<std::string, std::optional<std::string>> env = {};
};

// Starts argv[0] (an absolute path, or searched on PATH) in a new session,
// detached: it is not waited for, outlives the caller and leaves no zombie
// behind; its output goes to /dev/null. True when the program started.
bool spawn_detached(const std::vector<std::string>& argv, const DetachedOptions& options = {});

// The path of the running executable; none when the system cannot say.
std::optional<std::filesystem::path> current_executable();

// Whether an executable of that name is on PATH.
std::optional<std::filesystem::path> which(const std::string& program);

}  // namespace brenik::utils

#pragma GCC visibility pop
