#include "agents/transcript_reader.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace brenik::agents::detail {

namespace {

// Closes the descriptor on every way out.
class Fd {
public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

constexpr std::size_t CHUNK = 1u << 20;

bool digits(std::string_view s, std::size_t pos, std::size_t n, int& out) {
  if (pos + n > s.size()) return false;
  int v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return true;
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
long long days_from_civil(int y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

bool for_each_line(const fs::path& path, const LineHandler& on_line, std::size_t max_line) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; regular files
  // ignore the flag.
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;

  std::string buf;        // bytes of the current (incomplete) line
  bool skipping = false;  // inside an over-long line: drop until newline
  std::vector<char> chunk(CHUNK);
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return true;  // what was read so far was handed over
    }
    if (n == 0) break;
    std::string_view data(chunk.data(), static_cast<std::size_t>(n));
    while (!data.empty()) {
      const void* nl = std::memchr(data.data(), '\n', data.size());
      std::size_t take = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - data.data())
                            : data.size();
      if (!skipping) {
        if (buf.size() + take > max_line) {
          skipping = true;
          buf.clear();
        } else if (nl && buf.empty()) {
          // Whole line inside the chunk: hand it over without copying.
          if (!on_line(data.substr(0, take))) return true;
        } else {
          buf.append(data.data(), take);
          if (nl) {
            if (!on_line(buf)) return true;
            buf.clear();
          }
        }
      }
      if (nl) {
        skipping = false;
        data.remove_prefix(take + 1);
      } else {
        data = {};
      }
    }
  }
  if (!skipping && !buf.empty()) on_line(buf);
  return true;
}

std::optional<double> parse_iso8601(std::string_view s) {
  int y, mo, d, h, mi, se;
  if (!digits(s, 0, 4, y) || s.size() < 19 || s[4] != '-' || !digits(s, 5, 2, mo) ||
      s[7] != '-' || !digits(s, 8, 2, d) || (s[10] != 'T' && s[10] != 't' && s[10] != ' ') ||
      !digits(s, 11, 2, h) || s[13] != ':' || !digits(s, 14, 2, mi) || s[16] != ':' ||
      !digits(s, 17, 2, se))
    return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return std::nullopt;
  double frac = 0.0;
  std::size_t i = 19;
  if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
    ++i;
    double scale = 0.1;
    std::size_t start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      frac += (s[i] - '0') * scale;
      scale /= 10;
      ++i;
    }
    if (i == start) return std::nullopt;
  }
  long long offset = 0;
  if (i < s.size()) {
    if (s[i] == 'Z' || s[i] == 'z') {
      ++i;
    } else if (s[i] == '+' || s[i] == '-') {
      int oh, om;
      int sign = s[i] == '-' ? -1 : 1;
      if (!digits(s, i + 1, 2, oh)) return std::nullopt;
      std::size_t j = i + 3;
      if (j < s.size() && s[j] == ':') ++j;
      if (!digits(s, j, 2, om)) return std::nullopt;
      offset = sign * (oh * 3600LL + om * 60LL);
      i = j + 2;
    }
  }
  if (i != s.size()) return std::nullopt;
  long long days = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  long long secs = days * 86400LL + h * 3600LL + mi * 60LL + se - offset;
  return static_cast<double>(secs) + frac;
}

std::optional<std::string_view> find_string_field(std::string_view line, std::string_view key) {
  std::string needle;
  needle.reserve(key.size() + 4);
  needle += '"';
  needle += key;
  needle += "\":\"";
  std::size_t pos = line.find(needle);
  if (pos == std::string_view::npos) return std::nullopt;
  std::size_t start = pos + needle.size();
  std::size_t i = start;
  while (i < line.size() && line[i] != '"') {
    if (line[i] == '\\') ++i;
    ++i;
  }
  if (i >= line.size()) return std::nullopt;
  return line.substr(start, i - start);
}

void TimestampRange::see(std::string_view ts) {
  auto v = parse_iso8601(ts);
  if (!v) return;
  if (first_.empty() || *v < first_v_) {
    first_.assign(ts);
    first_v_ = *v;
  }
  if (last_.empty() || *v >= last_v_) {
    last_.assign(ts);
    last_v_ = *v;
  }
}

std::string env_text(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::optional<fs::path> home_dir() {
  std::string home = env_text("HOME");
  if (!home.empty()) return fs::path(home);
  std::vector<char> scratch(16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, scratch.data(), scratch.size(), &found) == 0 && found &&
      found->pw_dir && *found->pw_dir)
    return fs::path(found->pw_dir);
  return std::nullopt;
}

std::optional<double> mtime_seconds(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
}

bool lexically_inside(const fs::path& root, const fs::path& path) {
  if (root.empty() || path.empty() || !root.is_absolute() || !path.is_absolute()) return false;
  fs::path r = root.lexically_normal();
  fs::path p = path.lexically_normal();
  auto rit = r.begin(), pit = p.begin();
  for (; rit != r.end(); ++rit, ++pit) {
    if (rit->empty()) break;  // trailing separator
    if (pit == p.end() || *rit != *pit) return false;
  }
  return true;
}

std::vector<fs::path> repo_spellings(const fs::path& repo_root) {
  std::vector<fs::path> out;
  std::error_code ec;
  fs::path given = fs::absolute(repo_root, ec);
  if (ec) given = repo_root;
  given = given.lexically_normal();
  if (!given.empty() && given.filename().empty()) given = given.parent_path();
  out.push_back(given);
  fs::path real = fs::weakly_canonical(repo_root, ec);
  if (!ec && !real.empty() && real != given) out.push_back(real);
  return out;
}

bool cwd_in_repo(const std::vector<fs::path>& spellings, std::string_view cwd) {
  if (cwd.empty()) return false;
  fs::path p{std::string(cwd)};
  for (const auto& root : spellings)
    if (lexically_inside(root, p)) return true;
  return false;
}

bool is_safe_session_id(std::string_view id) {
  if (id.empty() || id.size() > 128 || id.front() == '.') return false;
  for (char c : id) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return id.find("..") == std::string_view::npos;
}

}  // namespace brenik::agents::detail
