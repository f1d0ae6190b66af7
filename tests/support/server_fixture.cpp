#include "support/server_fixture.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "utils/process.hpp"

namespace brenik::testing {

fs::path server_binary() { return fs::path(BRENIK_BINARY_DIR) / "brenik-server"; }

ServerProcess::ServerProcess(const fs::path& db, const std::vector<std::string>& extra_args) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> args = {server_binary().string(), "--db", db.string(), "--port", "0"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
    dup2(fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  out_fd_ = fds[0];
  std::string line;
  while (line.find('\n') == std::string::npos) {
    pollfd p{out_fd_, POLLIN, 0};
    if (poll(&p, 1, 15000) <= 0) break;
    char buf[256];
    ssize_t n = read(out_fd_, buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  auto colon = line.rfind(':');
  if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
    kill_now();
    throw std::runtime_error("brenik-server did not start: '" + line + "'");
  }
  port_ = std::stoi(line.substr(colon + 1));
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
}

int ServerProcess::wait_exit() {
  int status = 0;
  if (pid_ > 0) waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

void ServerProcess::kill_now() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string server_admin(const fs::path& db, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {server_binary().string(), "--db", db.string(), "admin"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = utils::run(argv, {.timeout_seconds = 30.0});
  if (!r.ok()) throw std::runtime_error("admin " + (args.empty() ? "" : args[0]) + " failed: " + r.err);
  return utils::strip(r.out);
}

json::Value server_admin_json(const fs::path& db, const std::vector<std::string>& args) {
  return json::loads(server_admin(db, args));
}

ServerWorld::ServerWorld(const std::vector<std::string>& extra_args, std::optional<int> limit) {
  db = dir.path() / "server.sqlite";
  std::vector<std::string> team_args = {"create-team", "acme"};
  if (limit) {
    team_args.push_back("--project-limit");
    team_args.push_back(std::to_string(*limit));
  }
  team = server_admin(db, team_args);
  key = server_admin(db, {"create-key", "--team", team, "--email", "dev@example.test"});
  server.emplace(db, extra_args);
}

void ServerWorld::restart(const std::vector<std::string>& extra_args) {
  server.reset();
  server.emplace(db, extra_args);
}

ServerWorld::RefusalStates ServerWorld::refusal_states() {
  RefusalStates r;
  r.inactive_key = server_admin(db, {"create-key", "--team", team, "--inactive"});
  r.two_teams_key = server_admin(db, {"create-key", "--team", team});
  r.beta_team = server_admin(db, {"create-team", "beta"});
  server_admin(db, {"add-member", "--key", r.two_teams_key, "--team", r.beta_team});
  project("https://github.com/acme/twice.git");
  project("https://github.com/acme/twice.git");
  server_admin(db, {"create-project", "--team", r.beta_team, "--remote", "https://github.com/beta/theirs.git"});
  const auto full_team = server_admin(db, {"create-team", "full", "--project-limit", "0"});
  r.full_team_key = server_admin(db, {"create-key", "--team", full_team});
  return r;
}

std::int64_t ServerWorld::project(const std::string& remote) {
  return std::stoll(server_admin(db, {"create-project", "--team", team, "--remote", remote}));
}

json::Value ServerWorld::uploads(std::int64_t project_id) const {
  return server_admin_json(db, {"list-uploads", "--project", std::to_string(project_id)});
}

json::Value ServerWorld::attestations(std::int64_t project_id) const {
  return server_admin_json(db, {"list-attestations", "--project", std::to_string(project_id)});
}

RawServer::RawServer(std::optional<std::string> reply, int max_connections)
    : reply_(std::move(reply)), max_connections_(max_connections) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 16) != 0)
    throw std::runtime_error("raw server: cannot listen");
  socklen_t len = sizeof addr;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  if (pipe2(stop_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("raw server: pipe failed");
  thread_ = std::thread([this] { loop(); });
}

RawServer::~RawServer() {
  (void)!write(stop_pipe_[1], "x", 1);
  thread_.join();
  for (int fd : held_) close(fd);
  close(listen_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
}

std::string RawServer::last_request() const {
  std::lock_guard lock(mutex_);
  return last_request_;
}

std::string RawServer::http_reply(int status, const std::string& content_type, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + content_type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

namespace {

// Reads one request: the head, then Content-Length bytes of body.
std::string read_request(int fd) {
  std::string data;
  std::size_t want = std::string::npos;
  while (want == std::string::npos || data.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 3000) <= 0) break;
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    data.append(buf, static_cast<std::size_t>(n));
    if (want == std::string::npos) {
      auto end = data.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      std::size_t length = 0;
      std::string head = data.substr(0, end);
      for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      auto cl = head.find("content-length:");
      if (cl != std::string::npos) length = std::stoul(head.substr(cl + 15));
      want = end + 4 + length;
    }
  }
  return data;
}

}  // namespace

void RawServer::loop() {
  while (accepted_.load() < max_connections_) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, 10000) <= 0) return;  // bounded: gives up when idle
    if (fds[1].revents) return;
    int c = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    ++accepted_;
    if (!reply_) {
      held_.push_back(c);  // never answered; closed in the destructor
      continue;
    }
    std::string request = read_request(c);
    {
      std::lock_guard lock(mutex_);
      last_request_ = request;
    }
    (void)!send(c, reply_->data(), reply_->size(), MSG_NOSIGNAL);
    shutdown(c, SHUT_WR);
    close(c);
  }
}

void clear_agent_environment(ScopedEnv& env) {
  for (const char* name : {"CLAUDECODE", "CLAUDE_CODE_SESSION_ID", "CLAUDE_CODE_CHILD_SESSION", "CODEX_THREAD_ID",
                           "CODEX_SANDBOX", "CODEX_SANDBOX_NETWORK_DISABLED", "CURSOR_AGENT",
                           "CURSOR_EXTENSION_HOST_ROLE", "WINDSURF_SESSION_ID", "AGENT_SESSION_ID"})
    env.unset(name);
}

int closed_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  int port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

void init_repo(const fs::path& dir, const std::optional<std::string>& origin) {
  fs::create_directories(dir);
  auto r = utils::run({"git", "init", "-q"}, {.cwd = dir});
  if (!r.ok()) throw std::runtime_error("git init failed: " + r.err);
  if (origin) {
    r = utils::run({"git", "remote", "add", "origin", *origin}, {.cwd = dir});
    if (!r.ok()) throw std::runtime_error("git remote add failed: " + r.err);
  }
}

void write_repo_config(const fs::path& repo, const json::Value& config) {
  fs::path dir = repo / ".brenik" / ".platform";
  fs::create_directories(dir);
  std::ofstream out(dir / "config.yaml", std::ios::binary);
  for (const auto& [k, v] : config.items()) out << k << ": " << v.dump() << "\n";
}

void append_log_lines(const fs::path& repo, const std::vector<json::Value>& lines) {
  fs::path dir = repo / ".brenik" / ".platform";
  fs::create_directories(dir);
  std::ofstream out(dir / "log.jsonl", std::ios::binary | std::ios::app);
  for (const auto& l : lines) out << json::dumps(l) << "\n";
}

std::vector<json::Value> read_log_lines(const fs::path& repo) {
  std::ifstream in(repo / ".brenik" / ".platform" / "log.jsonl", std::ios::binary);
  std::vector<json::Value> out;
  std::string line;
  while (std::getline(in, line))
    if (!utils::strip(line).empty()) out.push_back(json::loads(line));
  return out;
}

std::string commit_id(int i) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%040x", i + 1);
  return buf;
}

