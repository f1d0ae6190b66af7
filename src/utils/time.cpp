#include "utils/time.hpp"

#include <cctype>
#include <chrono>
#include <ctime>

namespace brenik::utils {

double now_epoch() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string utc_now_iso(const char* format) {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::size_t n = std::strftime(buf, sizeof buf, format, &tm);
  return std::string(buf, n);
}

namespace {

bool digits(std::string_view s, std::size_t pos, std::size_t n, int& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
long long days_from_civil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

std::optional<double> parse_iso8601(std::string_view s) {
  int y, mo, d, h = 0, mi = 0, sec = 0;
  if (!digits(s, 0, 4, y) || s.size() < 10 || s[4] != '-' || !digits(s, 5, 2, mo) || s[7] != '-' || !digits(s, 8, 2, d))
    return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > 31) return std::nullopt;
  std::size_t i = 10;
  double frac = 0;
  if (i < s.size()) {
    if (s[i] != 'T' && s[i] != 't' && s[i] != ' ') return std::nullopt;
    ++i;
    if (!digits(s, i, 2, h)) return std::nullopt;
    i += 2;
    if (i < s.size() && s[i] == ':') {
      if (!digits(s, i + 1, 2, mi)) return std::nullopt;
      i += 3;
      if (i < s.size() && s[i] == ':') {
        if (!digits(s, i + 1, 2, sec)) return std::nullopt;
        i += 3;
        if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
          ++i;
          double scale = 0.1;
          std::size_t start = i;
          while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
            frac += (s[i] - '0') * scale;
            scale /= 10;
            ++i;
          }
          if (i == start) return std::nullopt;
        }
      }
    }
    if (h > 23 || mi > 59 || sec > 59) return std::nullopt;
  }
  long offset = 0;
  if (i + 1 == s.size() && (s[i] == 'Z' || s[i] == 'z')) {
    ++i;  // UTC
  } else if (i < s.size()) {
    char sign = s[i];
    if (sign != '+' && sign != '-') return std::nullopt;
    int oh, om = 0;
    if (!digits(s, i + 1, 2, oh)) return std::nullopt;
    i += 3;
    if (i < s.size() && s[i] == ':') ++i;
    if (i < s.size()) {
      if (!digits(s, i, 2, om)) return std::nullopt;
      i += 2;
    }
    if (i != s.size()) return std::nullopt;
    offset = (oh * 3600L + om * 60L) * (sign == '+' ? 1 : -1);
  }
  long long days = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  return static_cast<double>(days * 86400LL + h * 3600LL + mi * 60LL + sec - offset) + frac;
}

}  // namespace brenik::utils
