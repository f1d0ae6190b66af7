// Provisional JSON layer; being replaced by the exact writer/decoder.
#include "utils/json.hpp"

#include <charconv>
#include <cmath>

#include "utils/errors.hpp"

namespace brenik::json {

std::string float_repr(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

void dump_to(std::string& out, const Value& value, const DumpOptions& options) {
  out += value.dump(options.indent ? *options.indent : -1, ' ', true,
                    Value::error_handler_t::replace);
}

std::string dumps(const Value& value, const DumpOptions& options) {
  std::string out;
  dump_to(out, value, options);
  return out;
}

Value loads(std::string_view text) {
  try {
    return Value::parse(text.begin(), text.end());
  } catch (const Value::parse_error& e) {
    throw JSONDecodeError("Expecting value", e.byte ? e.byte - 1 : 0, 1, e.byte);
  }
}

std::optional<Value> try_loads(std::string_view text) noexcept {
  try {
    return loads(text);
  } catch (...) {
    return std::nullopt;
  }
}

std::string type_name(const Value& value) {
  switch (value.type()) {
    case Value::value_t::object: return "dict";
    case Value::value_t::array: return "list";
    case Value::value_t::string: return "str";
    case Value::value_t::boolean: return "bool";
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned: return "int";
    case Value::value_t::number_float: return "float";
    case Value::value_t::binary: return "bytes";
    default: return "NoneType";
  }
}

std::string repr(const Value& value) { return value.dump(); }

}  // namespace brenik::json
