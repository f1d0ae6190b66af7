// PLACEHOLDER until skill distribution lands: distributes nothing.
#include "services/skills/distribution.hpp"

namespace brenik::services::tolvern::detail {

void distribute_skills(const std::filesystem::path&, const json::Value&, const std::vector<agents::AdapterPtr>&) {}

}  // namespace brenik::services::tolvern::detail
