// Text basics shared by every module: the one UTF-8 decoder (validity,
// replacement of bad bytes) and white-space stripping as Python's str.strip().
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#pragma GCC visibility push(default)

namespace brenik::utils {

struct Utf8Step {
  char32_t code_point = 0;
  std::size_t length = 0;  // 0: s[i] starts no valid sequence
};

// The UTF-8 sequence starting at s[i] (i < s.size()): shortest forms only, at
// most U+10FFFF. Surrogates (ED A0..BF xx) count as valid only when asked,
// for text in the generalised (WTF-8) form.
inline Utf8Step utf8_step(std::string_view s, std::size_t i, bool allow_surrogates = false) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const std::size_t n = s.size();
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return {b0, 1};
  std::size_t len = 0;
  char32_t cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return {};
  }
  if (i + len > n) return {};
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return {};
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (len == 3 && (cp < 0x800 || (!allow_surrogates && cp >= 0xD800 && cp <= 0xDFFF))) return {};
  if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return {};
  return {cp, len};
}

// Whether the bytes are strict UTF-8 (no surrogates, no overlong forms).
bool is_valid_utf8(std::string_view text);

// Text decoded as UTF-8 with every undecodable byte replaced by U+FFFD.
std::string decode_utf8_replace(std::string_view bytes);

// Python str.strip() white space removed from both ends, or the end only.
std::string_view strip_view(std::string_view text);
std::string_view rstrip_view(std::string_view text);

// strip_view as an owned string.
std::string strip(std::string_view text);

// Calls `f` with each line of `text` (without its LF, nor a CR before it)
// until it returns false; false when it was stopped that way.
template <typename F>
bool for_each_line(std::string_view text, F&& f) {
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!f(line)) return false;
  }
  return true;
}

}  // namespace brenik::utils

#pragma GCC visibility pop
