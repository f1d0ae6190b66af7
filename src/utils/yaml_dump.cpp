// The YAML writer: block style, keys in insertion order, indentless lists
// under mapping keys (as PyYAML lays them out). Every string is checked
// against the loader's resolver and quoted unless its plain form reads back
// as the same text in PyYAML, in YAML 1.2 readers and in yaml-cpp alike.
// Multi-line text uses a literal block when that reads back exactly, else a
// double-quoted scalar with escapes. Unicode text is written as UTF-8;
// characters YAML cannot carry raw are escaped, and bytes that are not UTF-8
// become U+FFFD.
#include <cmath>
#include <cstring>

#include "utils/json_utf8.hpp"
#include "utils/yaml.hpp"
#include "utils/yaml_resolve.hpp"

namespace brenik::yaml {

namespace {

using json::Value;
using json::detail::next_code_point;

// Longer keys than this are written as explicit "? key" entries: readers
// refuse implicit keys beyond 1024 characters.
constexpr std::size_t MAX_IMPLICIT_KEY = 1000;

enum class Style { plain, single_quoted, double_quoted, literal };

// A code point that must be escaped: C0 and C1 controls other than tab and
// newline, DEL, the YAML 1.1 line breaks NEL, LS and PS, the byte order mark,
// non-characters, and what is not a valid character at all.
bool needs_escape(char32_t cp) {
  if (cp < 0x20) return cp != '\t' && cp != '\n';
  if (cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) return true;
  if (cp == 0x2028 || cp == 0x2029 || cp == 0xFEFF || cp == 0xFFFE || cp == 0xFFFF) return true;
  return json::detail::is_surrogate(cp);
}

struct Analysis {
  bool escape = false;  // some character needs a double-quoted escape
  bool newline = false;
  bool tab = false;
  bool space_before_break = false;
};

Analysis analyse(std::string_view s) {
  Analysis a;
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if (b == '\n') {
        a.newline = true;
        if (i > 0 && (s[i - 1] == ' ' || s[i - 1] == '\t')) a.space_before_break = true;
      } else if (b == '\t') {
        a.tab = true;
      } else if (needs_escape(b)) {
        a.escape = true;
      }
      ++i;
      continue;
    }
    const std::size_t start = i;
    const char32_t cp = next_code_point(s, i);
    if (needs_escape(cp) || (cp == json::detail::REPLACEMENT && i == start + 1)) a.escape = true;
  }
  return a;
}

bool is_indicator(char c) { return std::strchr("-?:,[]{}#&*!|>'\"%@`", c) != nullptr; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether s may be written as a plain scalar.
bool plain_ok(std::string_view s, const Analysis& a) {
  if (s.empty() || a.escape || a.newline || a.tab) return false;
  if (s.front() == ' ' || s.back() == ' ') return false;
  if (is_indicator(s.front())) return false;
  if (s.substr(0, 3) == "...") return false;
  if (s.back() == ':') return false;
  if (s.find(": ") != std::string_view::npos || s.find(" #") != std::string_view::npos) return false;
  if (detail::resolve_plain(s).kind != detail::PlainKind::str) return false;
  // Other readers' booleans and numbers: YAML 1.1's single-letter booleans,
  // and any space-free token that starts like a number ("1e3", "0o17").
  if (s == "y" || s == "Y" || s == "n" || s == "N") return false;
  const bool numberish =
      is_digit(s[0]) || ((s[0] == '+' || s[0] == '.') && s.size() > 1 && (is_digit(s[1]) || s[1] == '.'));
  if (numberish && s.find(' ') == std::string_view::npos) return false;
  return true;
}

// A literal block reads back exactly when the text has no characters that
// need escapes, no carriage returns, does not start with white space or a
// line break (the reader would take it for indentation), has no trailing
// spaces on a line, and ends in at most one line break.
bool literal_ok(std::string_view s, const Analysis& a) {
  if (a.escape || !a.newline || a.space_before_break) return false;
  if (s.front() == ' ' || s.front() == '\t' || s.front() == '\n') return false;
  if (s.size() >= 2 && s[s.size() - 1] == '\n' && s[s.size() - 2] == '\n') return false;
  return true;
}

Style choose_style(std::string_view s, bool is_key, const Analysis& a) {
  if (a.escape) return Style::double_quoted;
  if (a.newline) return !is_key && literal_ok(s, a) ? Style::literal : Style::double_quoted;
  if (plain_ok(s, a)) return Style::plain;
  return Style::single_quoted;
}

constexpr char HEX[] = "0123456789ABCDEF";

void write_double_quoted(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t start = i;
    char32_t cp = next_code_point(s, i);
    // A bad byte or a lone surrogate has no YAML form.
    const bool replaced = (cp == json::detail::REPLACEMENT && i == start + 1) || json::detail::is_surrogate(cp);
    if (replaced) cp = json::detail::REPLACEMENT;
    switch (cp) {
      case '"': out.append("\\\""); continue;
      case '\\': out.append("\\\\"); continue;
      case '\0': out.append("\\0"); continue;
      case '\a': out.append("\\a"); continue;
      case '\b': out.append("\\b"); continue;
      case '\t': out.append("\\t"); continue;
      case '\n': out.append("\\n"); continue;
      case '\v': out.append("\\v"); continue;
      case '\f': out.append("\\f"); continue;
      case '\r': out.append("\\r"); continue;
      case 0x1B: out.append("\\e"); continue;
      case 0x85: out.append("\\x85"); continue;  // yaml-cpp misreads "\\N"
      case 0x2028: out.append("\\L"); continue;
      case 0x2029: out.append("\\P"); continue;
      default: break;
    }
    if (!needs_escape(cp)) {
      if (replaced)
        json::detail::append_utf8(out, cp);
      else
        out.append(s.data() + start, i - start);
      continue;
    }
    if (cp < 0x100) {
      out.append("\\x");
      out.push_back(HEX[cp >> 4]);
      out.push_back(HEX[cp & 0xF]);
    } else {
      out.append("\\u");
      for (int sh = 12; sh >= 0; sh -= 4) out.push_back(HEX[(cp >> sh) & 0xF]);
    }
  }
  out.push_back('"');
}

