// How a safe YAML 1.1 loader (PyYAML's resolver and constructors) reads a
// plain scalar. Shared by the loader, which types plain scalars with it, and
// the writer, which quotes every string that would not read back as text.
#pragma once

#include <string_view>

#include "utils/json.hpp"

namespace brenik::yaml::detail {

enum class PlainKind { str, null, boolean, integer, floating, timestamp, merge, value };

struct Resolved {
  PlainKind kind = PlainKind::str;
  json::Value value;  // the typed value; the text itself for str and timestamp
};

// The kind a plain scalar resolves to, and its value.
Resolved resolve_plain(std::string_view text);

// The value of an explicitly tagged scalar (!!int, !!float, !!bool): what the
// constructor for that tag makes of the text, or no value when it cannot.
std::optional<json::Value> construct_int(std::string_view text);
std::optional<json::Value> construct_float(std::string_view text);
std::optional<json::Value> construct_bool(std::string_view text);

}  // namespace brenik::yaml::detail
