// The JSON writer (Python json.dumps layout), float repr, type names and
// Python-style repr. The decoder lives in json_decode.cpp.
#include "utils/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "utils/errors.hpp"
#include "utils/json_utf8.hpp"

namespace brenik::json {

namespace detail {

std::size_t format_float_repr(char* buf, double value) noexcept {
  // Shortest round-trip digits in scientific form ("-1.2345e+02"), then laid
  // out the way repr does: positional for exponents -4..15, else d.ddde+XX.
  char sci[40];
  auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const char* p = sci;
  const char* end = res.ptr;
  char* o = buf;
  if (*p == '-') {
    *o++ = '-';
    ++p;
  }
  char digits[24];
  std::size_t nd = 0;
  while (p < end && *p != 'e') {
    if (*p != '.') digits[nd++] = *p;
    ++p;
  }
  int exponent = 0;
  if (p < end) {
    ++p;  // 'e'
    std::from_chars(*p == '+' ? p + 1 : p, end, exponent);
  }
  if (exponent >= -4 && exponent < 16) {
    if (exponent >= 0) {
      for (int k = 0; k <= exponent; ++k) *o++ = static_cast<std::size_t>(k) < nd ? digits[k] : '0';
      *o++ = '.';
      if (static_cast<std::size_t>(exponent) + 1 < nd) {
        for (std::size_t k = static_cast<std::size_t>(exponent) + 1; k < nd; ++k) *o++ = digits[k];
      } else {
        *o++ = '0';
      }
    } else {
      *o++ = '0';
      *o++ = '.';
      for (int k = 0; k < -exponent - 1; ++k) *o++ = '0';
      for (std::size_t k = 0; k < nd; ++k) *o++ = digits[k];
    }
  } else {
    *o++ = digits[0];
    if (nd > 1) {
      *o++ = '.';
      for (std::size_t k = 1; k < nd; ++k) *o++ = digits[k];
    }
    *o++ = 'e';
    *o++ = exponent < 0 ? '-' : '+';
    int mag = exponent < 0 ? -exponent : exponent;
    if (mag < 10) *o++ = '0';
    auto r = std::to_chars(o, o + 4, mag);
    o = r.ptr;
  }
  return static_cast<std::size_t>(o - buf);
}

}  // namespace detail

namespace {

constexpr char HEX[] = "0123456789abcdef";

void append_u_escape(std::string& out, unsigned unit) {
  char b[6] = {'\\', 'u', HEX[(unit >> 12) & 0xF], HEX[(unit >> 8) & 0xF], HEX[(unit >> 4) & 0xF], HEX[unit & 0xF]};
  out.append(b, 6);
}

// Printable ASCII that json.dumps writes as itself.
constexpr bool plain_ascii(unsigned char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

void write_string(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    std::size_t run = i;
    while (run < n && plain_ascii(static_cast<unsigned char>(s[run]))) ++run;
    if (run > i) {
      out.append(s.data() + i, run - i);
      i = run;
      if (i >= n) break;
    }
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '"': out.append("\\\"", 2); break;
        case '\\': out.append("\\\\", 2); break;
        case '\n': out.append("\\n", 2); break;
        case '\r': out.append("\\r", 2); break;
        case '\t': out.append("\\t", 2); break;
        case '\b': out.append("\\b", 2); break;
        case '\f': out.append("\\f", 2); break;
        default: append_u_escape(out, c); break;
      }
      continue;
    }
    const char32_t cp = detail::next_code_point(s, i);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      append_u_escape(out, 0xD800 + static_cast<unsigned>(v >> 10));
      append_u_escape(out, 0xDC00 + static_cast<unsigned>(v & 0x3FF));
    } else {
      append_u_escape(out, static_cast<unsigned>(cp));
    }
  }
  out.push_back('"');
}