void write_single_quoted(std::string& out, std::string_view s) {
  out.push_back('\'');
  for (char c : s) {
    if (c == '\'') out.push_back('\'');
    out.push_back(c);
  }
  out.push_back('\'');
}

// Block literal; the header goes where the scalar starts, content lines at
// `indent` spaces. Ends with a line break.
void write_literal(std::string& out, std::string_view s, std::size_t indent) {
  const bool final_break = s.back() == '\n';
  out.append(final_break ? "|\n" : "|-\n");
  if (final_break) s.remove_suffix(1);
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t end = s.find('\n', start);
    if (end == std::string_view::npos) end = s.size();
    const std::string_view line = s.substr(start, end - start);
    if (!line.empty()) {
      out.append(indent, ' ');
      out.append(line);
    }
    out.push_back('\n');
    start = end + 1;
  }
}

// Writes a string scalar; a literal block needs the indentation of its
// content and ends its own line, the other styles do not.
Style write_string(std::string& out, std::string_view s, bool is_key, std::size_t indent) {
  const Analysis a = analyse(s);
  const Style style = choose_style(s, is_key, a);
  switch (style) {
    case Style::plain: out.append(s); break;
    case Style::single_quoted: write_single_quoted(out, s); break;
    case Style::double_quoted: write_double_quoted(out, s); break;
    case Style::literal: write_literal(out, s, indent); break;
  }
  return style;
}

void write_float(std::string& out, double d) {
  if (std::isnan(d)) {
    out.append(".nan");
  } else if (std::isinf(d)) {
    out.append(d > 0 ? ".inf" : "-.inf");
  } else {
    // A YAML 1.1 float needs a dot: "1e+16" is written "1.0e+16".
    std::string r = json::float_repr(d);
    if (r.find('.') == std::string::npos) {
      const auto e = r.find('e');
      if (e != std::string::npos) r.insert(e, ".0");
    }
    out.append(r);
  }
}

// A scalar (or empty container) followed by the end of its line.
void write_scalar_line(std::string& out, const Value& v, std::size_t indent) {
  switch (v.type()) {
    case Value::value_t::string:
      if (write_string(out, v.get_ref<const std::string&>(), false, indent) == Style::literal) return;
      break;
    case Value::value_t::boolean: out.append(v.get<bool>() ? "true" : "false"); break;
    case Value::value_t::number_integer: out.append(std::to_string(v.get<std::int64_t>())); break;
    case Value::value_t::number_unsigned: out.append(std::to_string(v.get<std::uint64_t>())); break;
    case Value::value_t::number_float: write_float(out, v.get<double>()); break;
    case Value::value_t::binary: {
      // Only the text form of a blob can be written.
      const std::string text = json::loads(json::dumps(v)).get<std::string>();
      write_string(out, text, false, indent);
      break;
    }
    case Value::value_t::object: out.append("{}"); break;
    case Value::value_t::array: out.append("[]"); break;
    default: out.append("null"); break;
  }
  out.push_back('\n');
}

void write_sequence(std::string& out, const Value& arr, std::size_t indent, bool inline_first);

void write_mapping(std::string& out, const Value& obj, std::size_t indent, bool inline_first) {
  bool first = true;
  for (const auto& [key, value] : obj.items()) {
    if (!(first && inline_first)) out.append(indent, ' ');
    first = false;
    std::string key_text;
    write_string(key_text, key, true, indent);
    const bool explicit_key = key_text.size() > MAX_IMPLICIT_KEY;
    if (explicit_key) {
      out.append("? ");
      out.append(key_text);
      out.push_back('\n');
      out.append(indent, ' ');
    } else {
      out.append(key_text);
    }
    out.push_back(':');
    if (value.is_object() && !value.empty()) {
      out.push_back('\n');
      write_mapping(out, value, indent + 2, false);
    } else if (value.is_array() && !value.empty()) {
      out.push_back('\n');
      write_sequence(out, value, explicit_key ? indent + 2 : indent, false);
    } else {
      out.push_back(' ');
      write_scalar_line(out, value, indent + 2);
    }
  }
}

void write_sequence(std::string& out, const Value& arr, std::size_t indent, bool inline_first) {
  bool first = true;
  for (const auto& item : arr) {
    if (!(first && inline_first)) out.append(indent, ' ');
    first = false;
    out.append("- ");
    if (item.is_object() && !item.empty()) {
      write_mapping(out, item, indent + 2, true);
    } else if (item.is_array() && !item.empty()) {
      write_sequence(out, item, indent + 2, true);
    } else {
      write_scalar_line(out, item, indent + 2);
    }
  }
}

}  // namespace

std::string dump(const json::Value& value) {
  std::string out;
  if (value.is_object() && !value.empty()) {
    write_mapping(out, value, 0, false);
  } else if (value.is_array() && !value.empty()) {
    write_sequence(out, value, 0, false);
  } else {
    write_scalar_line(out, value, 2);
  }
  return out;
}

}  // namespace brenik::yaml