json::Value pending_record(int i, std::size_t padding) {
  json::Value r = json::Value::object();
  r["commit"] = commit_id(i);
  r["event"] = "commit";
  r["agent"] = "claude-code";
  r["subject"] = "change " + std::to_string(i);
  if (padding) r["notes"] = std::string(padding, 'x');
  return r;
}

json::Value log_line(int i, std::size_t padding) {
  json::Value r = json::Value::object();
  r["commit"] = commit_id(i);
  r["branch"] = "main";
  r["timestamp"] = "2026-12-01T10:00:00Z";
  r["agent"] = "claude-code";
  r["summary"] = "change " + std::to_string(i);
  r["synced"] = false;
  if (padding) r["notes"] = std::string(padding, 'x');
  return r;
}

std::vector<json::Value> log_lines(int from, int to) {
  std::vector<json::Value> out;
  for (int i = from; i < to; ++i) out.push_back(log_line(i));
  return out;
}

int count_synced(const std::vector<json::Value>& lines) {
  int n = 0;
  for (const auto& l : lines)
    if (l.value("synced", false)) ++n;
  return n;
}

std::vector<std::int64_t> upload_sizes(const json::Value& uploads) {
  std::vector<std::int64_t> out;
  for (const auto& u : uploads) out.push_back(u["records"].get<std::int64_t>());
  return out;
}

}  // namespace brenik::testing
