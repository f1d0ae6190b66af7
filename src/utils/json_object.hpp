// Building an object from parsed members. ordered_map's own insertion looks
// for the key from the front each time, so a document of many keys would
// cost the square of their number; this appends to the member vector and
// finds repeated keys through a hash index instead.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::json {

class ObjectBuilder {
public:
  // Adds a member with dict semantics: a repeated key keeps its first
  // position and takes the last value.
  void put(std::string key, Value value);
  // The object built so far; the builder is left empty.
  Value take();

private:
  // Small objects are searched directly: cheaper than hashing their keys.
  static constexpr std::size_t LINEAR_KEY_LIMIT = 16;
  Value::object_t::Container& members() {
    return static_cast<Value::object_t::Container&>(object_.get_ref<Value::object_t&>());
  }

  Value object_ = Value::object();
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace brenik::json

#pragma GCC visibility pop
