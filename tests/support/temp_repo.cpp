#include "support/temp_repo.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace brenik::testing {

namespace {
// Tests run the library in-process too: the platform package install is off
// unless a test turns it on (a real `npx` may be installed on the machine,
// and a test never reaches a package registry).
[[maybe_unused]] const bool platform_install_off = [] {
  ::setenv("BRENIK_SKIP_PLATFORM_SKILLS", "1", 1);
  return true;
}();
}  // namespace

TempDir::TempDir() {
  std::string templ = (fs::temp_directory_path() / "brenik-test-XXXXXX").string();
  char* made = ::mkdtemp(templ.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  path_ = fs::path(made);
}

TempDir::~TempDir() {
  std::error_code ec;
  // A test may have taken its own write permission away.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

void write_file(const fs::path& path, const std::string& content) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

void append_file(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << content;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void isolate_git_environment() {
  ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  ::setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  ::setenv("GIT_AUTHOR_NAME", "Test Author", 1);
  ::setenv("GIT_AUTHOR_EMAIL", "author@example.com", 1);
  ::setenv("GIT_COMMITTER_NAME", "Test Committer", 1);
  ::setenv("GIT_COMMITTER_EMAIL", "committer@example.com", 1);
}

std::string git(const fs::path& dir, const std::vector<std::string>& args) {
  std::vector<std::string> argv{"git"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = utils::run(argv, {.cwd = dir, .timeout_seconds = 30.0});
  if (!r.ok()) {
    ADD_FAILURE() << "git failed: " << r.err;
  }
  return r.out;
}

TempRepo::TempRepo(const std::string& object_format) {
  isolate_git_environment();
  testing::git(root(), {"init", "-q", "-b", "main", "--object-format=" + object_format});
  testing::git(root(), {"config", "user.name", "Local Dev"});
  testing::git(root(), {"config", "user.email", "dev@example.com"});
  testing::git(root(), {"config", "commit.gpgsign", "false"});
}

std::string TempRepo::git(const std::vector<std::string>& args) const { return testing::git(root(), args); }

std::string TempRepo::commit_file(const std::string& name, const std::string& content, const std::string& message) {
  write_file(root() / name, content);
  git({"add", "--", name});
  git({"commit", "-q", "-m", message});
  return head();
}

std::string TempRepo::head() const {
  auto out = git({"rev-parse", "HEAD"});
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

ScopedEnv::ScopedEnv(const std::string& name, const std::optional<std::string>& value) {
  if (value)
    set(name, *value);
  else
    unset(name);
}

ScopedEnv::~ScopedEnv() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second)
      ::setenv(it->first.c_str(), it->second->c_str(), 1);
    else
      ::unsetenv(it->first.c_str());
  }
}

void ScopedEnv::save(const std::string& name) {
  const char* old = std::getenv(name.c_str());
  saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
  save(name);
  ::setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
  save(name);
  ::unsetenv(name.c_str());
}

std::map<std::string, std::optional<std::string>> isolated_cli_env(const fs::path& home) {
  std::map<std::string, std::optional<std::string>> env = {
      {"HOME", home.string()},
      {"XDG_CONFIG_HOME", (home / ".config").string()},
      {"CLAUDE_CONFIG_DIR", (home / ".claude").string()},
      {"CODEX_HOME", (home / ".codex").string()},
      {"NO_COLOR", "1"},
      // A real `npx` may be installed on the machine: a sync in a test must
      // never fetch the platform package from the network.
      {"BRENIK_SKIP_PLATFORM_SKILLS", "1"},
  };
  for (const char* name :
       {"CLAUDECODE", "CLAUDE_CODE_SESSION_ID", "CLAUDE_CODE_CHILD_SESSION", "CLAUDE_CODE_PROJECT_DIR_NAME",
        "CODEX_THREAD_ID", "CODEX_SANDBOX", "CODEX_SANDBOX_NETWORK_DISABLED", "CURSOR_AGENT",
        "CURSOR_EXTENSION_HOST_ROLE", "WINDSURF_SESSION_ID", "AGENT_SESSION_ID", "BRENIK_API_KEY", "BRENIK_API_URL",
        "BRENIK_DEBUG"})
    env[name] = std::nullopt;
  return env;
}

fs::path built_binary(const std::string& name) { return fs::path(BRENIK_BINARY_DIR) / name; }

utils::RunResult run_binary(const std::string& name, const std::vector<std::string>& args,
                            const utils::RunOptions& options) {
  std::vector<std::string> argv{built_binary(name).string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return utils::run(argv, options);
}

}  // namespace brenik::testing
