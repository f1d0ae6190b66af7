#include "protocol/credentials.hpp"

#include <cstdlib>
#include <system_error>

#include "utils/best_effort.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"

namespace brenik::protocol {

namespace fs = std::filesystem;

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

}  // namespace

fs::path credentials_path() {
  std::string base = env("XDG_CONFIG_HOME");
  fs::path dir = base.empty() ? fs::path(env("HOME")) / ".config" : fs::path(base);
  return dir / "brenik" / "credentials.json";
}

std::optional<Credentials> load_credentials() {
  Credentials c;
  // An unusable file is the same as none.
  utils::best_effort(utils::unlogged, [&] {
    if (auto text = utils::try_read_file(credentials_path())) {
      if (auto parsed = json::try_loads(*text)) {
        c.api_key = text_member(*parsed, "api_key");
        c.api_url = text_member(*parsed, "api_url");
      }
    }
  });
  if (auto key = env("BRENIK_API_KEY"); !key.empty()) c.api_key = key;
  if (auto url = env("BRENIK_API_URL"); !url.empty()) c.api_url = url;
  if (c.api_key.empty()) return std::nullopt;
  if (c.api_url.empty()) c.api_url = DEFAULT_API_URL;
  return c;
}

void save_credentials(const Credentials& credentials) {
  fs::path path = credentials_path();
  std::error_code ec;
  if (!fs::exists(path.parent_path(), ec)) {
    utils::make_dirs(path.parent_path());
    fs::permissions(path.parent_path(), fs::perms::owner_all, ec);
  }
  json::Value body = json::Value::object();
  body["api_key"] = credentials.api_key;
  body["api_url"] = credentials.api_url;
  utils::atomic_write(path, json::dumps(body, {.indent = 2}) + "\n", fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace brenik::protocol
