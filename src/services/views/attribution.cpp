#include "services/views/attribution.hpp"

#include "services/views/record_join.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::views {

std::string Attribution::label() const {
  switch (author) {
    case Author::agent: return model.empty() ? agent : agent + " (" + model + ")";
    case Author::human: return "human";
    case Author::unknown: return "unknown";
    case Author::uncommitted: return "not committed yet";
    case Author::not_recorded: break;
  }
  return "not recorded";
}

std::string Attribution::kind() const {
  switch (author) {
    case Author::agent: return "agent";
    case Author::human: return "human";
    case Author::unknown: return "unknown";
    case Author::uncommitted: return "uncommitted";
    case Author::not_recorded: break;
  }
  return "not recorded";
}

Attribution attribute(const json::Value& line, const ArchiveDir& archive, const std::string& commit) {
  Attribution a;
  if (!line.is_object()) return a;
  const std::string agent = text_member(line, "agent");
  if (agent == "human") {
    a.author = Author::human;
    return a;
  }
  if (agent.empty() || agent == "unknown") {
    a.author = Author::unknown;
    return a;
  }
  a.author = Author::agent;
  a.agent = agent;
  const auto& telemetry = member(line, "telemetry");
  a.model = text_member(telemetry, "model");
  // Only an attested record keeps a model outside its log line.
  if (a.model.empty() && is_attested(line)) a.model = archive.archived_model(commit);
  return a;
}

bool is_attested(const json::Value& line) {
  if (!line.is_object()) return false;
  const std::string event = text_member(line, "event");
  return event != "commit_unattested" && event != "attestation_skipped";
}

bool is_synced(const json::Value& line) { return truthy(member(line, "synced")) || truthy(member(line, "uploaded")); }

}  // namespace brenik::services::views