void write_float(std::string& out, double d) {
  if (std::isnan(d)) {
    out.append("NaN");
  } else if (std::isinf(d)) {
    out.append(d > 0 ? "Infinity" : "-Infinity");
  } else {
    char buf[40];
    out.append(buf, detail::format_float_repr(buf, d));
  }
}

template <typename Int>
void write_int(std::string& out, Int v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Python's str() of a bytes object: b'...' with \xNN for what is not
// printable ASCII.
std::string bytes_text(const Value::binary_t& bytes) {
  bool has_single = false, has_double = false;
  for (auto b : bytes) {
    has_single |= b == '\'';
    has_double |= b == '"';
  }
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out = "b";
  out.push_back(quote);
  for (auto b : bytes) {
    if (b == quote || b == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(b));
    } else if (b == '\n') {
      out.append("\\n");
    } else if (b == '\r') {
      out.append("\\r");
    } else if (b == '\t') {
      out.append("\\t");
    } else if (b < 0x20 || b >= 0x7F) {
      out.append("\\x");
      out.push_back(HEX[b >> 4]);
      out.push_back(HEX[b & 0xF]);
    } else {
      out.push_back(static_cast<char>(b));
    }
  }
  out.push_back(quote);
  return out;
}

void newline_indent(std::string& out, int indent, int level) {
  out.push_back('\n');
  if (indent > 0) out.append(static_cast<std::size_t>(indent) * static_cast<std::size_t>(level), ' ');
}

// The items of an array or the members of an object between `open` and
// `close`, separated as json.dumps separates them.
template <typename Items, typename WriteItem>
void write_items(std::string& out, char open, char close, const Items& items, const DumpOptions& opt, int level,
                 const WriteItem& write_item) {
  out.push_back(open);
  if (items.empty()) {
    out.push_back(close);
    return;
  }
  bool first = true;
  for (const auto& item : items) {
    if (opt.indent) {
      if (!first) out.push_back(',');
      newline_indent(out, *opt.indent, level + 1);
    } else if (!first) {
      out.append(", ", 2);
    }
    first = false;
    write_item(item);
  }
  if (opt.indent) newline_indent(out, *opt.indent, level);
  out.push_back(close);
}

void write_value(std::string& out, const Value& v, const DumpOptions& opt, int level) {
  switch (v.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded: out.append("null"); return;
    case Value::value_t::boolean: out.append(v.get<bool>() ? "true" : "false"); return;
    case Value::value_t::number_integer: write_int(out, v.get<std::int64_t>()); return;
    case Value::value_t::number_unsigned: write_int(out, v.get<std::uint64_t>()); return;
    case Value::value_t::number_float: write_float(out, v.get<double>()); return;
    case Value::value_t::string: write_string(out, v.get_ref<const std::string&>()); return;
    case Value::value_t::binary:
      if (!opt.text_form_fallback) throw TypeError("Object of type bytes is not JSON serializable");
      write_string(out, bytes_text(v.get_binary()));
      return;
    case Value::value_t::array:
      write_items(out, '[', ']', v.get_ref<const Value::array_t&>(), opt, level,
                  [&](const Value& item) { write_value(out, item, opt, level + 1); });
      return;
    case Value::value_t::object:
      write_items(out, '{', '}', v.get_ref<const Value::object_t&>(), opt, level, [&](const auto& member) {
        write_string(out, member.first);
        out.append(": ", 2);
        write_value(out, member.second, opt, level + 1);
      });
      return;
  }
}

