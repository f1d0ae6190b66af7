// Turning the records of a range into export lines: one JSON document per
// recorded commit, optionally each wrapped in a signed DSSE envelope.
#pragma once

#include <string>
#include <vector>

#include "services/export/records.hpp"
#include "services/export/ssh_sign.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::exporting {

enum class ExportFormat { agent_trace, in_toto };

const char* payload_type_of(ExportFormat format);

// The documents' bytes, one per record, in the records' order.
std::vector<std::string> export_documents(const std::vector<CommitRecord>& records, ExportFormat format,
                                          const std::string& tool_version);

// Each document in a DSSE envelope signed by `signer`. Throws RuntimeError
// when signing fails (nothing half-signed is returned).
std::vector<std::string> sign_documents(const std::vector<std::string>& documents, ExportFormat format,
                                        SshSigner& signer);

}  // namespace brenik::services::exporting

#pragma GCC visibility pop
