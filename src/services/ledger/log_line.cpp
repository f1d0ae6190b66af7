#include "services/ledger/log_line.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

#include "utils/fs.hpp"
#include "utils/json.hpp"
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
  if (c.is_string()) f.commit = std::string_view(c.get_ref<const std::string&>());
  const auto& e = member(v, "event");
  if (e.is_string()) f.event = e.get_ref<const std::string&>();
  f.synced = truthy(member(v, "synced"));
  f.uploaded = truthy(member(v, "uploaded"));
  return f;
}

// One pass over the members; a repeated key takes its last value, as
// json.loads does.
LineFields fields_of(simdjson::dom::object obj) {
  LineFields f;
  f.is_object = true;
  for (auto field : obj) {
    const std::string_view key = field.key;
    if (key.size() < 5 || key.size() > 8) continue;
    std::string_view text;
    if (key == "commit") {
      f.commit = field.value.get_string().get(text) == simdjson::SUCCESS ? std::optional<std::string_view>(text)
                                                                         : std::nullopt;
    } else if (key == "event") {
      f.event = field.value.get_string().get(text) == simdjson::SUCCESS ? text : std::string_view();
    } else if (key == "synced") {
      f.synced = element_truthy(field.value);
    } else if (key == "uploaded") {
      f.uploaded = element_truthy(field.value);
    }
  }
  return f;
}

// Whether an object repeats a key. The value model keeps one member per key
// (last value, first position), so such rare objects take the slow, exact
// paths; the common small object is checked without allocating.
bool has_repeated_key(simdjson::dom::object o) {
  // A key is compared with the earlier ones only when its 256-way sketch
  // (length and three of its bytes) was seen before: usually never. The
  // keys of a common small object are kept without allocating.
  constexpr std::size_t INLINE = 32;
  std::string_view inline_keys[INLINE];
  std::vector<std::string_view> more;
  std::size_t count = 0;
  std::uint64_t seen[4] = {0, 0, 0, 0};
  for (auto field : o) {
    const std::string_view key = field.key;
    const std::size_t n = key.size();
    const unsigned sketch =
        n == 0 ? 0u
               : (static_cast<unsigned>(n) * 31u + static_cast<unsigned char>(key[0]) * 7u +
                  static_cast<unsigned char>(key[n / 2]) * 3u + static_cast<unsigned char>(key[n - 1])) &
                     255u;
    std::uint64_t& word = seen[sketch >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (sketch & 63);
    if (word & bit) {
      const std::string_view* end = inline_keys + std::min(count, INLINE);
      if (std::find(static_cast<const std::string_view*>(inline_keys), end, key) != end ||
          std::find(more.begin(), more.end(), key) != more.end())
        return true;
    }
    word |= bit;
    if (count < INLINE)
      inline_keys[count] = key;
    else
      more.push_back(key);
    ++count;
  }
  return false;
}

}  // namespace

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
      auto& elements = arr.get_ref<json::Value::array_t&>();
      elements.reserve(items.size());
      for (auto item : items) elements.push_back(to_value(item));
      return arr;
    }
    case T::OBJECT: {
      json::Value obj = json::Value::object();
      simdjson::dom::object fields = e.get_object().value_unsafe();
      if (has_repeated_key(fields)) {
        for (auto field : fields) obj[std::string(field.key)] = to_value(field.value);  // last wins
        return obj;
      }
      // Distinct keys: members go straight in, without a lookup each.
      auto& members = obj.get_ref<json::Value::object_t&>();
      members.reserve(fields.size());
      for (auto field : fields) members.emplace_back(std::string(field.key), to_value(field.value));
      return obj;
    }
  }
  return nullptr;
}

bool LineParser::parse(std::string_view line, bool padded) {
  fallback_.reset();
  fields_ = LineFields{};
  auto error = parser_.parse(line.data(), line.size(), !padded).get(element_);
  // simdjson validates UTF-8 itself; a line that is not UTF-8 is corrupt
  // (the fallback decoder would quietly replace the bad bytes).
  if (error == simdjson::UTF8_ERROR) return false;
  if (error == simdjson::SUCCESS) {
    if (!element_.is_object()) return true;
    fields_ = fields_of(element_.get_object().value_unsafe());
    return true;
  }
  auto v = json::try_loads(line);
  if (!v) return false;
  fallback_ = std::move(*v);
  fields_ = fields_of(*fallback_);
  return true;
}

namespace {

// The last member `key` of `e` when `e` is an object.
std::optional<simdjson::dom::element> last_member(simdjson::dom::element e, std::string_view key) {
  std::optional<simdjson::dom::element> found;
  simdjson::dom::object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS) return found;
  for (auto field : obj)
    if (field.key == key) found = field.value;
  return found;
}

