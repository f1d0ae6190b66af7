#include "services/export/exporter.hpp"

#include "services/export/dsse.hpp"
#include "services/export/statements.hpp"

namespace brenik::services::exporting {

const char* payload_type_of(ExportFormat format) {
  return format == ExportFormat::in_toto ? IN_TOTO_PAYLOAD_TYPE : AGENT_TRACE_PAYLOAD_TYPE;
}

std::vector<std::string> export_documents(const std::vector<CommitRecord>& records, ExportFormat format,
                                          const std::string& tool_version) {
  std::vector<std::string> out;
  out.reserve(records.size());
  for (const auto& r : records)
    out.push_back(
        json::dumps(format == ExportFormat::in_toto ? in_toto_statement(r) : agent_trace_record(r, tool_version)));
  return out;
}

std::vector<std::string> sign_documents(const std::vector<std::string>& documents, ExportFormat format,
                                        SshSigner& signer) {
  const std::string type = payload_type_of(format);
  std::vector<std::string> messages;
  messages.reserve(documents.size());
  for (const auto& d : documents) messages.push_back(pae(type, d));
  auto sigs = signer.sign(messages);
  std::vector<std::string> out;
  out.reserve(documents.size());
  for (std::size_t i = 0; i < documents.size(); ++i) {
    Envelope e{.payload_type = type, .payload = documents[i], .signatures = {{signer.keyid(), sigs[i]}}};
    out.push_back(json::dumps(envelope_to_json(e)));
  }
  return out;
}

}  // namespace brenik::services::exporting
