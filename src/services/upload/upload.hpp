// Sending the attestation log's unsynced records to the server, in batches
// the server accepts, marking each batch synced as soon as it is taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::services::tolvern {

namespace fs = std::filesystem;

inline constexpr std::size_t ATTESTATION_BATCH_SIZE = 100;
inline constexpr std::size_t ATTESTATION_BATCH_BYTES = 6291456;  // 6 MiB

// Result of uploading attestations.
struct UploadResult {
  bool ok = true;
  std::int64_t uploaded = 0;
  std::int64_t skipped_invalid = 0;
  bool already_synced = false;
  std::optional<std::string> error = std::nullopt;
  // The server's refusal code when it refused a batch (key rejected, account
  // inactive, ...), so that the caller can give the matching advice.
  std::optional<std::string> code = std::nullopt;
  // Records the server refused for good (too large, malformed), set aside in
  // refused.json: those refused by this run and those still refused from
  // earlier runs. They stay unsynced in the log and are not sent again
  // until their line changes.
  std::int64_t refused = 0;
};

// project_id: an integer or text; null or "" means there is none. Failures
// of the server call become a failed result; nothing else is caught. A batch
// the server refuses as a whole for what it holds (413, 400, 422) is split
// until the refused records stand alone; those are set aside and the rest
// goes on. A transient failure (5xx, network) stops the run and sets nothing
// aside.
UploadResult upload_attestations(const std::string& api_key, const std::string& api_url, const fs::path& repo_root,
                                 const fs::path& attestations_dir, const json::Value& project_id);

#pragma GCC visibility pop

namespace detail {

// Splits records into batches of at most max_count records and max_bytes of
// serialised records, in order; a record bigger than max_bytes goes alone.
// batch_ends gives where each batch ends (one past its last record).
std::vector<std::size_t> batch_ends(const std::vector<json::Value>& entries,
                                    std::size_t max_count = ATTESTATION_BATCH_SIZE,
                                    std::size_t max_bytes = ATTESTATION_BATCH_BYTES);
std::vector<std::vector<json::Value>> chunk_attestations(const std::vector<json::Value>& entries,
                                                         std::size_t max_count = ATTESTATION_BATCH_SIZE,
                                                         std::size_t max_bytes = ATTESTATION_BATCH_BYTES);

// Size of one record as the batch budget counts it (0 when it cannot be
// serialised).
std::size_t record_size(const json::Value& record);

// The largest record that fits in one request the server accepts (its body
// limit, less room for the envelope): anything bigger is refused unsent.
inline constexpr std::size_t MAX_SENDABLE_RECORD_BYTES = 64u * 1024u * 1024u - 1024u;

// HTTP statuses by which the server refuses what a batch holds (as opposed
// to who sends it, or a passing failure).
bool refuses_content(long status);

}  // namespace detail
}  // namespace brenik::services::tolvern