// Characters Python's str.isprintable() rejects, beyond ASCII controls: the
// C1 controls, separators other than the space, format characters,
// surrogates, private use and non-characters. Unassigned code points are not
// tracked (that needs the full character database).
bool python_unprintable(char32_t cp) {
  if (cp < 0x20 || cp == 0x7F) return true;
  if (cp < 0x7F) return false;
  if (cp <= 0xA0 || cp == 0xAD) return true;
  if ((cp >= 0x600 && cp <= 0x605) || cp == 0x61C || cp == 0x6DD || cp == 0x70F || cp == 0x8E2 || cp == 0x1680 ||
      cp == 0x180E)
    return true;
  if ((cp >= 0x2000 && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F) || (cp >= 0x205F && cp <= 0x206F) ||
      cp == 0x3000 || cp == 0xFEFF || (cp >= 0xFFF9 && cp <= 0xFFFB) || cp == 0xFFFE || cp == 0xFFFF)
    return true;
  if (detail::is_surrogate(cp) || (cp >= 0xE000 && cp <= 0xF8FF)) return true;
  if (cp == 0x110BD || cp == 0x110CD || (cp >= 0x1BCA0 && cp <= 0x1BCA3) || (cp >= 0x1D173 && cp <= 0x1D17A) ||
      cp == 0xE0001 || (cp >= 0xE0020 && cp <= 0xE007F))
    return true;
  if ((cp & 0xFFFE) == 0xFFFE || cp >= 0xF0000) return true;
  return false;
}

void repr_string(std::string& out, std::string_view s) {
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  out.push_back(quote);
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t start = i;
    const char32_t cp = detail::next_code_point(s, i);
    if (cp == static_cast<char32_t>(quote) || cp == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(cp));
    } else if (cp == '\n') {
      out.append("\\n");
    } else if (cp == '\r') {
      out.append("\\r");
    } else if (cp == '\t') {
      out.append("\\t");
    } else if (python_unprintable(cp)) {
      if (cp < 0x100) {
        out.append("\\x");
        out.push_back(HEX[cp >> 4]);
        out.push_back(HEX[cp & 0xF]);
      } else if (cp < 0x10000) {
        out.append("\\u");
        for (int sh = 12; sh >= 0; sh -= 4) out.push_back(HEX[(cp >> sh) & 0xF]);
      } else {
        out.append("\\U");
        for (int sh = 28; sh >= 0; sh -= 4) out.push_back(HEX[(cp >> sh) & 0xF]);
      }
    } else {
      out.append(s.data() + start, i - start);
    }
  }
  out.push_back(quote);
}

void repr_value(std::string& out, const Value& v) {
  switch (v.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded: out.append("None"); return;
    case Value::value_t::boolean: out.append(v.get<bool>() ? "True" : "False"); return;
    case Value::value_t::number_integer: write_int(out, v.get<std::int64_t>()); return;
    case Value::value_t::number_unsigned: write_int(out, v.get<std::uint64_t>()); return;
    case Value::value_t::number_float: out.append(float_repr(v.get<double>())); return;
    case Value::value_t::string: repr_string(out, v.get_ref<const std::string&>()); return;
    case Value::value_t::binary: out.append(bytes_text(v.get_binary())); return;
    case Value::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : v) {
        if (!first) out.append(", ");
        first = false;
        repr_value(out, item);
      }
      out.push_back(']');
      return;
    }
    case Value::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : v.items()) {
        if (!first) out.append(", ");
        first = false;
        repr_string(out, key);
        out.append(": ");
        repr_value(out, item);
      }
      out.push_back('}');
      return;
    }
  }
}

}  // namespace

std::string float_repr(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[40];
  return std::string(buf, detail::format_float_repr(buf, value));
}

void dump_to(std::string& out, const Value& value, const DumpOptions& options) { write_value(out, value, options, 0); }

std::string dumps(const Value& value, const DumpOptions& options) {
  std::string out;
  dump_to(out, value, options);
  return out;
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

std::string repr(const Value& value) {
  std::string out;
  repr_value(out, value);
  return out;
}

std::string text_form(const Value& value) {
  if (value.is_null()) return "";
  if (value.is_string()) return value.get<std::string>();
  return dumps(value);
}

std::size_t nesting_depth(std::string_view text, std::size_t limit) {
  std::size_t depth = 0, deepest = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) return deepest;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

}  // namespace brenik::json
