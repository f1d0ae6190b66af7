// Tolerant member access on simdjson DOM elements: a missing member or one
// of the wrong type reads as absent, never as an error.
#pragma once

#include <simdjson.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

namespace brenik::agents::detail {

using simdjson::dom::element;

inline std::optional<element> child(element e, std::string_view key) {
  element out;
  if (!e.is_object() || e[key].get(out) != simdjson::SUCCESS) return std::nullopt;
  return out;
}

inline std::optional<element> child_object(element e, std::string_view key) {
  auto c = child(e, key);
  if (!c || !c->is_object()) return std::nullopt;
  return c;
}

// Text member, "" when absent or not text. The view lives as long as the
// parser's document.
inline std::string_view str_of(element e, std::string_view key) {
  auto c = child(e, key);
  std::string_view out;
  if (!c || c->get_string().get(out) != simdjson::SUCCESS) return {};
  return out;
}

inline bool bool_of(element e, std::string_view key) {
  auto c = child(e, key);
  bool out = false;
  if (!c || c->get_bool().get(out) != simdjson::SUCCESS) return false;
  return out;
}

// Integer member (a float is rounded), none when absent or not a number.
inline std::optional<std::int64_t> int_of(element e, std::string_view key) {
  auto c = child(e, key);
  if (!c) return std::nullopt;
  std::int64_t i;
  if (c->get_int64().get(i) == simdjson::SUCCESS) return i;
  std::uint64_t u;
  if (c->get_uint64().get(u) == simdjson::SUCCESS)
    return u > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(u);
  double d;
  if (c->get_double().get(d) == simdjson::SUCCESS && std::isfinite(d) && std::fabs(d) < 9e18)
    return static_cast<std::int64_t>(std::llround(d));
  return std::nullopt;
}

// Parses one line; none when it is not a JSON object (garbage, truncated,
// not UTF-8).
inline std::optional<element> parse_object(simdjson::dom::parser& parser, std::string_view line) {
  element doc;
  if (parser.parse(line.data(), line.size()).get(doc) != simdjson::SUCCESS) return std::nullopt;
  if (!doc.is_object()) return std::nullopt;
  return doc;
}

}  // namespace brenik::agents::detail
