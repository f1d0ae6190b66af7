#include "utils/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "utils/unique_fd.hpp"

extern char** environ;

namespace brenik::utils {

namespace {

using Fd = UniqueFd;

struct Pipe {
  Fd read, write;
};

// A write to a child that went away raises SIGPIPE in the writing thread.
// It is blocked for this thread while the child runs and a SIGPIPE our
// writes raised is discarded before unblocking: the signal dispositions
// belong to the host program, and other threads keep theirs.
class SigpipeBlocked {
public:
  SigpipeBlocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
  }
  ~SigpipeBlocked() {
    if (!was_pending_) {
      const timespec now{0, 0};
      while (::sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

private:
  sigset_t pipe_, previous_;
  bool was_pending_ = false;
};

bool make_pipe(Pipe& p) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  p.read = Fd(fds[0]);
  p.write = Fd(fds[1]);
  return true;
}

// Owns posix_spawn attributes and file actions.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

double now_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// The pipes between us and one child; an unused end stays closed.
struct Channels {
  Pipe out, err, in;
};

bool open_channels(Channels& c, const RunOptions& options) {
  const bool capture = !options.inherit_output;
  return (!capture || make_pipe(c.out)) && (!capture || !options.capture_stderr || make_pipe(c.err)) &&
         (!options.stdin_data || make_pipe(c.in));
}

// /dev/null, for a child's streams that carry nothing.
Fd open_devnull() { return Fd(::open("/dev/null", O_RDWR | O_NOFOLLOW | O_CLOEXEC)); }

// Starts the child with the channels as its standard streams: 0 and its
// pid, or the error number of a failed start.
int spawn_child(const std::vector<std::string>& argv, const RunOptions& options, Channels& c, pid_t& pid) {
  SpawnSetup setup;
  Fd devnull = open_devnull();
  posix_spawn_file_actions_adddup2(&setup.actions, options.stdin_data ? c.in.read.get() : devnull.get(), 0);
  if (!options.inherit_output) {
    posix_spawn_file_actions_adddup2(&setup.actions, c.out.write.get(), 1);
    posix_spawn_file_actions_adddup2(&setup.actions, options.capture_stderr ? c.err.write.get() : devnull.get(), 2);
  }
  std::string cwd_text;
  if (options.cwd && !options.cwd->empty()) {
    cwd_text = options.cwd->string();
    posix_spawn_file_actions_addchdir_np(&setup.actions, cwd_text.c_str());
  }
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.new_session) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&setup.attr, flags);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(&setup.attr, &empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&setup.attr, &defaults);

  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  std::vector<std::string> env_storage;
  std::vector<char*> cenv;
  char** envp = environ;
  if (!options.env.empty()) {
    env_storage = build_environment(options.env);
    for (auto& e : env_storage) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    envp = cenv.data();
  }

