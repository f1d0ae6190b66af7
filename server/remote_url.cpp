#include "remote_url.hpp"

#include <algorithm>
#include <cctype>
#include <vector>

namespace brenik::server {

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string trim(const std::string& s) {
  auto a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  auto b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

bool host_ok(const std::string& host) {
  if (host.empty()) return false;
  return std::all_of(host.begin(), host.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == '[' || c == ']' || c == ':';
  });
}

std::optional<std::string> clean_path(std::string path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty()) {
      if (part == "." || part == "..") return std::nullopt;
      for (unsigned char c : part)
        if (c < 0x21 || c == '\\' || c == '?' || c == '#') return std::nullopt;
      parts.push_back(part);
    }
    start = end + 1;
  }
  if (parts.empty()) return std::nullopt;
  std::string& last = parts.back();
  if (last.size() > 4 && lower(last.substr(last.size() - 4)) == ".git") last.resize(last.size() - 4);
  if (last.empty()) return std::nullopt;
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : "/") + p;
  return out;
}

}  // namespace

std::optional<RemoteKey> normalize_remote(const std::string& raw) {
  std::string remote = trim(raw);
  if (remote.empty() || remote.size() > 2048) return std::nullopt;
  std::string host, path;
  auto scheme_end = remote.find("://");
  if (scheme_end != std::string::npos) {
    std::string scheme = lower(remote.substr(0, scheme_end));
    if (scheme != "https" && scheme != "http" && scheme != "ssh" && scheme != "git" && scheme != "git+ssh" &&
        scheme != "ssh+git")
      return std::nullopt;
    std::string rest = remote.substr(scheme_end + 3);
    auto slash = rest.find('/');
    if (slash == std::string::npos) return std::nullopt;
    std::string authority = rest.substr(0, slash);
    path = rest.substr(slash);
    if (auto at = authority.rfind('@'); at != std::string::npos) authority = authority.substr(at + 1);
    host = lower(authority);
    // Default ports name the same server.
    if (auto colon = host.rfind(':'); colon != std::string::npos && host.back() != ']') {
      std::string port = host.substr(colon + 1);
      if (port == "22" || port == "443" || port == "80" || port == "9418" || port.empty()) host = host.substr(0, colon);
    }
  } else {
    // scp-like: [user@]host:path, where the colon comes before any slash.
    auto colon = remote.find(':');
    auto slash = remote.find('/');
    if (colon == std::string::npos || (slash != std::string::npos && slash < colon)) return std::nullopt;
    std::string authority = remote.substr(0, colon);
    if (auto at = authority.rfind('@'); at != std::string::npos) authority = authority.substr(at + 1);
    host = lower(authority);
    path = remote.substr(colon + 1);
  }
  if (!host_ok(host)) return std::nullopt;
  auto cleaned = clean_path(path);
  if (!cleaned) return std::nullopt;
  return RemoteKey{host + "/" + lower(*cleaned), *cleaned};
}

}  // namespace brenik::server
