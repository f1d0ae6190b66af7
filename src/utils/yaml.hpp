// YAML on the JSON value model, with the semantics of a safe YAML 1.1 loader
// (PyYAML's safe_load): plain scalars resolve to null ("", "~", "null"),
// booleans ("yes", "no", "on", "off", "true", ...), integers (decimal, 0x, 0o,
// leading-zero octal, sexagesimal "12:30"), floats (with a dot, ".inf",
// ".nan"), timestamps and dates (kept as their text); quoted scalars stay
// text. No language-specific tags are honoured.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::yaml {

// First document of the text; null for an empty text or an empty document.
// Throws YAMLError on a syntax error.
json::Value load(std::string_view text);

// Every document of a stream, in order (empty for an empty text).
std::vector<json::Value> load_all(std::string_view text);

// Block-style dump (never inline braces or brackets, except for empty
// containers "{}" and "[]"), mapping keys in insertion order, strings quoted
// whenever a safe loader would otherwise read them as another type or they
// need it to round-trip. Ends with a newline. Reading the output back with
// load() or with PyYAML's safe_load gives the same value.
std::string dump(const json::Value& value);

}  // namespace brenik::yaml

#pragma GCC visibility pop
