// PLACEHOLDER until the platform skills install lands: installs nothing.
#include "services/skills/platform_skills.hpp"

namespace brenik::services::tolvern {

void ensure_platform_skills(const fs::path&, const InstallOptions&) {}
bool install_platform_skills(const fs::path&, const InstallOptions&) { return false; }

}  // namespace brenik::services::tolvern
