// Test support for the client and the services that talk to the server: a
// real brenik-server on an ephemeral loopback port, its admin command line,
// raw sockets that misbehave (never answer, answer junk), and small
// repository helpers.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "utils/json.hpp"
#include "support/temp_repo.hpp"

namespace brenik::testing {

namespace fs = std::filesystem;

fs::path server_binary();

// brenik-server --db DB --port 0 [extra...], started in the constructor
// (waits for its "listening on" line) and ended in the destructor.
class ServerProcess {
public:
  explicit ServerProcess(const fs::path& db, const std::vector<std::string>& extra_args = {});
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Waits for the process to end by itself (it crashed on purpose);
  // returns its raw wait status.
  int wait_exit();
  void kill_now();

private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int port_ = 0;
};

// `brenik-server --db DB admin ARGS...`: its standard output, trimmed.
// Throws std::runtime_error (with stderr) on a non-zero exit.
std::string server_admin(const fs::path& db, const std::vector<std::string>& args);
json::Value server_admin_json(const fs::path& db, const std::vector<std::string>& args);

// A team with a user key on a running server: the usual starting point.
struct ServerWorld {
  explicit ServerWorld(const std::vector<std::string>& extra_args = {},
                       std::optional<int> project_limit = std::nullopt);
  TempDir dir;
  fs::path db;
  std::string team;
  std::string key;
  std::optional<ServerProcess> server;
  std::string url() const { return server->url(); }
  // Restarts the server on the same database (new port).
  void restart(const std::vector<std::string>& extra_args = {});
  // Creates a project for the team by remote; returns its id.
  std::int64_t project(const std::string& remote);
  json::Value uploads(std::int64_t project_id) const;

  // Keys and teams in every state the server refuses in: an inactive key, a
  // key in two teams (the second "beta", which owns
  // https://github.com/beta/theirs.git), a key of a team with no room for a
  // project; the world's own team holds https://github.com/acme/twice.git.
  struct RefusalStates {
    std::string inactive_key;
    std::string two_teams_key;
    std::string beta_team;
    std::string full_team_key;
  };
  RefusalStates refusal_states();
  json::Value attestations(std::int64_t project_id) const;
};

// A listener on 127.0.0.1 that reads each request and then answers with a
// canned byte string and closes, or (reply none) never answers at all.
// Serves at most max_connections, gives up after 10 s without a client, and
// stops in its destructor.
class RawServer {
public:
  explicit RawServer(std::optional<std::string> reply, int max_connections = 16);
  ~RawServer();
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int accepted() const { return accepted_.load(); }
  // The last request's head and body as received.
  std::string last_request() const;

  static std::string http_reply(int status, const std::string& content_type, const std::string& body);
  static constexpr const char* GARBAGE = "\x01\x02 this is not HTTP at all \xff\xfe\r\n\r\n<html>oops";

private:
  void loop();
  std::optional<std::string> reply_;
  int max_connections_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::vector<int> held_;
  mutable std::mutex mutex_;
  std::string last_request_;
  std::thread thread_;
};

// Removes the environment variables by which the agent adapters recognise a
// running harness, so tests see no active agent.
void clear_agent_environment(ScopedEnv& env);

// A loopback port on which nothing listens (bound, then closed).
int closed_port();

// git init in dir, with the origin remote set when given.
void init_repo(const fs::path& dir, const std::optional<std::string>& origin = std::nullopt);

// A repository set up for uploads: .brenik/.platform/config.yaml holding
// project_id, and log lines appended to .brenik/.platform/log.jsonl.
void write_repo_config(const fs::path& repo, const json::Value& config);
void append_log_lines(const fs::path& repo, const std::vector<json::Value>& lines);
std::vector<json::Value> read_log_lines(const fs::path& repo);
// A pending record of commit number i: a 40-hex commit id and some payload.
json::Value pending_record(int i, std::size_t padding = 0);
std::string commit_id(int i);
// A log line of commit number i as the commit paths write it (summary
// members, synced false), padded with a "notes" member of `padding` bytes.
json::Value log_line(int i, std::size_t padding = 0);
// log_line(i) for i in [from, to).
std::vector<json::Value> log_lines(int from, int to);
// How many of the lines are marked synced.
int count_synced(const std::vector<json::Value>& lines);
// The record count of each upload the server stored, in order.
std::vector<std::int64_t> upload_sizes(const json::Value& uploads);

}  // namespace brenik::testing
