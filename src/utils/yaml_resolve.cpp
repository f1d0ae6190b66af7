// PyYAML's implicit resolvers, written out as matchers (the regular
// expressions are short and anchored; a hand-written scan is both exact and
// cheap):
//   bool   yes|Yes|YES|no|No|NO|true|True|TRUE|false|False|FALSE|on|On|ON|off|Off|OFF
//   int    [-+]?0b[0-1_]+ | [-+]?0[0-7_]+ | [-+]?(0|[1-9][0-9_]*) | [-+]?0x[0-9a-fA-F_]+
//          | [-+]?[1-9][0-9_]*(:[0-5]?[0-9])+
//   float  [-+]?[0-9][0-9_]*\.[0-9_]*([eE][-+][0-9]+)? | \.[0-9][0-9_]*([eE][-+][0-9]+)?
//          | [-+]?[0-9][0-9_]*(:[0-5]?[0-9])+\.[0-9_]* | [-+]?\.(inf|Inf|INF) | \.(nan|NaN|NAN)
//   null   ~|null|Null|NULL|(empty)
//   timestamp  YYYY-MM-DD | YYYY-M-D(T|t|[ \t]+)H:MM:SS(.f*)?([ \t]*(Z|[-+]H(:MM)?))?
//   merge  <<      value  =
// Note that a float needs a dot and a signed exponent: "1e3" and "1.0e3" are
// text to this loader.
#include "utils/yaml_resolve.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace brenik::yaml::detail {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::string_view strip_sign(std::string_view t) { return !t.empty() && (t[0] == '-' || t[0] == '+') ? t.substr(1) : t; }

bool all_of(std::string_view t, bool (*pred)(char)) {
  for (char c : t)
    if (!pred(c)) return false;
  return true;
}

// (:[0-5]?[0-9])+ covering all of t.
bool sexagesimal_tail(std::string_view t) {
  if (t.empty()) return false;
  std::size_t i = 0;
  while (i < t.size()) {
    if (t[i] != ':') return false;
    ++i;
    std::size_t d = i;
    while (d < t.size() && is_digit(t[d])) ++d;
    const std::size_t n = d - i;
    if (n == 0 || n > 2) return false;
    if (n == 2 && t[i] > '5') return false;
    i = d;
  }
  return true;
}

// [0-9][0-9_]* then the rest; returns the length of the digit run.
std::size_t digit_run(std::string_view t) {
  if (t.empty() || !is_digit(t[0])) return 0;
  std::size_t i = 1;
  while (i < t.size() && (is_digit(t[i]) || t[i] == '_')) ++i;
  return i;
}

bool match_int(std::string_view text) {
  const std::string_view t = strip_sign(text);
  if (t.empty()) return false;
  if (t.size() > 2 && t[0] == '0' && t[1] == 'b')
    return all_of(t.substr(2), [](char c) { return c == '0' || c == '1' || c == '_'; });
  if (t.size() > 2 && t[0] == '0' && t[1] == 'x')
    return all_of(t.substr(2), [](char c) { return is_hex(c) || c == '_'; });
  if (t[0] == '0') return all_of(t.substr(1), [](char c) { return (c >= '0' && c <= '7') || c == '_'; });
  if (t[0] >= '1' && t[0] <= '9') {
    const std::size_t n = digit_run(t);
    if (n == t.size()) return true;
    return sexagesimal_tail(t.substr(n));
  }
  return false;
}

// [eE][-+][0-9]+ covering all of t (or t empty).
bool exponent_tail(std::string_view t) {
  if (t.empty()) return true;
  if (t.size() < 3 || (t[0] != 'e' && t[0] != 'E') || (t[1] != '-' && t[1] != '+')) return false;
  return all_of(t.substr(2), is_digit);
}

