// UTF-8 stepping shared by the JSON and YAML writers and the JSON decoder.
// Text inside values may carry lone surrogates in the generalised (WTF-8)
// form, because the decoder keeps "\ud800" as written; every other invalid
// byte counts as one U+FFFD so that nothing ever fails on bad input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "utils/text.hpp"

namespace brenik::json::detail {

inline constexpr char32_t REPLACEMENT = 0xFFFD;

// The code point starting at s[i]; advances i past it. An invalid byte gives
// REPLACEMENT and advances by one. A surrogate (ED A0..BF xx) is accepted
// and returned as such.
inline char32_t next_code_point(std::string_view s, std::size_t& i) noexcept {
  const auto step = utils::utf8_step(s, i, /*allow_surrogates=*/true);
  if (step.length == 0) {
    ++i;
    return REPLACEMENT;
  }
  i += step.length;
  return step.code_point;
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