std::optional<std::string_view> text_of(const json::Value& v) {
  if (!v.is_string()) return std::nullopt;
  return std::string_view(v.get_ref<const std::string&>());
}

std::optional<std::string_view> text_of(std::optional<simdjson::dom::element> e) {
  std::string_view text;
  if (!e || e->get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
  return text;
}

}  // namespace

std::optional<std::string_view> LineParser::text_member(std::string_view key) const {
  if (fallback_) return text_of(member(*fallback_, std::string(key)));
  return text_of(last_member(element_, key));
}

std::optional<std::string_view> LineParser::text_member(std::string_view outer, std::string_view key) const {
  if (fallback_) return text_of(member(member(*fallback_, std::string(outer)), std::string(key)));
  const auto inner = last_member(element_, outer);
  return inner ? text_of(last_member(*inner, key)) : std::nullopt;
}

json::Value LineParser::value() const {
  if (fallback_) return *fallback_;
  return to_value(element_);
}

namespace {

// Whether the 8 bytes at `p` are all printable ASCII other than '"' and
// '\\', the bytes a JSON string carries as they are (checked a word at a time).
bool plain_word(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  constexpr std::uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
  auto has_zero = [&](std::uint64_t v) { return ((v - ones) & ~v & highs) != 0; };
  const bool below_space = ((w - 0x20 * ones) & ~w & highs) != 0;
  return !(w & highs) && !below_space && !has_zero(w ^ (0x7F * ones)) && !has_zero(w ^ ('"' * ones)) &&
         !has_zero(w ^ ('\\' * ones));
}

void write_escaped(std::string& out, std::string_view s) {
  static const char hex[] = "0123456789abcdef";
  out += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  auto u16 = [&](unsigned v) {
    out += "\\u";
    out += hex[(v >> 12) & 0xF];
    out += hex[(v >> 8) & 0xF];
    out += hex[(v >> 4) & 0xF];
    out += hex[v & 0xF];
  };
  for (std::size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (carried_as_is(c)) {
      std::size_t j = i + 1;
      while (j + 8 <= n && plain_word(p + j)) j += 8;
      while (j < n && carried_as_is(p[j])) ++j;
      out.append(s.data() + i, j - i);
      i = j;
      continue;
    }
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default: u16(c);
      }
      ++i;
      continue;
    }
    // simdjson has validated the UTF-8 already.
    unsigned cp;
    std::size_t len;
    if (c < 0xE0) {
      cp = c & 0x1F;
      len = 2;
    } else if (c < 0xF0) {
      cp = c & 0x0F;
      len = 3;
    } else {
      cp = c & 0x07;
      len = 4;
    }
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      u16(0xD800 + (cp >> 10));
      u16(0xDC00 + (cp & 0x3FF));
    } else {
      u16(cp);
    }
  }
  out += '"';
}

bool write_element(std::string& out, simdjson::dom::element e) {
  using T = simdjson::dom::element_type;
  char buf[32];
  switch (e.type()) {
    case T::NULL_VALUE: out += "null"; return true;
    case T::BOOL: out += e.get_bool().value_unsafe() ? "true" : "false"; return true;
    case T::INT64: {
      auto r = std::to_chars(buf, buf + sizeof buf, e.get_int64().value_unsafe());
      out.append(buf, r.ptr);
      return true;
    }
    case T::UINT64: {
      auto r = std::to_chars(buf, buf + sizeof buf, e.get_uint64().value_unsafe());
      out.append(buf, r.ptr);
      return true;
    }
    case T::DOUBLE: out += json::float_repr(e.get_double().value_unsafe()); return true;
    case T::STRING: write_escaped(out, e.get_string().value_unsafe()); return true;
    case T::ARRAY: {
      simdjson::dom::array items = e.get_array().value_unsafe();
      out += '[';
      bool first = true;
      for (auto item : items) {
        if (!first) out += ", ";
        first = false;
        if (!write_element(out, item)) return false;
      }
      out += ']';
      return true;
    }
    case T::OBJECT: {
      simdjson::dom::object fields = e.get_object().value_unsafe();
      if (has_repeated_key(fields)) return false;
      out += '{';
      bool first = true;
      for (auto field : fields) {
        if (!first) out += ", ";
        first = false;
        write_escaped(out, field.key);
        out += ": ";
        if (!write_element(out, field.value)) return false;
      }
      out += '}';
      return true;
    }
  }
  return false;
}

}  // namespace

void LineParser::dump_to(std::string& out) const {
  if (!fallback_) {
    const std::size_t mark = out.size();
    if (write_element(out, element_)) return;
    out.resize(mark);
  }
  json::dump_to(out, value(), {.text_form_fallback = false});
}

}  // namespace brenik::services::tolvern::detail
