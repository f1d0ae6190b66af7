// Installing the platform's own skill package with `npx skills add`, once,
// bounded in time, never raising on the install path.
#pragma once

#include <chrono>
#include <filesystem>

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

struct InstallOptions {
  std::chrono::milliseconds timeout = std::chrono::seconds(120);  // tests shorten it
};

// Installs only when the installer's lock manifest lists no platform skill.
void ensure_platform_skills(const fs::path& repo_root, const InstallOptions& options = {});

// True only when the install ran and exited with status 0.
bool install_platform_skills(const fs::path& repo_root, const InstallOptions& options = {});

}  // namespace brenik::services::tolvern
