// PLACEHOLDER until the agent guidance lands: the slug and skill file come
// from the skills writer; nothing is written to the agents.
#include "hooks/agent_guidance.hpp"

#include "agents/skills_writer.hpp"

namespace brenik::hooks::agent_guidance {

std::string extract_slug(const json::Value& skill) {
  std::string slug;
  if (skill.is_object())
    for (const char* key : {"slug", "name"})
      if (auto it = skill.find(key); it != skill.end() && it->is_string() && slug.empty()) slug = it->get<std::string>();
  validate_slug(slug);
  return slug;
}

void validate_slug(const std::string& slug, const std::string& source) {
  if (!agents::detail::is_safe_skill_slug(slug)) throw UnsafeSlugError("unsafe " + source + " slug");
}

std::string build_skill_file(const json::Value& skill, const std::string&) {
  return agents::detail::skill_md_text(extract_slug(skill), skill);
}

std::vector<std::string> detect_agents(const fs::path&) { return {}; }
std::vector<std::string> installed_platform_slugs(const fs::path&) { return {}; }
json::Value read_platform_skills_from_npx(const fs::path&) { return json::Value::array(); }
void write_cursor_skills(const fs::path&, const json::Value&) {}
void write_windsurf_skills(const fs::path&, const json::Value&) {}
void write_agent_guidance(const fs::path&, const std::string&, const std::string&, const std::optional<json::Value>&) {}

}  // namespace brenik::hooks::agent_guidance
