// Format-keeping edits of a JSON text (a user's settings file): a member is
// set, an element appended or either removed, and every other byte stays as
// it was. New text follows the file's own layout: one line where the
// container is on one line, else the container's own indentation and the
// file's indentation unit; non-ASCII text stays UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "utils/json.hpp"

namespace brenik::utils::json_edit {

// One step of a path: a member name or an array index.
using Step = std::variant<std::string, std::size_t>;
using Path = std::vector<Step>;

class Document {
public:
  // Throws ValueError when `text` is not one JSON value.
  explicit Document(std::string text);

  const std::string& text() const noexcept { return text_; }
  // The parsed value (the JSON model: members in file order).
  json::Value value() const;

  // Sets member `key` of the object at `object_path` to `value`: its value
  // text is replaced when it exists, else the member is added after the
  // last one. Throws ValueError when the path does not lead to an object.
  void set(const Path& object_path, const std::string& key, const json::Value& value);
  // Appends `value` to the array at `array_path`. Throws ValueError when the
  // path does not lead to an array.
  void append(const Path& array_path, const json::Value& value);
  // Removes the member or element at `path` with the separator before it (or
  // after it, for the first one). False when there is none.
  bool remove(const Path& path);

private:
  std::string text_;
};

// `value` as this module writes new text: "key": value with ", " between
// items, UTF-8 kept; `indent` empty: one line, else one item per line with
// `indent` per level after `base` (the indentation of the line it starts on).
std::string render(const json::Value& value, const std::string& indent = "", const std::string& base = "");

}  // namespace brenik::utils::json_edit