  int rc = posix_spawnp(&pid, cargv[0], &setup.actions, &setup.attr, cargv.data(), envp);
  if (rc != 0) return rc;
  // The child's ends are its own now.
  c.out.write.reset();
  c.err.write.reset();
  c.in.read.reset();
  return 0;
}

// Feeds the child its input and collects its output until every channel is
// closed or the time limit passes; true when it passed.
bool exchange(Channels& c, const RunOptions& options, double deadline, RunResult& result) {
  // Never let a write to a child that went away kill us.
  std::optional<SigpipeBlocked> sigpipe_blocked;
  if (c.in.write.get() >= 0) sigpipe_blocked.emplace();

  std::size_t stdin_written = 0;
  if (c.in.write.get() >= 0) ::fcntl(c.in.write.get(), F_SETFL, O_NONBLOCK);
  if (options.stdin_data && options.stdin_data->empty()) c.in.write.reset();
  char buf[65536];
  while (c.out.read.get() >= 0 || c.err.read.get() >= 0 || c.in.write.get() >= 0) {
    pollfd fds[3];
    int n = 0;
    int idx_out = -1, idx_err = -1, idx_in = -1;
    if (c.out.read.get() >= 0) {
      idx_out = n;
      fds[n++] = {c.out.read.get(), POLLIN, 0};
    }
    if (c.err.read.get() >= 0) {
      idx_err = n;
      fds[n++] = {c.err.read.get(), POLLIN, 0};
    }
    if (c.in.write.get() >= 0) {
      idx_in = n;
      fds[n++] = {c.in.write.get(), POLLOUT, 0};
    }
    int wait_ms = -1;
    if (options.timeout_seconds) {
      double left = deadline - now_seconds();
      if (left <= 0) return true;
      wait_ms = static_cast<int>(left * 1000) + 1;
    }
    int pr = ::poll(fds, n, wait_ms);
    if (pr < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (pr == 0) continue;
    auto drain = [&](int idx, Fd& fd, std::string& sink) {
      if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
      ssize_t got = ::read(fd.get(), buf, sizeof buf);
      if (got > 0)
        sink.append(buf, static_cast<std::size_t>(got));
      else if (got == 0 || (errno != EINTR && errno != EAGAIN))
        fd.reset();
    };
    drain(idx_out, c.out.read, result.out);
    drain(idx_err, c.err.read, result.err);
    if (idx_in >= 0 && (fds[idx_in].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const std::string& data = *options.stdin_data;
      ssize_t put = ::write(c.in.write.get(), data.data() + stdin_written, data.size() - stdin_written);
      if (put > 0) stdin_written += static_cast<std::size_t>(put);
      if (put < 0 && errno != EAGAIN && errno != EINTR) c.in.write.reset();
      if (stdin_written >= data.size()) c.in.write.reset();
    }
  }
  return false;
}

// Kills the child, or its whole process group when it leads a new session.
void kill_child(pid_t pid, bool whole_group) { ::kill(whole_group ? -pid : pid, SIGKILL); }

// Reaps the child, waiting no later than `deadline` (0: no limit); false
// when it was still running then. A child may close its outputs and go on.
bool wait_child(pid_t pid, double deadline, int& status) {
  // A child that closed its output is usually a moment from exiting: a
  // descriptor of it lets poll() sleep exactly until it has (or the
  // deadline), where sleeping in steps would add a millisecond or more.
  Fd child(deadline > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1);
  auto pause = std::chrono::milliseconds(1);
  while (true) {
    const pid_t got = ::waitpid(pid, &status, deadline > 0 ? WNOHANG : 0);
    if (got == pid) return true;
    if (got < 0 && errno != EINTR) return true;  // nothing left to wait for
    if (got == 0) {
      const double left = deadline - now_seconds();
      if (left <= 0) return false;
      if (child.get() >= 0) {
        pollfd exited{child.get(), POLLIN, 0};
        ::poll(&exited, 1, static_cast<int>(left * 1000) + 1);
        continue;
      }
      std::this_thread::sleep_for(pause);  // no pidfd (an older kernel)
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
  }
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  if (argv.empty()) {
    result.start_errno = EINVAL;
    return result;
  }
  // An explicit working directory must exist: spawning elsewhere would
  // silently answer for another repository.
  if (options.cwd && !options.cwd->empty()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(*options.cwd, ec)) {
      result.start_errno = ENOENT;
      return result;
    }
  }
  Channels channels;
  if (!open_channels(channels, options)) {
    result.start_errno = errno;
    return result;
  }
  pid_t pid = -1;
  if (const int error = spawn_child(argv, options, channels, pid); error != 0) {
    result.start_errno = error;
    return result;
  }
  const double deadline = options.timeout_seconds ? now_seconds() + *options.timeout_seconds : 0.0;
  bool timed_out = exchange(channels, options, deadline, result);
  int status = 0;
  if (!timed_out && !wait_child(pid, deadline, status)) timed_out = true;
  if (timed_out) {
    kill_child(pid, options.new_session);
    wait_child(pid, 0.0, status);
  }
  if (timed_out) {
    result.status = RunStatus::timed_out;
  } else if (WIFEXITED(status)) {
    result.status = RunStatus::exited;
    result.exit_code = WEXITSTATUS(status);
  } else {
    result.status = RunStatus::signalled;
    result.exit_code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
  }
  return result;
}

bool spawn_detached(const std::vector<std::string>& argv, const DetachedOptions& options) {
  if (argv.empty()) return false;
  // Everything the children need is prepared here: between fork and exec
  // only async-signal-safe calls are made.
  Fd input(::memfd_create("brenik-stdin", MFD_CLOEXEC));
  if (input.get() < 0) return false;
  for (std::size_t done = 0; done < options.stdin_data.size();) {
    const ssize_t n = ::write(input.get(), options.stdin_data.data() + done, options.stdin_data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  if (::lseek(input.get(), 0, SEEK_SET) != 0) return false;
  Fd devnull = open_devnull();
  Pipe status;
  if (devnull.get() < 0 || !make_pipe(status)) return false;

  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  std::vector<std::string> env_storage = build_environment(options.env);
  std::vector<char*> cenv;
  for (auto& e : env_storage) cenv.push_back(e.data());
  cenv.push_back(nullptr);
  const std::string cwd = options.cwd ? options.cwd->string() : std::string();
  const bool has_slash = argv[0].find('/') != std::string::npos;
  sigset_t empty;
  sigemptyset(&empty);

  const pid_t middle = ::fork();
  if (middle < 0) return false;
  if (middle == 0) {
    // The middle child starts the session and leaves at once, so the
    // program is adopted by init rather than left for us to reap.
    ::setsid();
    const pid_t program = ::fork();
    if (program != 0) ::_exit(program < 0 ? 1 : 0);
    int error = 0;
    if (::dup2(input.get(), 0) < 0 || ::dup2(devnull.get(), 1) < 0 || ::dup2(devnull.get(), 2) < 0 ||
        (!cwd.empty() && ::chdir(cwd.c_str()) != 0)) {
      error = errno;
    } else {
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &dfl, nullptr);
      ::sigprocmask(SIG_SETMASK, &empty, nullptr);
      if (has_slash)
        ::execve(cargv[0], cargv.data(), cenv.data());
      else
        ::execvpe(cargv[0], cargv.data(), cenv.data());
      error = errno;
    }
    [[maybe_unused]] const ssize_t n = ::write(status.write.get(), &error, sizeof error);
    ::_exit(127);
  }
  status.write.reset();
  int wstatus = 0;
  while (::waitpid(middle, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) return false;
  // The status pipe closes on exec; an error number on it means no exec.
  int error = 0;
  ssize_t got;
  while ((got = ::read(status.read.get(), &error, sizeof error)) < 0 && errno == EINTR) {
  }
  return got == 0;
}

std::optional<std::filesystem::path> current_executable() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || p.empty()) return std::nullopt;
  return p;
}

std::optional<std::filesystem::path> which(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    if (::access(program.c_str(), X_OK) == 0) return std::filesystem::path(program);
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  if (!path) return std::nullopt;
  std::string_view rest(path);
  while (true) {
    auto colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    if (dir.empty()) dir = ".";
    std::filesystem::path candidate = std::filesystem::path(dir) / program;
    std::error_code ec;
    if (::access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate, ec)) return candidate;
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

std::vector<std::string> build_environment(const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> env;
  std::set<std::string> replaced;
  for (const auto& [k, v] : changes) replaced.insert(k);
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    auto eq = entry.find('=');
    std::string key(entry.substr(0, eq));
    if (!replaced.count(key)) env.emplace_back(entry);
  }
  for (const auto& [k, v] : changes)
    if (v) env.push_back(k + "=" + *v);
  return env;
}

}  // namespace brenik::utils