bool match_float(std::string_view text) {
  if (text == ".nan" || text == ".NaN" || text == ".NAN") return true;
  const bool has_sign = !text.empty() && (text[0] == '-' || text[0] == '+');
  const std::string_view t = strip_sign(text);
  if (t == ".inf" || t == ".Inf" || t == ".INF") return true;
  if (t.empty()) return false;
  if (t[0] == '.') {
    if (has_sign || t.size() < 2 || !is_digit(t[1])) return false;
    std::size_t i = 2;
    while (i < t.size() && (is_digit(t[i]) || t[i] == '_')) ++i;
    return exponent_tail(t.substr(i));
  }
  const std::size_t n = digit_run(t);
  if (n == 0) return false;
  std::size_t i = n;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && (is_digit(t[i]) || t[i] == '_')) ++i;
    return exponent_tail(t.substr(i));
  }
  // Sexagesimal: (:[0-5]?[0-9])+ then \.[0-9_]*
  const std::size_t dot = t.find('.', n);
  if (dot == std::string_view::npos || t[n] != ':') return false;
  if (!sexagesimal_tail(t.substr(n, dot - n))) return false;
  return all_of(t.substr(dot + 1), [](char c) { return is_digit(c) || c == '_'; });
}

bool match_timestamp(std::string_view t) {
  auto digits = [&](std::size_t& i, std::size_t min, std::size_t max) {
    std::size_t n = 0;
    while (i < t.size() && n < max && is_digit(t[i])) ++i, ++n;
    return n >= min;
  };
  std::size_t i = 0;
  if (!digits(i, 4, 4) || i >= t.size() || t[i++] != '-') return false;
  const std::size_t month = i;
  if (!digits(i, 1, 2) || i >= t.size() || t[i++] != '-') return false;
  if (!digits(i, 1, 2)) return false;
  if (i == t.size()) return i - month == 5;  // the date form needs MM-DD
  if (t[i] == 'T' || t[i] == 't') {
    ++i;
  } else if (t[i] == ' ' || t[i] == '\t') {
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
  } else {
    return false;
  }
  if (!digits(i, 1, 2) || i >= t.size() || t[i++] != ':') return false;
  if (!digits(i, 2, 2) || i >= t.size() || t[i++] != ':') return false;
  if (!digits(i, 2, 2)) return false;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && is_digit(t[i])) ++i;
  }
  if (i == t.size()) return true;
  while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
  if (i < t.size() && t[i] == 'Z') return i + 1 == t.size();
  if (i >= t.size() || (t[i] != '-' && t[i] != '+')) return false;
  ++i;
  if (!digits(i, 1, 2)) return false;
  if (i == t.size()) return true;
  if (t[i++] != ':') return false;
  return digits(i, 2, 2) && i == t.size();
}

std::string without_underscores(std::string_view t) {
  std::string out;
  out.reserve(t.size());
  for (char c : t)
    if (c != '_') out.push_back(c);
  return out;
}

// Integers beyond 64 bits have no exact form here; they become doubles.
json::Value make_int(bool negative, std::string_view digits, int base) {
  std::uint64_t magnitude = 0;
  auto r = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (r.ec == std::errc() && r.ptr == digits.data() + digits.size()) {
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!negative) return magnitude <= max ? json::Value(static_cast<std::int64_t>(magnitude)) : json::Value(magnitude);
    if (magnitude <= max) return json::Value(-static_cast<std::int64_t>(magnitude));
    if (magnitude == max + 1) return json::Value(std::numeric_limits<std::int64_t>::min());
  }
  double d = 0;
  for (char c : digits) d = d * base + (is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10);
  return json::Value(negative ? -d : d);
}

std::optional<double> parse_double(std::string_view t) {
  // float() accepts "1." and ".5"; from_chars does too, but not a sign.
  double d = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), d);
  if (r.ptr != t.data() + t.size() || t.empty()) return std::nullopt;
  if (r.ec == std::errc::result_out_of_range) {
    const auto e = t.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && e + 1 < t.size() && t[e + 1] == '-';
    return tiny ? 0.0 : std::numeric_limits<double>::infinity();
  }
  if (r.ec != std::errc()) return std::nullopt;
  return d;
}

}  // namespace

