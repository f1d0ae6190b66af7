// DSSE envelopes: a payload, its type, and signatures over the
// pre-authentication encoding of both, so that a signature over one type
// can never be replayed as another.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/json.hpp"

namespace brenik::services::exporting {

inline constexpr const char* IN_TOTO_PAYLOAD_TYPE = "application/vnd.in-toto+json";
inline constexpr const char* AGENT_TRACE_PAYLOAD_TYPE = "application/vnd.agent-trace+json";

// "DSSEv1" SP len(type) SP type SP len(body) SP body, lengths in bytes.
std::string pae(std::string_view payload_type, std::string_view payload);

struct Signature {
  std::string keyid;  // may be empty
  std::string sig;    // raw signature bytes
};

struct Envelope {
  std::string payload_type;
  std::string payload;  // raw bytes (decoded)
  std::vector<Signature> signatures;
};

json::Value envelope_to_json(const Envelope& envelope);

// The envelope a JSON value describes, or none when it is not one (missing
// or mistyped members, payload or signature that is not base64).
std::optional<Envelope> envelope_from_json(const json::Value& value);

}  // namespace brenik::services::exporting
