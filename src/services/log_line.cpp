#include "services/log_line.hpp"

#include "utils/fs.hpp"
#include "utils/truthy.hpp"

namespace brenik::services::tolvern::detail {

namespace {

bool element_truthy(simdjson::dom::element e) {
  using T = simdjson::dom::element_type;
  switch (e.type()) {
    case T::NULL_VALUE: return false;
    case T::BOOL: return bool(e.get_bool().value_unsafe());
    case T::INT64: return e.get_int64().value_unsafe() != 0;
    case T::UINT64: return e.get_uint64().value_unsafe() != 0;
    case T::DOUBLE: return e.get_double().value_unsafe() != 0.0;
    case T::STRING: return !e.get_string().value_unsafe().empty();
    case T::ARRAY: {
      simdjson::dom::array a = e.get_array().value_unsafe();
      return a.size() != 0;
    }
    case T::OBJECT: {
      simdjson::dom::object o = e.get_object().value_unsafe();
      return o.size() != 0;
    }
  }
  return true;
}

LineFields fields_of(const json::Value& v) {
  LineFields f;
  f.is_object = v.is_object();
  if (!f.is_object) return f;
  const auto& c = member(v, "commit");
  if (c.is_string()) f.commit = c.get<std::string>();
  f.event = text_member(v, "event");
  f.synced = truthy(member(v, "synced"));
  f.uploaded = truthy(member(v, "uploaded"));
  return f;
}

}  // namespace

std::string_view strip_view(std::string_view text) {
  auto is_space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  std::size_t b = 0, e = text.size();
  while (b < e && is_space(text[b])) ++b;
  while (e > b && is_space(text[e - 1])) --e;
  return text.substr(b, e - b);
}

json::Value to_value(simdjson::dom::element e) {
  using T = simdjson::dom::element_type;
  switch (e.type()) {
    case T::NULL_VALUE: return nullptr;
    case T::BOOL: return bool(e.get_bool().value_unsafe());
    case T::INT64: return e.get_int64().value_unsafe();
    case T::UINT64: return e.get_uint64().value_unsafe();
    case T::DOUBLE: return e.get_double().value_unsafe();
    case T::STRING: return std::string(e.get_string().value_unsafe());
    case T::ARRAY: {
      json::Value arr = json::Value::array();
      simdjson::dom::array items = e.get_array().value_unsafe();  // a copy: the result is a temporary
      for (auto item : items) arr.push_back(to_value(item));
      return arr;
    }
    case T::OBJECT: {
      json::Value obj = json::Value::object();
      simdjson::dom::object fields = e.get_object().value_unsafe();
      for (auto field : fields)
        obj[std::string(field.key)] = to_value(field.value);  // a repeated key: last wins
      return obj;
    }
  }
  return nullptr;
}

bool LineParser::parse(std::string_view line) {
  fallback_.reset();
  fields_ = LineFields{};
  if (!utils::is_valid_utf8(line)) return false;
  if (parser_.parse(line.data(), line.size(), true).get(element_) == simdjson::SUCCESS) {
    if (!element_.is_object()) return true;
    fields_.is_object = true;
    auto obj = element_.get_object().value_unsafe();
    std::string_view text;
    if (obj["commit"].get_string().get(text) == simdjson::SUCCESS) fields_.commit = std::string(text);
    if (obj["event"].get_string().get(text) == simdjson::SUCCESS) fields_.event = std::string(text);
    simdjson::dom::element m;
    if (obj["synced"].get(m) == simdjson::SUCCESS) fields_.synced = element_truthy(m);
    if (obj["uploaded"].get(m) == simdjson::SUCCESS) fields_.uploaded = element_truthy(m);
    return true;
  }
  auto v = json::try_loads(line);
  if (!v) return false;
  fallback_ = std::move(*v);
  fields_ = fields_of(*fallback_);
  return true;
}

json::Value LineParser::value() const {
  if (fallback_) return *fallback_;
  return to_value(element_);
}

}  // namespace brenik::services::tolvern::detail