std::optional<json::Value> construct_int(std::string_view text) {
  std::string v = without_underscores(text);
  if (v.empty()) return std::nullopt;
  const bool negative = v[0] == '-';
  std::string_view t = v;
  if (t[0] == '-' || t[0] == '+') t.remove_prefix(1);
  if (t.empty()) return std::nullopt;
  if (t == "0") return json::Value(0);
  const auto valid = [](std::string_view d, int base) {
    if (d.empty()) return false;
    for (char c : d) {
      const int x = is_digit(c) ? c - '0' : is_hex(c) ? (c | 0x20) - 'a' + 10 : 99;
      if (x >= base) return false;
    }
    return true;
  };
  if (t.substr(0, 2) == "0b")
    return valid(t.substr(2), 2) ? std::optional(make_int(negative, t.substr(2), 2)) : std::nullopt;
  if (t.substr(0, 2) == "0x")
    return valid(t.substr(2), 16) ? std::optional(make_int(negative, t.substr(2), 16)) : std::nullopt;
  if (t[0] == '0') return valid(t, 8) ? std::optional(make_int(negative, t, 8)) : std::nullopt;
  if (t.find(':') != std::string_view::npos) {
    // Base 60, most significant part first.
    double total = 0;
    std::uint64_t exact = 0;
    bool overflow = false;
    std::size_t start = 0;
    while (start <= t.size()) {
      const std::size_t end = std::min(t.find(':', start), t.size());
      const std::string_view part = t.substr(start, end - start);
      if (!valid(part, 10)) return std::nullopt;
      std::uint64_t p = 0;
      std::from_chars(part.data(), part.data() + part.size(), p);
      total = total * 60 + static_cast<double>(p);
      if (exact > (std::numeric_limits<std::uint64_t>::max() - p) / 60) overflow = true;
      exact = exact * 60 + p;
      start = end + 1;
    }
    if (!overflow) return make_int(negative, std::to_string(exact), 10);
    return json::Value(negative ? -total : total);
  }
  return valid(t, 10) ? std::optional(make_int(negative, t, 10)) : std::nullopt;
}

std::optional<json::Value> construct_float(std::string_view text) {
  std::string v = without_underscores(text);
  for (auto& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (v.empty()) return std::nullopt;
  double sign = 1.0;
  std::string_view t = v;
  if (t[0] == '-') sign = -1.0;
  if (t[0] == '-' || t[0] == '+') t.remove_prefix(1);
  if (t == ".inf") return json::Value(sign * std::numeric_limits<double>::infinity());
  if (t == ".nan") return json::Value(std::numeric_limits<double>::quiet_NaN());
  if (t.find(':') != std::string_view::npos) {
    double total = 0;
    std::size_t start = 0;
    while (start <= t.size()) {
      const std::size_t end = std::min(t.find(':', start), t.size());
      auto part = parse_double(t.substr(start, end - start));
      if (!part) return std::nullopt;
      total = total * 60 + *part;
      start = end + 1;
    }
    return json::Value(sign * total);
  }
  auto d = parse_double(t);
  if (!d) return std::nullopt;
  return json::Value(sign * *d);
}

std::optional<json::Value> construct_bool(std::string_view text) {
  std::string v(text);
  for (auto& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (v == "yes" || v == "true" || v == "on") return json::Value(true);
  if (v == "no" || v == "false" || v == "off") return json::Value(false);
  return std::nullopt;
}

Resolved resolve_plain(std::string_view t) {
  if (t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL")
    return {PlainKind::null, json::Value(nullptr)};
  static constexpr std::string_view TRUE_WORDS[] = {"yes", "Yes", "YES", "true", "True", "TRUE", "on", "On", "ON"};
  static constexpr std::string_view FALSE_WORDS[] = {"no", "No", "NO", "false", "False", "FALSE", "off", "Off", "OFF"};
  for (auto w : TRUE_WORDS)
    if (t == w) return {PlainKind::boolean, json::Value(true)};
  for (auto w : FALSE_WORDS)
    if (t == w) return {PlainKind::boolean, json::Value(false)};
  if (t == "<<") return {PlainKind::merge, json::Value(std::string(t))};
  if (t == "=") return {PlainKind::value, json::Value(std::string(t))};
  const char c = t[0];
  if (c == '-' || c == '+' || c == '.' || is_digit(c)) {
    if (match_float(t))
      if (auto v = construct_float(t)) return {PlainKind::floating, std::move(*v)};
    if (match_int(t))
      if (auto v = construct_int(t)) return {PlainKind::integer, std::move(*v)};
    if (is_digit(c) && match_timestamp(t)) return {PlainKind::timestamp, json::Value(std::string(t))};
  }
  return {PlainKind::str, json::Value(std::string(t))};
}

}  // namespace brenik::yaml::detail
