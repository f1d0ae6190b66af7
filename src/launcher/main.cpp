// The `brenik` executable. It is started from shell hooks after every command
// an agent runs, so it stays small: it answers --version itself, turns away a
// harness hook payload that is not a `git commit` without loading anything,
// and only then loads the command-line library (and with it git access,
// YAML, HTTP...) to do the real work.
#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/hook_prefilter.hpp"
#include "utils/hook_input.hpp"

namespace {

using CliMain = int (*)(int, char**, const char*, std::size_t, int);

std::string executable_dir() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

void* load_cli(std::string& error) {
  const std::string dir = executable_dir();
  const char* candidates[] = {"/libbrenik-cli.so", "/../lib/brenik/libbrenik-cli.so", "/../lib/libbrenik-cli.so"};
  for (const char* c : candidates) {
    std::string path = dir + c;
    if (::access(path.c_str(), R_OK) != 0) continue;
    if (void* h = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL)) return h;
    error = ::dlerror();
    return nullptr;
  }
  error = "libbrenik-cli.so is not beside " + dir + " nor in " + dir +
          "/../lib/brenik. This brenik was copied out of its installation: install it with "
          "`make install PREFIX=~/.local` (or `sudo make install`) from the source tree, or "
          "`sudo apt install ./brenik_<version>_<arch>.deb` from `make package`, and run that brenik";
  return nullptr;
}

// `attest add --from-hook [--agent NAME] [--user]` and nothing else.
bool is_hook_invocation(int argc, char** argv) {
  if (argc < 4) return false;
  if (std::strcmp(argv[1], "attest") != 0 || std::strcmp(argv[2], "add") != 0) return false;
  bool from_hook = false;
  for (int i = 3; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--from-hook")
      from_hook = true;
    else if (a == "--user")
      continue;
    else if (a == "--agent" && i + 1 < argc)
      ++i;
    else if (a.rfind("--agent=", 0) == 0)
      continue;
    else
      return false;
  }
  return from_hook;
}

// The post-commit hook, run by git through the hook's `#!` line (or handed
// over by the hook's shell with exec): a process less on every commit. The
// usual case, a main worktree set up with brenik and no earlier hook to run
// after ours, is recorded here. Anything else, and a record that was not
// written, goes back to the hook file as a shell script: "--brenik-declined"
// lets it take the case in hand, "--brenik-failed" has it write its own line.
// The hook ends with 0 either way.
bool usual_post_commit(const char* script) {
  if (::access(".git", F_OK) != 0) return false;
  if (::access(".brenik/.platform/config.yaml", F_OK) != 0 && ::access(".brenik/config.yaml", F_OK) != 0 &&
      ::access(".brenik/config.json", F_OK) != 0)
    return false;
  const std::string chained = std::string(script) + ".brenik-chained";
  return ::access(chained.c_str(), X_OK) != 0;
}

int back_to_script(const char* script, const char* why) {
  ::execl("/bin/sh", "sh", script, why, static_cast<char*>(nullptr));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A hook's output may go to a reader that has gone away, and its log may
  // meet a file size limit: such writes must fail with an error the
  // best-effort paths absorb, not kill the process with a signal status.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
    std::printf("brenik %s\n", BRENIK_VERSION);
    return 0;
  }
  const bool post_commit = argc >= 3 && std::strcmp(argv[1], "--post-commit-hook") == 0;
  if (post_commit && !usual_post_commit(argv[2])) return back_to_script(argv[2], "--brenik-declined");
  const bool hook = is_hook_invocation(argc, argv);
  std::string payload;
  if (hook) {
    // The harness runs this after every shell command: anything that cannot
    // be a `git commit` ends here, silently and with status 0, and so does
    // an input that is too large or never ends.
    auto input = brenik::utils::read_hook_input();
    if (!input || !brenik::launcher::may_be_commit_payload(*input)) return 0;
    payload = std::move(*input);
  }
  std::string error;
  void* handle = load_cli(error);
  if (!handle) {
    if (post_commit) return back_to_script(argv[2], "--brenik-failed");
    if (hook) return 0;  // a hook never fails the agent
    std::fprintf(stderr, "brenik: cannot load the command library: %s\n", error.c_str());
    return 1;
  }
  auto entry = reinterpret_cast<CliMain>(::dlsym(handle, "brenik_cli_main"));
  if (!entry) {
    if (post_commit) return back_to_script(argv[2], "--brenik-failed");
    if (hook) return 0;
    std::fprintf(stderr, "brenik: the command library has no entry point\n");
    return 1;
  }
  if (post_commit) {
    char sync[] = "sync", record_commit[] = "--record-commit";
    char* record[] = {argv[0], sync, record_commit, nullptr};
    if (entry(3, record, "", 0, 0) != 0) return back_to_script(argv[2], "--brenik-failed");
    return 0;
  }
  return entry(argc, argv, payload.data(), payload.size(), hook ? 1 : 0);
}
