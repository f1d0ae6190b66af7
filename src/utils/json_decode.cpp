// The JSON decoder: Python's json.loads grammar, values and error messages.
// Positions are counted in code points only when an error is raised, so the
// scan itself works on bytes.
//
// Lone surrogate escapes ("\ud800" without its partner) are kept in the
// generalised UTF-8 form, so that re-serialising gives back "\ud800" exactly
// as Python does. Invalid UTF-8 in the input counts as one U+FFFD per bad
// byte. Integers beyond the 64-bit range become doubles.
#include <charconv>
#include <cmath>
#include <limits>

#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/json.hpp"
#include "utils/json_object.hpp"
#include "utils/json_utf8.hpp"

namespace brenik::json {

namespace {

// Deep enough for any real document, shallow enough that the recursion never
// threatens the stack of a worker thread.
constexpr std::size_t MAX_DEPTH = 10000;

constexpr bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Decoder {
public:
  explicit Decoder(std::string_view text) : s_(text), n_(text.size()) {}

  Value decode() {
    if (s_.size() >= 3 && s_.substr(0, 3) == "\xEF\xBB\xBF") fail("Unexpected UTF-8 BOM (decode using utf-8-sig)", 0);
    std::size_t i = skip_ws(0);
    Value v = value(i);
    i = skip_ws(i);
    if (i != n_) fail("Extra data", i);
    return v;
  }

private:
  std::string_view s_;
  std::size_t n_;
  std::size_t depth_ = 0;

  [[noreturn]] void fail(const char* msg, std::size_t byte_pos) const {
    std::size_t chars = 0, last_newline_char = 0, newlines = 0;
    bool saw_newline = false;
    std::size_t i = 0;
    const std::size_t end = std::min(byte_pos, n_);
    while (i < end) {
      if (s_[i] == '\n') {
        ++newlines;
        saw_newline = true;
        last_newline_char = chars;
      }
      detail::next_code_point(s_, i);
      ++chars;
    }
    const std::size_t colno = saw_newline ? chars - last_newline_char : chars + 1;
    throw JSONDecodeError(msg, chars, newlines + 1, colno);
  }

  std::size_t skip_ws(std::size_t i) const {
    while (i < n_ && is_ws(s_[i])) ++i;
    return i;
  }

  bool starts_with(std::size_t i, std::string_view word) const {
    return n_ - i > word.size() - 1 && s_.compare(i, word.size(), word) == 0;
  }

  Value value(std::size_t& i) {
    if (i >= n_) fail("Expecting value", i);
    switch (s_[i]) {
      case '"': {
        std::string text;
        i = string(i + 1, text);
        return Value(std::move(text));
      }
      case '{': return nested(i, true);
      case '[': return nested(i, false);
      case 'n':
        if (starts_with(i, "null")) {
          i += 4;
          return Value(nullptr);
        }
        break;
      case 't':
        if (starts_with(i, "true")) {
          i += 4;
          return Value(true);
        }
        break;
      case 'f':
        if (starts_with(i, "false")) {
          i += 5;
          return Value(false);
        }
        break;
      case 'N':
        if (starts_with(i, "NaN")) {
          i += 3;
          return Value(std::numeric_limits<double>::quiet_NaN());
        }
        break;
      case 'I':
        if (starts_with(i, "Infinity")) {
          i += 8;
          return Value(std::numeric_limits<double>::infinity());
        }
        break;
      case '-':
        if (starts_with(i, "-Infinity")) {
          i += 9;
          return Value(-std::numeric_limits<double>::infinity());
        }
        break;
      default: break;
    }
    return number(i);
  }

  Value nested(std::size_t& i, bool is_object) {
    if (++depth_ > MAX_DEPTH) fail("Maximum nesting depth exceeded", i);
    Value v = is_object ? object(i) : array(i);
    --depth_;
    return v;
  }

  Value number(std::size_t& i) {
    const std::size_t start = i;
    std::size_t k = i;
    bool negative = false;
    if (s_[k] == '-') {
      negative = true;
      ++k;
      if (k >= n_) fail("Expecting value", start);
    }
    if (s_[k] >= '1' && s_[k] <= '9') {
      ++k;
      while (k < n_ && s_[k] >= '0' && s_[k] <= '9') ++k;
    } else if (s_[k] == '0') {
      ++k;
    } else {
      fail("Expecting value", start);
    }
    const std::size_t int_end = k;
    bool is_float = false;
    if (k + 1 < n_ && s_[k] == '.' && s_[k + 1] >= '0' && s_[k + 1] <= '9') {
      is_float = true;
      k += 2;
      while (k < n_ && s_[k] >= '0' && s_[k] <= '9') ++k;
    }
    if (k + 1 < n_ && (s_[k] == 'e' || s_[k] == 'E')) {
      const std::size_t e_start = k;
      ++k;
      if (k + 1 < n_ && (s_[k] == '-' || s_[k] == '+')) ++k;
      const std::size_t digits = k;
      while (k < n_ && s_[k] >= '0' && s_[k] <= '9') ++k;
      if (k > digits) {
        is_float = true;
      } else {
        k = e_start;
      }
    }
    i = k;
    const char* first = s_.data() + start;
    const char* last = s_.data() + k;
    if (!is_float) {
      std::uint64_t magnitude = 0;
      auto r = std::from_chars(s_.data() + start + (negative ? 1 : 0), s_.data() + int_end, magnitude);
      if (r.ec == std::errc()) {
        if (!negative) {
          if (magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return Value(static_cast<std::int64_t>(magnitude));
          return Value(magnitude);
        }
        if (magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
          return Value(-static_cast<std::int64_t>(magnitude));
        if (magnitude == static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1)
          return Value(std::numeric_limits<std::int64_t>::min());
      }
    }
    return Value(to_double(first, last));
  }

  // Correctly rounded; out of range gives an infinity or a zero like float().
  static double to_double(const char* first, const char* last) {
    double d = 0.0;
    auto r = std::from_chars(first, last, d);
    if (r.ec == std::errc()) return d;
    const bool negative = *first == '-';
    // Decimal magnitude: position of the first significant digit plus the
    // exponent decides between overflow and underflow.
    long exponent = 0;
    const char* p = first + (negative ? 1 : 0);
    const char* e = p;
    while (e < last && *e != 'e' && *e != 'E') ++e;
    if (e < last) {
      const char* x = e + 1;
      bool neg_exp = false;
      if (x < last && (*x == '+' || *x == '-')) neg_exp = *x++ == '-';
      long value = 0;
      for (; x < last; ++x) value = std::min(value * 10 + (*x - '0'), 1L << 40);
      exponent = neg_exp ? -value : value;
    }
    long magnitude = 0;
    bool seen = false;
    bool after_point = false;
    for (const char* q = p; q < e; ++q) {
      if (*q == '.') {
        after_point = true;
        continue;
      }
      if (!seen && *q != '0') seen = true;
      if (seen && !after_point) ++magnitude;
      if (!seen && after_point) --magnitude;
    }
    const bool overflow = seen && magnitude + exponent > 0;
    const double inf = std::numeric_limits<double>::infinity();
    if (overflow) return negative ? -inf : inf;
    return negative ? -0.0 : 0.0;
  }

  // Scans a string body starting after the opening quote; returns the index
  // after the closing quote.
  std::size_t string(std::size_t i, std::string& out) {
    const std::size_t begin = i - 1;
    for (;;) {
      std::size_t k = i;
      while (k < n_) {
        const unsigned char c = static_cast<unsigned char>(s_[k]);
        if (c == '"' || c == '\\') break;
        if (c < 0x20) fail("Invalid control character at", k);
        if (c >= 0x80) {
          // Copy valid sequences as they are; a bad byte becomes U+FFFD.
          out.append(s_.data() + i, k - i);
          std::size_t next = k;
          const char32_t cp = detail::next_code_point(s_, next);
          if (cp == detail::REPLACEMENT && next == k + 1)
            detail::append_utf8(out, detail::REPLACEMENT);
          else
            out.append(s_.data() + k, next - k);
          k = i = next;
          continue;
        }
        ++k;
      }
      if (k >= n_) fail("Unterminated string starting at", begin);
      out.append(s_.data() + i, k - i);
      if (s_[k] == '"') return k + 1;
      // Backslash escape.
      const std::size_t b = k;
      if (b + 1 >= n_) fail("Unterminated string starting at", begin);
      const char e = s_[b + 1];
      if (e != 'u') {
        char c;
        switch (e) {
          case '"': c = '"'; break;
          case '\\': c = '\\'; break;
          case '/': c = '/'; break;
          case 'b': c = '\b'; break;
          case 'f': c = '\f'; break;
          case 'n': c = '\n'; break;
          case 'r': c = '\r'; break;
          case 't': c = '\t'; break;
          default: fail("Invalid \\escape", b);
        }
        out.push_back(c);
        i = b + 2;
        continue;
      }
      char32_t cp = hex4(b);
      i = b + 6;
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 6 < n_ && s_[i] == '\\' && s_[i + 1] == 'u') {
        const char32_t low = hex4(i);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        }
      }
      detail::append_utf8(out, cp);
    }
  }

  // The four hex digits of the \u escape whose backslash is at b.
  char32_t hex4(std::size_t b) const {
    if (b + 6 >= n_) fail("Invalid \\uXXXX escape", b + 1);
    char32_t v = 0;
    for (std::size_t k = b + 2; k < b + 6; ++k) {
      const int h = hex_value(s_[k]);
      if (h < 0) fail("Invalid \\uXXXX escape", b + 1);
      v = (v << 4) | static_cast<char32_t>(h);
    }
    return v;
  }

  Value array(std::size_t& i) {
    Value arr = Value::array();
    auto& items = arr.get_ref<Value::array_t&>();
    std::size_t k = skip_ws(i + 1);
    if (k < n_ && s_[k] == ']') {
      i = k + 1;
      return arr;
    }
    for (;;) {
      items.push_back(value(k));
      k = skip_ws(k);
      if (k < n_ && s_[k] == ']') break;
      if (k >= n_ || s_[k] != ',') fail("Expecting ',' delimiter", k);
      k = skip_ws(k + 1);
    }
    i = k + 1;
    return arr;
  }

  Value object(std::size_t& i) {
    ObjectBuilder obj;
    std::size_t k = skip_ws(i + 1);
    if (k < n_ && s_[k] == '}') {
      i = k + 1;
      return obj.take();
    }
    for (;;) {
      if (k >= n_ || s_[k] != '"') fail("Expecting property name enclosed in double quotes", k);
      std::string key;
      k = string(k + 1, key);
      k = skip_ws(k);
      if (k >= n_ || s_[k] != ':') fail("Expecting ':' delimiter", k);
      k = skip_ws(k + 1);
      obj.put(std::move(key), value(k));
      k = skip_ws(k);
      if (k < n_ && s_[k] == '}') break;
      if (k >= n_ || s_[k] != ',') fail("Expecting ',' delimiter", k);
      k = skip_ws(k + 1);
    }
    i = k + 1;
    return obj.take();
  }
};

}  // namespace

Value loads(std::string_view text) { return Decoder(text).decode(); }

// Text that does not decode is the answer "none" here, not a failure to report.
std::optional<Value> try_loads(std::string_view text) noexcept {
  return utils::best_effort_or(std::nullopt, utils::unlogged, [&] { return std::optional<Value>(loads(text)); });
}

}  // namespace brenik::json
