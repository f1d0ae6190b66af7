#include "services/export/dsse.hpp"

#include "utils/base64.hpp"

namespace brenik::services::exporting {

std::string pae(std::string_view payload_type, std::string_view payload) {
  std::string out = "DSSEv1 ";
  out += std::to_string(payload_type.size());
  out += ' ';
  out += payload_type;
  out += ' ';
  out += std::to_string(payload.size());
  out += ' ';
  out += payload;
  return out;
}

json::Value envelope_to_json(const Envelope& envelope) {
  json::Value sigs = json::Value::array();
  for (const auto& s : envelope.signatures) {
    json::Value one = json::Value::object();
    if (!s.keyid.empty()) one["keyid"] = s.keyid;
    one["sig"] = utils::base64_encode(s.sig);
    sigs.push_back(std::move(one));
  }
  json::Value v = json::Value::object();
  v["payloadType"] = envelope.payload_type;
  v["payload"] = utils::base64_encode(envelope.payload);
  v["signatures"] = std::move(sigs);
  return v;
}

std::optional<Envelope> envelope_from_json(const json::Value& value) {
  if (!value.is_object()) return std::nullopt;
  auto type = value.find("payloadType");
  auto payload = value.find("payload");
  auto sigs = value.find("signatures");
  if (type == value.end() || !type->is_string() || payload == value.end() || !payload->is_string() ||
      sigs == value.end() || !sigs->is_array())
    return std::nullopt;
  Envelope e;
  e.payload_type = type->get<std::string>();
  auto bytes = utils::base64_decode(payload->get_ref<const std::string&>());
  if (!bytes) return std::nullopt;
  e.payload = std::move(*bytes);
  for (const auto& s : *sigs) {
    if (!s.is_object()) return std::nullopt;
    auto sig = s.find("sig");
    if (sig == s.end() || !sig->is_string()) return std::nullopt;
    auto raw = utils::base64_decode(sig->get_ref<const std::string&>());
    if (!raw) return std::nullopt;
    Signature one{.keyid = "", .sig = std::move(*raw)};
    if (auto k = s.find("keyid"); k != s.end() && k->is_string()) one.keyid = k->get<std::string>();
    e.signatures.push_back(std::move(one));
  }
  return e;
}

}  // namespace brenik::services::exporting
