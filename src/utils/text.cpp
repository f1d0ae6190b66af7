#include "utils/text.hpp"

namespace brenik::utils {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto step = utf8_step(text, i);
    if (step.length == 0) return false;
    i += step.length;
  }
  return true;
}

std::string decode_utf8_replace(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto step = utf8_step(bytes, i);
    if (step.length > 0) {
      out.append(bytes.data() + i, step.length);
      i += step.length;
    } else {
      // One replacement per bad byte: never swallows the valid characters
      // that follow.
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

std::string_view rstrip_view(std::string_view text) {
  std::size_t e = text.size();
  while (e > 0 && is_space(text[e - 1])) --e;
  return text.substr(0, e);
}

std::string_view strip_view(std::string_view text) {
  text = rstrip_view(text);
  std::size_t b = 0;
  while (b < text.size() && is_space(text[b])) ++b;
  return text.substr(b);
}

std::string strip(std::string_view text) { return std::string(strip_view(text)); }

}  // namespace brenik::utils
