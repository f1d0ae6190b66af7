// Provisional YAML layer; being replaced by the PyYAML-compatible resolver.
#include "utils/yaml.hpp"

#include <yaml-cpp/yaml.h>

#include "utils/errors.hpp"

namespace brenik::yaml {
namespace {

json::Value convert(const YAML::Node& node) {
  switch (node.Type()) {
    case YAML::NodeType::Sequence: {
      json::Value out = json::Value::array();
      for (const auto& item : node) out.push_back(convert(item));
      return out;
    }
    case YAML::NodeType::Map: {
      json::Value out = json::Value::object();
      for (const auto& kv : node) out[kv.first.Scalar()] = convert(kv.second);
      return out;
    }
    case YAML::NodeType::Scalar: return node.Scalar();
    default: return nullptr;
  }
}

}  // namespace

json::Value load(std::string_view text) {
  auto docs = load_all(text);
  return docs.empty() ? json::Value(nullptr) : docs.front();
}

std::vector<json::Value> load_all(std::string_view text) {
  try {
    std::vector<json::Value> out;
    for (const auto& doc : YAML::LoadAll(std::string(text))) out.push_back(convert(doc));
    return out;
  } catch (const YAML::Exception& e) {
    throw YAMLError(e.what());
  }
}

std::string dump(const json::Value& value) {
  YAML::Emitter em;
  em << YAML::Load(value.dump());
  return std::string(em.c_str()) + "\n";
}

}  // namespace brenik::yaml
