#include "services/views/attribution.hpp"

#include "services/ledger/archive_reader.hpp"
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

RecordSummary summarize(const json::Value& line) {
  RecordSummary r;
  r.attested = is_attested(line);
  r.synced = is_synced(line);
  r.agent = text_member(line, "agent");
  r.model = text_member(member(line, "telemetry"), "model");
  return r;
}

Attribution attribute(const RecordSummary* record, const tolvern::ArchiveReader& archive, const std::string& commit) {
  Attribution a;
  if (!record) return a;
  if (record->agent == "human") {
    a.author = Author::human;
    return a;
  }
  if (record->agent.empty() || record->agent == "unknown") {
    a.author = Author::unknown;
    return a;
  }
  a.author = Author::agent;
  a.agent = record->agent;
  a.model = record->model;
  // Only an attested record keeps a model outside its log line.
  if (a.model.empty() && record->attested) a.model = archive.model(commit);
  return a;
}

bool is_attested(const json::Value& line) { return line.is_object() && is_attested_event(text_member(line, "event")); }

bool is_attested_event(std::string_view event) {
  return event != "commit_unattested" && event != "attestation_skipped";
}

bool is_synced(const json::Value& line) { return truthy(member(line, "synced")) || truthy(member(line, "uploaded")); }

}  // namespace brenik::services::views
