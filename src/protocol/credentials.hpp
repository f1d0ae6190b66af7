// The signed-in user's API key and server URL, kept in the user's config
// directory, with environment variables taking precedence.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#pragma GCC visibility push(default)

namespace brenik::protocol {

inline constexpr const char* DEFAULT_API_URL = "https://api.brenik.dev";

struct Credentials {
  std::string api_key;
  std::string api_url;
};

// ${XDG_CONFIG_HOME:-$HOME/.config}/brenik/credentials.json
std::filesystem::path credentials_path();

// BRENIK_API_KEY / BRENIK_API_URL override the file's members; the URL
// falls back to DEFAULT_API_URL. None when no API key is found anywhere.
// A missing or unreadable file counts as empty; never throws.
std::optional<Credentials> load_credentials();

// Writes the file atomically with mode 0600 (the parent directory is created
// with 0700 when missing). Throws OSError.
void save_credentials(const Credentials& credentials);

}  // namespace brenik::protocol

#pragma GCC visibility pop
