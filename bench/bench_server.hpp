// What the benchmarks that talk to a local brenik-server share: the server
// built beside them, its admin commands, and one running instance.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "utils/process.hpp"
#include "utils/text.hpp"

namespace brenik::bench {

// The server is built beside the benchmarks directory of the build tree.
inline const std::filesystem::path& server_path() {
  static const std::filesystem::path path =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "brenik-server";
  return path;
}

// One `brenik-server --db DB admin ...` command; its output, stripped.
inline std::string admin(const std::filesystem::path& db, std::vector<std::string> args) {
  args.insert(args.begin(), {server_path().string(), "--db", db.string(), "admin"});
  auto r = utils::run(args, {.timeout_seconds = 60.0});
  if (!r.ok()) throw std::runtime_error("admin failed: " + r.err);
  return utils::strip(r.out);
}

// A server on a free loopback port, stopped and reaped with the object.
class LocalServer {
public:
  explicit LocalServer(const std::filesystem::path& db) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(fds[1], STDOUT_FILENO);
      execl(server_path().c_str(), server_path().c_str(), "--db", db.c_str(), "--port", "0", nullptr);
      _exit(127);
    }
    close(fds[1]);
    // The server's first line names the address it listens on.
    char buf[256] = {0};
    const ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    const std::string line(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    url_ = "http://127.0.0.1:" + line.substr(line.rfind(':') + 1, line.find('\n') - line.rfind(':') - 1);
  }
  ~LocalServer() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  const std::string& url() const { return url_; }

private:
  pid_t pid_ = -1;
  std::string url_;
};

}  // namespace brenik::bench
