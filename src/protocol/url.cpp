// URL handling of the client: joining the configured base with an API path,
// and refusing any URL that would send the API key in clear text off this
// machine.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "protocol/http_client.hpp"

namespace brenik::protocol::http_client::detail {

namespace {

struct UrlDeleter {
  void operator()(CURLU* u) const noexcept { curl_url_cleanup(u); }
};
struct TextDeleter {
  void operator()(char* p) const noexcept { curl_free(p); }
};

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::optional<std::string> url_part(CURLU* u, CURLUPart part) {
  char* raw = nullptr;
  if (curl_url_get(u, part, &raw, 0) != CURLUE_OK || !raw) return std::nullopt;
  std::unique_ptr<char, TextDeleter> owned(raw);
  return std::string(raw);
}

bool is_loopback_host(std::string host) {
  host = lower(host);
  if (host == "localhost" || host == "[::1]" || host == "::1") return true;
  // 127.0.0.0/8 written as a dotted quad of decimal numbers.
  int parts = 0, value = -1, first = -1;
  for (char c : host + ".") {
    if (c == '.') {
      if (value < 0 || value > 255) return false;
      if (parts == 0) first = value;
      ++parts;
      value = -1;
    } else if (c >= '0' && c <= '9') {
      value = (value < 0 ? 0 : value * 10) + (c - '0');
      if (value > 255) return false;
    } else {
      return false;
    }
  }
  return parts == 4 && first == 127;
}

}  // namespace

std::string join_url(const std::string& base, const std::string& path) {
  std::string left = base;
  while (!left.empty() && left.back() == '/') left.pop_back();
  std::size_t skip = 0;
  while (skip < path.size() && path[skip] == '/') ++skip;
  return left + "/" + path.substr(skip);
}

void check_url_safe(const std::string& url) {
  std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
  if (!u) throw InsecureURLError("could not parse the server URL");
  if (curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    throw InsecureURLError("not a valid server URL: " + url);
  auto scheme = url_part(u.get(), CURLUPART_SCHEME);
  auto host = url_part(u.get(), CURLUPART_HOST);
  if (!scheme || !host) throw InsecureURLError("not a valid server URL: " + url);
  const std::string s = lower(*scheme);
  if (s == "https") return;
  if (s == "http") {
    if (is_loopback_host(*host)) return;
    throw InsecureURLError("refusing to send the API key over plain http to " + *host + "; use an https:// server URL");
  }
  throw InsecureURLError("unsupported URL scheme '" + *scheme + "' in the server URL");
}

bool uses_plain_http(const std::string& url) {
  std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
  if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
  auto scheme = url_part(u.get(), CURLUPART_SCHEME);
  return scheme && lower(*scheme) == "http";
}

std::string encode_segment(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string project_segment(const json::Value& project_id) {
  std::string text;
  if (project_id.is_number_integer() || project_id.is_number_unsigned()) {
    text = project_id.dump();
  } else if (project_id.is_string()) {
    text = project_id.get<std::string>();
  } else {
    throw ValueError("project id must be an integer or text, not " + json::type_name(project_id));
  }
  if (text.empty()) throw ValueError("empty project id");
  return encode_segment(text);
}

}  // namespace brenik::protocol::http_client::detail
