// `brenik auth login|status|logout`: the API key and server URL kept in the
// user's config directory, readable only by the user.
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "commands/cli.hpp"
#include "display/output.hpp"
#include "protocol/credentials.hpp"
#include "protocol/http_client.hpp"
#include "utils/errors.hpp"
#include "utils/process.hpp"

namespace brenik::commands {

namespace out = display::output;
namespace http = protocol::http_client;

namespace {

// How long the login waits for the server to judge the key.
constexpr double KEY_CHECK_SECONDS = 10.0;

struct LoginOptions {
  std::optional<std::string> api_key;
  std::optional<std::string> api_url;
};

bool has_blank(const std::string& text) { return text.find_first_of(" \t\r\n\f\v") != std::string::npos; }

// Terminal echo off while the scope lives, back as it was after.
class EchoOff {
public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

// The key from standard input: everything up to the end (`--api-key -`), or
// one line typed without echo at the terminal.
std::optional<std::string> key_from_stdin(bool prompt, const out::Output& o) {
  std::string key;
  if (prompt) {
    o.err << "API key (not shown): " << std::flush;
    {
      EchoOff quiet(STDIN_FILENO);
      std::getline(std::cin, key);
    }
    o.err << "\n" << std::flush;
  } else {
    key.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  key = utils::strip(key);
  if (key.empty()) return std::nullopt;
  return key;
}

// Whether the server takes the key: any answer but 401/402 to an
// authenticated request means it got past the key check. None when the
// server could not be asked.
struct KeyCheck {
  std::optional<bool> accepted;
  std::string detail;  // the refusal code, or why the server was not asked
};

KeyCheck check_key(const std::string& api_key, const std::string& url) {
  KeyCheck check;
  try {
    auto budget = http::network_budget(KEY_CHECK_SECONDS);
    const long status = http::key_check_status(api_key, url);
    check.accepted = status != 401 && status != 402;
    check.detail = status == 402 ? "account_inactive" : "key_rejected";
  } catch (const std::exception& e) {
    check.detail = error_kind(e);
  }
  return check;
}

int run_login(const LoginOptions& options, const out::Output& o) {
  std::optional<std::string> key = options.api_key;
  if (!key || *key == "-") {
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    if (!key && !terminal) {
      out::error(o, "No API key given: pass --api-key - and the key on standard input (or run this at a terminal).");
      return 2;  // a usage error, as a missing option is
    }
    key = key_from_stdin(!key && terminal, o);
    if (!key) {
      out::error(o, "No API key was read from standard input.");
      return 1;
    }
  }
  if (key->empty() || has_blank(*key)) {
    out::error(o, "The API key must be one word with no spaces or line breaks.");
    return 1;
  }
  std::string url = options.api_url.value_or(protocol::DEFAULT_API_URL);
  while (url.size() > 1 && url.back() == '/') url.pop_back();
  try {
    // Refused here rather than on the first sync: the key would travel in
    // clear to that host.
    http::require_safe_url(url);
  } catch (const http::InsecureURLError&) {
    out::error(o,
               "Refusing server URL " + url + ": the key is only sent over https (plain http only to this machine).");
    return 1;
  }
  const KeyCheck check = check_key(*key, url);
  if (check.accepted && !*check.accepted) {
    out::error(o, "The server at " + url + " refused this key (" + check.detail + "); nothing was saved.");
    return 1;
  }
  try {
    protocol::save_credentials({*key, url});
  } catch (const std::exception& e) {
    out::error(o, "Could not save the credentials: " + std::string(e.what()));
    return 1;
  }
  if (check.accepted)
    out::success(o, "Signed in to " + url + " (the server accepted the key). Credentials saved to " +
                        protocol::credentials_path().string() + " (readable only by you).");
  else
    out::warning(o, "Could not reach " + url + " to check the key (" + check.detail + "); saved it unchecked to " +
                        protocol::credentials_path().string() + " (readable only by you).");
  const char* env_key = std::getenv("BRENIK_API_KEY");
  if (env_key && *env_key)
    out::warning(o, "BRENIK_API_KEY is set in this environment and takes precedence over the saved key.");
  return 0;
}

// The key with all but its ends hidden.
std::string masked(const std::string& key) {
  if (key.size() <= 8) return std::string(key.size(), '*');
  return key.substr(0, 4) + "..." + key.substr(key.size() - 4);
}

int run_status(const out::Output& o) {
  const auto creds = protocol::load_credentials();
  if (!creds) {
    out::info(o, "Not signed in. Run `brenik auth login`.");
    return 1;
  }
  const char* env_key = std::getenv("BRENIK_API_KEY");
  const bool from_env = env_key && *env_key;
  out::console_print(o, "Signed in to " + creds->api_url + " with key " + masked(creds->api_key) + " (" +
                            (from_env ? std::string("from BRENIK_API_KEY") : protocol::credentials_path().string()) +
                            ").");
  return 0;
}

int run_logout(const out::Output& o) {
  const auto path = protocol::credentials_path();
  std::error_code ec;
  const bool removed = std::filesystem::remove(path, ec);
  if (ec) {
    out::error(o, "Could not remove " + path.string() + ": " + ec.message());
    return 1;
  }
  if (removed)
    out::success(o, "Signed out: removed " + path.string() + ".");
  else
    out::info(o, "Not signed in: there were no saved credentials.");
  const char* env_key = std::getenv("BRENIK_API_KEY");
  if (env_key && *env_key) out::warning(o, "BRENIK_API_KEY is still set in this environment and still signs you in.");
  return 0;
}

}  // namespace

void register_auth(CLI::App& app, Context& ctx) {
  CLI::App* auth = app.add_subcommand("auth", "Sign in to the brenik server, see who you are, sign out.");
  auth->require_subcommand(1);
  CLI::App* login = auth->add_subcommand("login", "Store the API key (and server URL) for this user.");
  auto options = std::make_shared<LoginOptions>();
  login->add_option("--api-key", options->api_key,
                    "Your brenik API key; \"-\" reads it from standard input. Asked for (not shown) when "
                    "omitted at a terminal, which keeps it out of your shell history.");
  login->add_option("--api-url", options->api_url,
                    std::string("Server URL (default ") + protocol::DEFAULT_API_URL + ").");
  on_run(login, ctx, [options] { return run_login(*options, out::standard()); });
  CLI::App* status = auth->add_subcommand("status", "Show which server and key this user is signed in with.");
  on_run(status, ctx, [] { return run_status(out::standard()); });
  CLI::App* logout = auth->add_subcommand("logout", "Remove the saved credentials.");
  on_run(logout, ctx, [] { return run_logout(out::standard()); });
}

}  // namespace brenik::commands
