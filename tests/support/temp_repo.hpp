// Test support: temporary directories, real git repositories, and running
// the built binaries.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "utils/process.hpp"

namespace brenik::testing {

namespace fs = std::filesystem;

// A directory removed with everything in it when the object goes away.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

private:
  fs::path path_;
};

void write_file(const fs::path& path, const std::string& content);
// Appends, as a writer that does not go through the log store would.
void append_file(const fs::path& path, const std::string& content);
std::string read_file(const fs::path& path);

// Runs git in `dir` and returns its stdout; fails the test on a non-zero exit.
std::string git(const fs::path& dir, const std::vector<std::string>& args);

// A real repository with a fixed identity and no global configuration.
class TempRepo {
public:
  explicit TempRepo(const std::string& object_format = "sha1");
  const fs::path& root() const { return dir_.path(); }
  std::string git(const std::vector<std::string>& args) const;
  // Writes the file, stages it and commits; returns the new HEAD id.
  std::string commit_file(const std::string& name, const std::string& content, const std::string& message);
  std::string head() const;

private:
  TempDir dir_;
};

// Environment for every git child of the tests: no user or system config,
// fixed identity.
void isolate_git_environment();

// Sets or clears environment variables for a scope, restoring each old
// value (newest first) when it ends. The one place tests change the process
// environment.
class ScopedEnv {
public:
  ScopedEnv() = default;
  // One variable; a value of none clears it.
  ScopedEnv(const std::string& name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);

private:
  void save(const std::string& name);
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The environment the e2e tests give the real binary: its homes under
// `home`, no colour, and no agent or brenik variable of the host's leaking in.
std::map<std::string, std::optional<std::string>> isolated_cli_env(const fs::path& home);

// Path of a built binary ("brenik", "brenik-server").
fs::path built_binary(const std::string& name);

// Runs a built binary.
utils::RunResult run_binary(const std::string& name, const std::vector<std::string>& args,
                            const utils::RunOptions& options = {});

}  // namespace brenik::testing
