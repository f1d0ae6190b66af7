// A private temporary directory (mkdtemp, mode 0700) that is removed with
// everything in it when its owner goes away: scratch files that must never
// land in a repository or be readable by other users.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#pragma GCC visibility push(default)

namespace brenik::utils {

class PrivateDir {
public:
  // Under $TMPDIR (or /tmp). Throws OSError when it cannot be created.
  PrivateDir();
  ~PrivateDir();
  PrivateDir(const PrivateDir&) = delete;
  PrivateDir& operator=(const PrivateDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Creates `name` inside (never through a link, never over an existing
  // file), mode 0600, with `content`. Throws OSError.
  std::filesystem::path write(const std::string& name, std::string_view content) const;

private:
  std::filesystem::path path_;
};

}  // namespace brenik::utils

#pragma GCC visibility pop
