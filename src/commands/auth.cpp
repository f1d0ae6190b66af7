// `brenik auth login`: keep the API key and server URL in the user's config
// directory, readable only by the user.
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "commands/cli.hpp"
#include "display/output.hpp"
#include "protocol/credentials.hpp"
#include "protocol/http_client.hpp"
#include "utils/errors.hpp"

namespace brenik::commands {

namespace out = display::output;
namespace http = protocol::http_client;

namespace {

struct LoginOptions {
  std::string api_key;
  std::optional<std::string> api_url;
};

bool has_blank(const std::string& text) {
  return text.find_first_of(" \t\r\n\f\v") != std::string::npos;
}

int run_login(const LoginOptions& options, const out::Output& o) {
  if (options.api_key.empty() || has_blank(options.api_key)) {
    out::error(o, "The API key must be one word with no spaces or line breaks.");
    return 1;
  }
  std::string url = options.api_url.value_or(protocol::DEFAULT_API_URL);
  while (url.size() > 1 && url.back() == '/') url.pop_back();
  try {
    // Refused here rather than on the first sync: the key would travel in
    // clear to that host.
    http::detail::check_url_safe(url);
  } catch (const http::InsecureURLError&) {
    out::error(o, "Refusing server URL " + url +
                      ": the key is only sent over https (plain http only to this machine).");
    return 1;
  }
  try {
    protocol::save_credentials({options.api_key, url});
  } catch (const std::exception& e) {
    out::error(o, "Could not save the credentials: " + std::string(e.what()));
    return 1;
  }
  out::success(o, "Signed in to " + url + ". Credentials saved to " +
                      protocol::credentials_path().string() + " (readable only by you).");
  const char* env_key = std::getenv("BRENIK_API_KEY");
  if (env_key && *env_key)
    out::warning(o, "BRENIK_API_KEY is set in this environment and takes precedence over the saved key.");
  return 0;
}

}  // namespace

void register_auth(CLI::App& app, Context& ctx) {
  CLI::App* auth = app.add_subcommand("auth", "Sign in to the brenik server.");
  auth->require_subcommand(1);
  CLI::App* login = auth->add_subcommand("login", "Store the API key (and server URL) for this user.");
  auto options = std::make_shared<LoginOptions>();
  login->add_option("--api-key", options->api_key, "Your brenik API key.")->required();
  login->add_option("--api-url", options->api_url,
                    std::string("Server URL (default ") + protocol::DEFAULT_API_URL + ").");
  login->callback([options, &ctx] {
    const int status = run_login(*options, out::standard());
    ctx.exit_code = status;
    if (status != 0) throw Exit{status};
  });
}

}  // namespace brenik::commands
