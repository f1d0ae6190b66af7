// Installing the platform's own skill package with `npx skills add`, once,
// bounded in time, never raising on the install path.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "hooks/agent_guidance.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

// The platform's own skill package.
inline constexpr const char* SKILLS_PACKAGE = hooks::agent_guidance::PLATFORM_SKILLS_PACKAGE;

#pragma GCC visibility pop

namespace detail {
// The install command line: npx -y skills add <package> -y (the first -y
// lets the runner fetch the installer, the second answers its questions).
const std::vector<std::string>& skills_install_cmd();
}  // namespace detail

#pragma GCC visibility push(default)

struct InstallOptions {
  std::chrono::milliseconds timeout = std::chrono::seconds(120);  // tests shorten it
};

// Installs only when the installer's lock manifest lists no platform skill.
void ensure_platform_skills(const fs::path& repo_root, const InstallOptions& options = {});

// True only when the install ran and exited with status 0.
bool install_platform_skills(const fs::path& repo_root, const InstallOptions& options = {});

}  // namespace brenik::services::tolvern

#pragma GCC visibility pop
