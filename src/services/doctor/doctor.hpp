// `brenik doctor`'s checks: whether what setup installed is still in place
// and points at a program that exists, whether a hook manager has since
// taken git's hooks over, the link and sign-in state, and whether Codex
// trusts brenik's hook rows. Read-only: nothing here writes a file.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::doctor {

namespace fs = std::filesystem;

struct Finding {
  std::string check;  // short name: "post-commit hook", "Claude Code hooks", "sign-in"...
  bool ok = true;
  std::string detail;  // what was found
  std::string fix;     // for a problem: the command (or step) that fixes it
};

struct DoctorOptions {
  fs::path home;  // the user's home (harness settings)
};

// Every check, in a fixed order, for the worktree `worktree_root`.
std::vector<Finding> run_checks(const fs::path& worktree_root, const DoctorOptions& options);

// {"ok": ..., "problems": n, "checks": [{"check", "ok", "detail", "fix"}...]}.
json::Value to_json(const std::vector<Finding>& findings);

}  // namespace brenik::services::doctor

#pragma GCC visibility pop
