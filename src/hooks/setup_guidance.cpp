// Setup's guidance step: the same block a sync writes, without skills, so
// that an agent is told how to attest before the first sync or without any
// server.
#include <algorithm>

#include "hooks/agent_guidance.hpp"
#include "hooks/installer.hpp"
#include "services/shared.hpp"

namespace brenik::hooks::installer {

StepReport write_guidance_blocks(const fs::path& repo_root) {
  namespace guidance = agent_guidance;
  StepReport r{.what = "agent guidance"};
  const json::Value config = services::shared::load_local_config(repo_root);
  std::vector<std::string> agents;
  if (auto it = config.find("agents"); it != config.end() && it->is_array())
    for (const auto& a : *it)
      if (a.is_string() && !a.get_ref<const std::string&>().empty()) agents.push_back(a.get<std::string>());
  if (agents.empty()) agents = guidance::detect_agents(repo_root);
  if (agents.empty()) {
    r.status = Status::skipped;
    r.detail = "no agent found here; `brenik sync` writes it, or rerun setup after installing one";
    return r;
  }
  std::string project;
  if (auto it = config.find("project_id"); it != config.end()) {
    if (it->is_string())
      project = it->get<std::string>();
    else if (it->is_number_integer())
      project = std::to_string(it->get<std::int64_t>());
  }

  std::vector<fs::path> files;  // one block per file, whichever agents share it
  std::vector<std::string> written, kept, damaged;
  for (const auto& agent : agents) {
    const fs::path file = guidance::guidance_file_name(agent);
    if (std::find(files.begin(), files.end(), file) != files.end()) continue;
    files.push_back(file);
    try {
      switch (guidance::update_agent_guidance(repo_root, agent, project)) {
        case guidance::GuidanceOutcome::written: written.push_back(file.string()); break;
        case guidance::GuidanceOutcome::unchanged: kept.push_back(file.string()); break;
        case guidance::GuidanceOutcome::damaged_markers:
        case guidance::GuidanceOutcome::too_large: damaged.push_back(file.string()); break;
      }
    } catch (const std::exception& e) {
      r.status = Status::failed;
      r.notes.push_back(file.string() + ": " + e.what());
    }
  }
  auto joined = [](const std::vector<std::string>& v) {
    std::string out;
    for (const auto& s : v) out += (out.empty() ? "" : ", ") + s;
    return out;
  };
  std::vector<std::string> parts;
  if (!written.empty()) parts.push_back("wrote the brenik block in " + joined(written));
  if (!kept.empty()) parts.push_back("block already current in " + joined(kept));
  if (!damaged.empty()) {
    parts.push_back(joined(damaged) + " left untouched");
    r.notes.push_back(
        "its brenik:begin/brenik:end marker lines are damaged (or the file is very large); "
        "remove the broken block by hand and rerun `brenik setup`");
    r.status = Status::failed;
  }
  if (r.status != Status::failed) r.status = written.empty() ? Status::unchanged : Status::changed;
  r.detail = parts.empty() ? "nothing written" : joined(parts);
  return r;
}

}  // namespace brenik::hooks::installer
