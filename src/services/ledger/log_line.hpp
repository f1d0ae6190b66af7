// Parsing one attestation-log line. simdjson validates and reads the members
// the log's readers need at memory speed; a line simdjson refuses but a
// Python-compatible decoder accepts (NaN, Infinity, integers past 64 bits)
// goes through json::loads, so both readers agree with what the log's other
// writers consider valid JSON.
#pragma once

#include <optional>
#include <simdjson.h>
#include <string>
#include <string_view>

#include "utils/json.hpp"

namespace brenik::services::tolvern::detail {

// Views into the parser's current line: valid until its next parse.
struct LineFields {
  bool is_object = false;
  std::optional<std::string_view> commit;  // when the member is text
  std::string_view event;                  // "" when absent or not text
  bool synced = false;                     // `synced` member is truthy
  bool uploaded = false;                   // `uploaded` member is truthy
};

class LineParser {
public:
  // Parses `line` (already stripped). False when it is not valid JSON
  // (including a line that is not valid UTF-8). When `padded` is true the
  // caller guarantees SIMDJSON_PADDING readable bytes after the line, which
  // spares a copy.
  bool parse(std::string_view line, bool padded = false);

  const LineFields& fields() const { return fields_; }
  // The parsed value (objects and other JSON values alike).
  json::Value value() const;
  // The text of the parsed object's member `key` (of its member `outer`'s
  // member `key` when `outer` is given), read without building the value;
  // none when a member is absent or not what is asked. A repeated key takes
  // its last value, as in value().
  std::optional<std::string_view> text_member(std::string_view key) const;
  std::optional<std::string_view> text_member(std::string_view outer, std::string_view key) const;
  // Appends the parsed value in the log's layout (json::dumps) without
  // building a value tree: the rewrite of a whole log goes through here.
  void dump_to(std::string& out) const;

private:
  simdjson::dom::parser parser_;
  simdjson::dom::element element_;
  std::optional<json::Value> fallback_;
  LineFields fields_;
};

// simdjson element -> value model, members in their order.
json::Value to_value(simdjson::dom::element element);

// A byte the log's writer puts in a JSON string as it is: printable ASCII
// other than '"' and '\\'.
inline bool carried_as_is(unsigned char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

}  // namespace brenik::services::tolvern::detail
