// "Truthy" the way a dynamic language means it: null, false, 0, 0.0, "", []
// and {} are false; every other value is true.
#pragma once

#include <optional>
#include <string>

#include "utils/json.hpp"

namespace brenik {

inline bool truthy(const nlohmann::ordered_json& v) {
  switch (v.type()) {
    case nlohmann::ordered_json::value_t::null: return false;
    case nlohmann::ordered_json::value_t::boolean: return v.get<bool>();
    case nlohmann::ordered_json::value_t::number_integer: return v.get<std::int64_t>() != 0;
    case nlohmann::ordered_json::value_t::number_unsigned: return v.get<std::uint64_t>() != 0;
    case nlohmann::ordered_json::value_t::number_float: return v.get<double>() != 0.0;
    case nlohmann::ordered_json::value_t::string: return !v.get_ref<const std::string&>().empty();
    case nlohmann::ordered_json::value_t::array:
    case nlohmann::ordered_json::value_t::object: return !v.empty();
    default: return true;
  }
}

inline bool truthy(const std::string& s) { return !s.empty(); }
inline bool truthy(const std::optional<std::string>& s) { return s && !s->empty(); }

}  // namespace brenik
