// The one JSON value model (nlohmann::ordered_json, insertion order kept) and
// the byte layout every file and wire body of this tool uses: exactly what
// Python's json.dumps writes with default arguments (", " and ": ", every
// non-ASCII character as \uXXXX with surrogate pairs above U+FFFF, the float
// repr, NaN/Infinity/-Infinity).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#pragma GCC visibility push(default)

namespace brenik::json {

using Value = nlohmann::ordered_json;

struct DumpOptions {
  // A value with no JSON form (a binary blob) is written as its text form
  // instead of failing with TypeError.
  bool text_form_fallback = true;
  // Indentation like json.dumps(indent=N): newline + N spaces per level and
  // "," item separator. Absent means the one-line layout.
  std::optional<int> indent = std::nullopt;
};

// json.dumps(value) byte for byte. Throws TypeError for a value with no JSON
// form when text_form_fallback is off.
std::string dumps(const Value& value, const DumpOptions& options = {});

// Appends dumps(value) to out (the hot path of the log writers).
void dump_to(std::string& out, const Value& value, const DumpOptions& options = {});

// Python's repr(float) for a finite or non-finite double: "0.1", "1e+16",
// "1e-07", "-0.0", "inf" (as repr gives; dumps writes "Infinity").
std::string float_repr(double value);

// Decodes a JSON text the way Python's json.loads does: NaN, Infinity and
// -Infinity accepted, a duplicate key keeps its first position with the last
// value, surrounding white space allowed. Throws JSONDecodeError whose what()
// reads like Python's, e.g. "Expecting value: line 1 column 1 (char 0)",
// "Expecting ',' delimiter: line 1 column 9 (char 8)", "Extra data: ...".
// Positions count characters (code points), not bytes.
Value loads(std::string_view text);

// loads(), or no value on any decoding error.
std::optional<Value> try_loads(std::string_view text) noexcept;

// Python type name of the decoded value: "dict", "list", "str", "int",
// "float", "bool", "NoneType".
std::string type_name(const Value& value);

// Python repr() of the decoded value: 'text' (quoted as Python quotes),
// None, True, False, 1, 0.5, [1, 'a'], {'k': None}.
std::string repr(const Value& value);

// A value read as text: a string itself, "" for null, anything else as its
// JSON text (a number 42 gives "42").
std::string text_form(const Value& value);

// How deeply arrays and objects nest in a JSON text, counted without
// parsing it (brackets inside strings do not count): a parser recurses once
// per level, so a hostile text is turned away before it is parsed. Stops
// counting past `limit`.
std::size_t nesting_depth(std::string_view text, std::size_t limit);

}  // namespace brenik::json

namespace brenik {

// Member of an object, or null when `v` is not an object or lacks it.
inline const json::Value& member(const json::Value& v, const std::string& key) {
  static const json::Value null_value;
  if (!v.is_object()) return null_value;
  auto it = v.find(key);
  return it == v.end() ? null_value : *it;
}

// Text member, or "" when absent or not text.
inline std::string text_member(const json::Value& v, const std::string& key) {
  const auto& m = member(v, key);
  return m.is_string() ? m.get<std::string>() : std::string();
}

}  // namespace brenik

#pragma GCC visibility pop
