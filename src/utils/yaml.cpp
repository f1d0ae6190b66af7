// Loading YAML with yaml-cpp into the JSON value model, typed the way
// PyYAML's safe_load types it (see yaml_resolve.cpp). yaml-cpp marks a plain
// scalar with the tag "?" and a quoted or block scalar with "!", and already
// reads plain null words as null nodes.
//
// Mapping keys become text: a key that resolves to another type takes the
// text json.dumps would give it as a key ("1", "true", "null", "1.5"); a
// collection as a key is an error, as it is in PyYAML. Merge keys ("<<") are
// applied like PyYAML does. Explicit tags other than the standard scalar
// ones are ignored and the scalar is typed as if it were plain.
#include "utils/yaml.hpp"

#include <yaml-cpp/yaml.h>

#include <utility>

#include "utils/errors.hpp"
#include "utils/json_object.hpp"
#include "utils/json_utf8.hpp"
#include "utils/yaml_resolve.hpp"

namespace brenik::yaml {

namespace {

constexpr std::string_view TAG_PREFIX = "tag:yaml.org,2002:";
// Aliases let a small text expand to an enormous tree (and a recursive alias
// to an endless one): both are cut off. Without aliases a document converts
// to about its own size (each node costs a byte plus its scalar text, which
// the document spells out), so the budget on the converted size is a little
// over that; only alias expansion goes beyond it.
constexpr std::size_t MAX_DEPTH = 1000;
constexpr std::size_t BASE_BYTE_BUDGET = std::size_t{1} << 20;
constexpr std::size_t BYTES_PER_TEXT_BYTE = 2;

class Converter {
public:
  explicit Converter(std::size_t text_size) : budget_(BASE_BYTE_BUDGET + BYTES_PER_TEXT_BYTE * text_size) {}

  json::Value convert(const YAML::Node& node, std::size_t depth = 0) {
    if (depth > MAX_DEPTH) throw YAMLError("document nests too deeply (recursive alias?)");
    spend(1 + (node.Type() == YAML::NodeType::Scalar ? node.Scalar().size() : 0));
    switch (node.Type()) {
      case YAML::NodeType::Sequence: {
        json::Value out = json::Value::array();
        auto& items = out.get_ref<json::Value::array_t&>();
        items.reserve(node.size());
        for (const auto& item : node) items.push_back(convert(item, depth + 1));
        return out;
      }
      case YAML::NodeType::Map: return mapping(node, depth);
      case YAML::NodeType::Scalar: return scalar(node);
      default: return json::Value(nullptr);
    }
  }

private:
  std::size_t budget_;

  void spend(std::size_t bytes) {
    if (bytes > budget_) throw YAMLError("document expands beyond its size limit (alias expansion)");
    budget_ -= bytes;
  }

  // yaml-cpp 0.7 decodes the escapes "\_" and "\N" of a double-quoted
  // scalar to the single bytes A0 and 85 instead of their UTF-8 forms; such a
  // byte can only come from there (the input itself is UTF-8), so it is
  // repaired.
  static std::string repair_escapes(const std::string& text) {
    if (text.find_first_of("\xA0\x85") == std::string::npos) return text;
    std::string out;
    out.reserve(text.size() + 4);
    std::size_t i = 0;
    while (i < text.size()) {
      const std::size_t start = i;
      const char32_t cp = json::detail::next_code_point(text, i);
      const unsigned char b = static_cast<unsigned char>(text[start]);
      if (i == start + 1 && cp == json::detail::REPLACEMENT && (b == 0xA0 || b == 0x85))
        json::detail::append_utf8(out, b);
      else
        out.append(text, start, i - start);
    }
    return out;
  }

  static json::Value scalar(const YAML::Node& node) {
    const std::string& tag = node.Tag();
    const std::string& text = node.Scalar();
    if (tag == "!") return json::Value(repair_escapes(text));
    if (tag.size() > TAG_PREFIX.size() && tag.compare(0, TAG_PREFIX.size(), TAG_PREFIX) == 0) {
      const std::string_view name = std::string_view(tag).substr(TAG_PREFIX.size());
      std::optional<json::Value> v;
      if (name == "str" || name == "timestamp" || name == "binary") return json::Value(text);
      if (name == "null") return json::Value(nullptr);
      if (name == "int")
        v = detail::construct_int(text);
      else if (name == "float")
        v = detail::construct_float(text);
      else if (name == "bool")
        v = detail::construct_bool(text);
      if (name == "int" || name == "float" || name == "bool") {
        if (!v) throw YAMLError("cannot read '" + text + "' as !!" + std::string(name) + " " + mark(node));
        return std::move(*v);
      }
    }
    return detail::resolve_plain(text).value;
  }

  static std::string mark(const YAML::Node& node) {
    const auto m = node.Mark();
    if (m.is_null()) return "";
    return "at line " + std::to_string(m.line + 1) + ", column " + std::to_string(m.column + 1);
  }

  static bool is_merge_key(const YAML::Node& key) {
    return key.Type() == YAML::NodeType::Scalar && key.Tag() == "?" && key.Scalar() == "<<";
  }

  std::string key_text(const YAML::Node& key) {
    if (key.Type() == YAML::NodeType::Sequence || key.Type() == YAML::NodeType::Map)
      throw YAMLError("found unhashable key " + mark(key));
    const json::Value v = convert(key);
    if (v.is_string()) return v.get<std::string>();
    return json::dumps(v);
  }

  // A repeated key keeps its first position and takes the last value.
  json::Value mapping(const YAML::Node& node, std::size_t depth) {
    json::ObjectBuilder out;
    std::vector<std::pair<std::string, json::Value>> own;
    for (const auto& kv : node) {
      if (is_merge_key(kv.first)) {
        merge_into(out, kv.second, depth);
        continue;
      }
      own.emplace_back(key_text(kv.first), convert(kv.second, depth + 1));
    }
    for (auto& [k, v] : own) out.put(std::move(k), std::move(v));
    return out.take();
  }

  // PyYAML's merge: a mapping, or a list of mappings of which the earlier
  // ones win; explicit keys of the merging mapping win over all of them.
  void merge_into(json::ObjectBuilder& merged, const YAML::Node& source, std::size_t depth) {
    if (source.Type() == YAML::NodeType::Map) {
      const json::Value part = mapping(source, depth + 1);
      for (const auto& [k, v] : part.items()) merged.put(k, v);
      return;
    }
    if (source.Type() != YAML::NodeType::Sequence)
      throw YAMLError("expected a mapping or list of mappings for merging " + mark(source));
    std::vector<json::Value> parts;
    for (const auto& item : source) {
      if (item.Type() != YAML::NodeType::Map) throw YAMLError("expected a mapping for merging " + mark(item));
      parts.push_back(mapping(item, depth + 1));
    }
    for (auto it = parts.rbegin(); it != parts.rend(); ++it)
      for (const auto& [k, v] : it->items()) merged.put(k, v);
  }
};

template <typename F>
auto guarded(F&& body) {
  try {
    return body();
  } catch (const YAML::Exception& e) {
    throw YAMLError(e.what());
  }
}

}  // namespace

json::Value load(std::string_view text) {
  return guarded([&] {
    const YAML::Node doc = YAML::Load(std::string(text));
    return Converter(text.size()).convert(doc);
  });
}

std::vector<json::Value> load_all(std::string_view text) {
  return guarded([&] {
    std::vector<json::Value> out;
    for (const auto& doc : YAML::LoadAll(std::string(text))) out.push_back(Converter(text.size()).convert(doc));
    return out;
  });
}

}  // namespace brenik::yaml
