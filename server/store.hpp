// The development server's storage: one SQLite file (WAL, busy timeout) and
// one mutex, so concurrent requests and the admin command line never
// interleave half-done work.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct sqlite3;

namespace brenik::server {

using Json = nlohmann::ordered_json;

class StoreError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct User {
  std::int64_t id = 0;
  bool active = true;
};

struct Project {
  std::int64_t id = 0;
  std::int64_t team_id = 0;
  std::string remote_key;
  std::string title;
};

struct Resource {
  std::string body;  // JSON text
  std::string etag;  // quoted entity tag
};

// Outcome of find-or-create by remote.
struct ResolveOutcome {
  enum class Kind { found, created, ambiguous, conflict, capacity } kind = Kind::found;
  Project project;
};

struct IngestOutcome {
  std::int64_t inserted = 0;  // records new or changed
};

class Store {
public:
  explicit Store(const std::string& path);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Admin.
  std::int64_t create_team(const std::string& name, std::optional<std::int64_t> project_limit);
  // New user with one key, member of the team; returns the key.
  std::string create_key(std::int64_t team_id, bool active, const std::string& email);
  void add_member(const std::string& key, std::int64_t team_id);
  void set_active(const std::string& key, bool active);
  std::int64_t create_project(std::int64_t team_id, const std::string& remote_key, const std::string& title);
  void put_resource(std::int64_t project_id, const std::string& name, const std::string& body);
  Json list_attestations(std::int64_t project_id);
  Json list_uploads(std::int64_t project_id);

  // Requests.
  std::optional<User> user_for_key(const std::string& key);
  std::vector<std::int64_t> teams_of(std::int64_t user_id);
  bool is_member(std::int64_t user_id, std::int64_t team_id);
  bool team_exists(std::int64_t team_id);
  std::optional<Project> project(std::int64_t project_id);
  ResolveOutcome resolve(std::int64_t team_id, const std::string& remote_key, const std::string& title);
  std::optional<Resource> resource(std::int64_t project_id, const std::string& name);
  // Idempotent by commit: a re-sent identical record is not counted.
  IngestOutcome ingest(std::int64_t project_id, const std::vector<std::pair<std::string, std::string>>& records,
                       const std::string& session_id);

private:
  sqlite3* db_ = nullptr;
  std::mutex mutex_;
};

}  // namespace brenik::server
