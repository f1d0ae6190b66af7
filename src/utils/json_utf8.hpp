// UTF-8 stepping shared by the JSON and YAML writers and the JSON decoder.
// Text inside values may carry lone surrogates in the generalised (WTF-8)
// form, because the decoder keeps "\ud800" as written; every other invalid
// byte counts as one U+FFFD so that nothing ever fails on bad input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brenik::json::detail {

inline constexpr char32_t REPLACEMENT = 0xFFFD;

// The code point starting at s[i]; advances i past it. An invalid byte gives
// REPLACEMENT and advances by one. A surrogate (ED A0..BF xx) is accepted
// and returned as such.
inline char32_t next_code_point(std::string_view s, std::size_t& i) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const std::size_t n = s.size();
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  const auto cont = [&](std::size_t k) { return k < n && (byte(k) & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (cont(i + 1)) {
      char32_t cp = (char32_t(b0 & 0x1F) << 6) | (byte(i + 1) & 0x3F);
      i += 2;
      return cp;
    }
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (cont(i + 1) && cont(i + 2)) {
      const unsigned char b1 = byte(i + 1);
      if (!(b0 == 0xE0 && b1 < 0xA0)) {
        char32_t cp = (char32_t(b0 & 0x0F) << 12) | (char32_t(b1 & 0x3F) << 6) | (byte(i + 2) & 0x3F);
        i += 3;
        return cp;
      }
    }
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (cont(i + 1) && cont(i + 2) && cont(i + 3)) {
      const unsigned char b1 = byte(i + 1);
      if (!(b0 == 0xF0 && b1 < 0x90) && !(b0 == 0xF4 && b1 > 0x8F)) {
        char32_t cp = (char32_t(b0 & 0x07) << 18) | (char32_t(b1 & 0x3F) << 12) |
                      (char32_t(byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
        i += 4;
        return cp;
      }
    }
  }
  ++i;
  return REPLACEMENT;
}

inline bool is_surrogate(char32_t cp) noexcept { return cp >= 0xD800 && cp <= 0xDFFF; }

// Appends cp as (generalised) UTF-8.
inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                 static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

// Writes the shortest round-trip form of a finite double as Python's
// repr(float) lays it out. buf must hold at least 32 bytes; returns length.
std::size_t format_float_repr(char* buf, double value) noexcept;

}  // namespace brenik::json::detail
