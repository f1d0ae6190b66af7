// One identity for every way of writing a repository's origin remote.
#pragma once

#include <optional>
#include <string>

namespace brenik::server {

struct RemoteKey {
  std::string key;    // "host/org/repo", lower case
  std::string title;  // "org/repo" as written
};

// git@host:org/repo.git, ssh://git@host/org/repo, https://host/org/repo and
// https://host/org/repo.git all give "host/org/repo". Credentials and default
// ports are dropped. None for anything that is not a network remote (local
// paths, file://, empty, no repository path).
std::optional<RemoteKey> normalize_remote(const std::string& remote);

}  // namespace brenik::server
