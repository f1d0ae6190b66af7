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

#include "utils/unique_fd.hpp"

namespace brenik::agents::detail {

namespace {

using Fd = utils::UniqueFd;

constexpr std::size_t CHUNK = 1u << 20;

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
      std::size_t take = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - data.data()) : data.size();
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
  if (::getpwuid_r(::getuid(), &pw, scratch.data(), scratch.size(), &found) == 0 && found && found->pw_dir &&
      *found->pw_dir)
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
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return id.find("..") == std::string_view::npos;
}

}  // namespace brenik::agents::detail
