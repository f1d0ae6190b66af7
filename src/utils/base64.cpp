#include "utils/base64.hpp"

#include <array>

namespace brenik::utils {

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<signed char, 256> decode_table() {
  std::array<signed char, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(ALPHABET[i])] = static_cast<signed char>(i);
  return t;
}

constexpr auto DECODE = decode_table();

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += ALPHABET[v >> 18 & 63];
    out += ALPHABET[v >> 12 & 63];
    out += ALPHABET[v >> 6 & 63];
    out += ALPHABET[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += ALPHABET[v >> 18 & 63];
    out += ALPHABET[v >> 12 & 63];
    out += rest == 2 ? ALPHABET[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<std::size_t>(k)];
      if (c == '=' && last && k >= 2) {
        ++pad;
        v[k] = 0;
        continue;
      }
      if (pad > 0) return std::nullopt;  // data after padding
      v[k] = DECODE[static_cast<unsigned char>(c)];
      if (v[k] < 0) return std::nullopt;
    }
    const unsigned n = static_cast<unsigned>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
    // Bits the padding drops must be zero, so one text has one meaning.
    if (pad == 2 && (n & 0xFFFF) != 0) return std::nullopt;
    if (pad == 1 && (n & 0xFF) != 0) return std::nullopt;
    out += static_cast<char>(n >> 16 & 0xFF);
    if (pad < 2) out += static_cast<char>(n >> 8 & 0xFF);
    if (pad < 1) out += static_cast<char>(n & 0xFF);
  }
  return out;
}

}  // namespace brenik::utils
