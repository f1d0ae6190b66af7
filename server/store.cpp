#include "store.hpp"

#include <sqlite3.h>

#include <memory>
#include <random>

#include "utils/sha256.hpp"

namespace brenik::server {

namespace {

const char* SCHEMA = R"SQL(
CREATE TABLE IF NOT EXISTS teams(id INTEGER PRIMARY KEY, name TEXT NOT NULL, project_limit INTEGER);
CREATE TABLE IF NOT EXISTS users(id INTEGER PRIMARY KEY, email TEXT, active INTEGER NOT NULL DEFAULT 1);
CREATE TABLE IF NOT EXISTS api_keys(key TEXT PRIMARY KEY, user_id INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS memberships(user_id INTEGER NOT NULL, team_id INTEGER NOT NULL,
  PRIMARY KEY(user_id, team_id));
CREATE TABLE IF NOT EXISTS projects(id INTEGER PRIMARY KEY, team_id INTEGER NOT NULL,
  remote_key TEXT, title TEXT);
CREATE INDEX IF NOT EXISTS projects_remote ON projects(remote_key);
CREATE TABLE IF NOT EXISTS resources(project_id INTEGER NOT NULL, name TEXT NOT NULL,
  body TEXT NOT NULL, etag TEXT NOT NULL, PRIMARY KEY(project_id, name));
CREATE TABLE IF NOT EXISTS attestations(project_id INTEGER NOT NULL, commit_id TEXT NOT NULL,
  record TEXT NOT NULL, session_id TEXT, PRIMARY KEY(project_id, commit_id));
CREATE TABLE IF NOT EXISTS upload_requests(id INTEGER PRIMARY KEY, project_id INTEGER NOT NULL,
  records INTEGER NOT NULL, inserted INTEGER NOT NULL, session_id TEXT);
)SQL";

struct StmtDeleter {
  void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};

// One prepared statement, bound by position, stepped to its rows.
class Stmt {
public:
  Stmt(sqlite3* db, const char* sql) : db_(db) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK)
      throw StoreError(std::string("prepare: ") + sqlite3_errmsg(db));
    stmt_.reset(raw);
  }
  Stmt& bind(int i, std::int64_t v) {
    sqlite3_bind_int64(stmt_.get(), i, v);
    return *this;
  }
  Stmt& bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_.get(), i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& bind_null(int i) {
    sqlite3_bind_null(stmt_.get(), i);
    return *this;
  }
  bool step() {
    int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError(std::string("step: ") + sqlite3_errmsg(db_));
  }
  std::int64_t integer(int col) { return sqlite3_column_int64(stmt_.get(), col); }
  bool is_null(int col) { return sqlite3_column_type(stmt_.get(), col) == SQLITE_NULL; }
  std::string text(int col) {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_.get(), col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_.get(), col))) : std::string();
  }

private:
  sqlite3* db_;
  std::unique_ptr<sqlite3_stmt, StmtDeleter> stmt_;
};

void exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "unknown";
    sqlite3_free(err);
    throw StoreError("exec: " + msg);
  }
}

// BEGIN IMMEDIATE ... COMMIT, rolled back when the scope is left by an error.
class Transaction {
public:
  explicit Transaction(sqlite3* db) : db_(db) { exec(db_, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void commit() {
    exec(db_, "COMMIT");
    done_ = true;
  }

private:
  sqlite3* db_;
  bool done_ = false;
};

std::string new_key() {
  std::random_device rd;
  static const char* hex = "0123456789abcdef";
  std::string key = "bk_";
  for (int i = 0; i < 40; ++i) key += hex[rd() % 16];
  return key;
}

}  // namespace

Store::Store(const std::string& path) {
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("cannot open database " + path + ": " + msg);
  }
  sqlite3_busy_timeout(db_, 10000);
  exec(db_, "PRAGMA journal_mode=WAL");
  exec(db_, "PRAGMA synchronous=NORMAL");
  exec(db_, SCHEMA);
}

Store::~Store() { sqlite3_close(db_); }

std::int64_t Store::create_team(const std::string& name, std::optional<std::int64_t> limit) {
  std::lock_guard lock(mutex_);
  Stmt s(db_, "INSERT INTO teams(name, project_limit) VALUES(?, ?)");
  s.bind(1, name);
  if (limit)
    s.bind(2, *limit);
  else
    s.bind_null(2);
  s.step();
  return sqlite3_last_insert_rowid(db_);
}

std::string Store::create_key(std::int64_t team_id, bool active, const std::string& email) {
  std::lock_guard lock(mutex_);
  Transaction tx(db_);
  {
    Stmt t(db_, "SELECT 1 FROM teams WHERE id = ?");
    if (!t.bind(1, team_id).step()) throw StoreError("no team " + std::to_string(team_id));
  }
  Stmt u(db_, "INSERT INTO users(email, active) VALUES(?, ?)");
  u.bind(1, email).bind(2, active ? 1 : 0).step();
  std::int64_t user = sqlite3_last_insert_rowid(db_);
  std::string key = new_key();
  Stmt k(db_, "INSERT INTO api_keys(key, user_id) VALUES(?, ?)");
  k.bind(1, key).bind(2, user).step();
  Stmt m(db_, "INSERT INTO memberships(user_id, team_id) VALUES(?, ?)");
  m.bind(1, user).bind(2, team_id).step();
  tx.commit();
  return key;
}

void Store::add_member(const std::string& key, std::int64_t team_id) {
  std::lock_guard lock(mutex_);
  Stmt t(db_, "SELECT 1 FROM teams WHERE id = ?");
  if (!t.bind(1, team_id).step()) throw StoreError("no team " + std::to_string(team_id));
  Stmt u(db_, "SELECT user_id FROM api_keys WHERE key = ?");
  if (!u.bind(1, key).step()) throw StoreError("no such key");
  Stmt m(db_, "INSERT OR IGNORE INTO memberships(user_id, team_id) VALUES(?, ?)");
  m.bind(1, u.integer(0)).bind(2, team_id).step();
}

void Store::set_active(const std::string& key, bool active) {
  std::lock_guard lock(mutex_);
  Stmt s(db_, "UPDATE users SET active = ? WHERE id = (SELECT user_id FROM api_keys WHERE key = ?)");
  s.bind(1, active ? 1 : 0).bind(2, key).step();
  if (sqlite3_changes(db_) == 0) throw StoreError("no such key");
}

std::int64_t Store::create_project(std::int64_t team_id, const std::string& remote_key, const std::string& title) {
  std::lock_guard lock(mutex_);
  Stmt t(db_, "SELECT 1 FROM teams WHERE id = ?");
  if (!t.bind(1, team_id).step()) throw StoreError("no team " + std::to_string(team_id));
  Stmt s(db_, "INSERT INTO projects(team_id, remote_key, title) VALUES(?, ?, ?)");
  s.bind(1, team_id);
  if (remote_key.empty())
    s.bind_null(2);
  else
    s.bind(2, remote_key);
  s.bind(3, title).step();
  return sqlite3_last_insert_rowid(db_);
}

void Store::put_resource(std::int64_t project_id, const std::string& name, const std::string& body) {
  std::lock_guard lock(mutex_);
  std::string etag = "\"" + utils::sha256_hex(body).substr(0, 32) + "\"";
  Stmt s(db_,
         "INSERT INTO resources(project_id, name, body, etag) VALUES(?, ?, ?, ?) "
         "ON CONFLICT(project_id, name) DO UPDATE SET body = excluded.body, etag = excluded.etag");
  s.bind(1, project_id).bind(2, name).bind(3, body).bind(4, etag).step();
}

Json Store::list_attestations(std::int64_t project_id) {
  std::lock_guard lock(mutex_);
  Json out = Json::array();
  Stmt s(db_,
         "SELECT commit_id, record, session_id FROM attestations WHERE project_id = ? "
         "ORDER BY rowid");
  s.bind(1, project_id);
  while (s.step()) {
    Json row = Json::object();
    row["commit"] = s.text(0);
    row["record"] = Json::parse(s.text(1), nullptr, false);
    row["session_id"] = s.is_null(2) ? Json() : Json(s.text(2));
    out.push_back(std::move(row));
  }
  return out;
}

Json Store::list_uploads(std::int64_t project_id) {
  std::lock_guard lock(mutex_);
  Json out = Json::array();
  Stmt s(db_,
         "SELECT records, inserted, session_id FROM upload_requests WHERE project_id = ? "
         "ORDER BY id");
  s.bind(1, project_id);
  while (s.step()) {
    Json row = Json::object();
    row["records"] = s.integer(0);
    row["inserted"] = s.integer(1);
    row["session_id"] = s.is_null(2) ? Json() : Json(s.text(2));
    out.push_back(std::move(row));
  }
  return out;
}

std::optional<User> Store::user_for_key(const std::string& key) {
  std::lock_guard lock(mutex_);
  Stmt s(db_, "SELECT u.id, u.active FROM api_keys k JOIN users u ON u.id = k.user_id WHERE k.key = ?");
  if (!s.bind(1, key).step()) return std::nullopt;
  return User{s.integer(0), s.integer(1) != 0};
}

std::vector<std::int64_t> Store::teams_of(std::int64_t user_id) {
  std::lock_guard lock(mutex_);
  std::vector<std::int64_t> out;
  Stmt s(db_, "SELECT team_id FROM memberships WHERE user_id = ? ORDER BY team_id");
  s.bind(1, user_id);
  while (s.step()) out.push_back(s.integer(0));
  return out;
}

bool Store::is_member(std::int64_t user_id, std::int64_t team_id) {
  std::lock_guard lock(mutex_);
  Stmt s(db_, "SELECT 1 FROM memberships WHERE user_id = ? AND team_id = ?");
  return s.bind(1, user_id).bind(2, team_id).step();
}

bool Store::team_exists(std::int64_t team_id) {
  std::lock_guard lock(mutex_);
  Stmt s(db_, "SELECT 1 FROM teams WHERE id = ?");
  return s.bind(1, team_id).step();
}

std::optional<Project> Store::project(std::int64_t project_id) {
  std::lock_guard lock(mutex_);
  Stmt s(db_, "SELECT id, team_id, remote_key, title FROM projects WHERE id = ?");
  if (!s.bind(1, project_id).step()) return std::nullopt;
  return Project{s.integer(0), s.integer(1), s.text(2), s.text(3)};
}

ResolveOutcome Store::resolve(std::int64_t team_id, const std::string& remote_key, const std::string& title) {
  std::lock_guard lock(mutex_);
  Transaction tx(db_);
  ResolveOutcome out;
  std::vector<Project> own;
  bool elsewhere = false;
  {
    Stmt s(db_, "SELECT id, team_id, remote_key, title FROM projects WHERE remote_key = ? ORDER BY id");
    s.bind(1, remote_key);
    while (s.step()) {
      Project p{s.integer(0), s.integer(1), s.text(2), s.text(3)};
      if (p.team_id == team_id)
        own.push_back(p);
      else
        elsewhere = true;
    }
  }
  if (own.size() > 1) {
    out.kind = ResolveOutcome::Kind::ambiguous;
    return out;
  }
  if (own.size() == 1) {
    out.kind = ResolveOutcome::Kind::found;
    out.project = own.front();
    return out;
  }
  if (elsewhere) {
    out.kind = ResolveOutcome::Kind::conflict;
    return out;
  }
  {
    Stmt l(db_,
           "SELECT project_limit, (SELECT COUNT(*) FROM projects WHERE team_id = teams.id) "
           "FROM teams WHERE id = ?");
    if (l.bind(1, team_id).step() && !l.is_null(0) && l.integer(1) >= l.integer(0)) {
      out.kind = ResolveOutcome::Kind::capacity;
      return out;
    }
  }
  Stmt ins(db_, "INSERT INTO projects(team_id, remote_key, title) VALUES(?, ?, ?)");
  ins.bind(1, team_id).bind(2, remote_key).bind(3, title).step();
  out.kind = ResolveOutcome::Kind::created;
  out.project = Project{sqlite3_last_insert_rowid(db_), team_id, remote_key, title};
  tx.commit();
  return out;
}

std::optional<Resource> Store::resource(std::int64_t project_id, const std::string& name) {
  std::lock_guard lock(mutex_);
  Stmt s(db_, "SELECT body, etag FROM resources WHERE project_id = ? AND name = ?");
  if (!s.bind(1, project_id).bind(2, name).step()) return std::nullopt;
  return Resource{s.text(0), s.text(1)};
}

IngestOutcome Store::ingest(std::int64_t project_id, const std::vector<std::pair<std::string, std::string>>& records,
                            const std::string& session_id) {
  std::lock_guard lock(mutex_);
  Transaction tx(db_);
  IngestOutcome out;
  for (const auto& [commit, record] : records) {
    Stmt f(db_, "SELECT record FROM attestations WHERE project_id = ? AND commit_id = ?");
    f.bind(1, project_id).bind(2, commit);
    bool exists = f.step();
    if (exists && f.text(0) == record) continue;
    Stmt w(db_,
           "INSERT INTO attestations(project_id, commit_id, record, session_id) VALUES(?, ?, ?, ?) "
           "ON CONFLICT(project_id, commit_id) DO UPDATE SET record = excluded.record, "
           "session_id = excluded.session_id");
    w.bind(1, project_id).bind(2, commit).bind(3, record);
    if (session_id.empty())
      w.bind_null(4);
    else
      w.bind(4, session_id);
    w.step();
    ++out.inserted;
  }
  Stmt r(db_, "INSERT INTO upload_requests(project_id, records, inserted, session_id) VALUES(?, ?, ?, ?)");
  r.bind(1, project_id).bind(2, static_cast<std::int64_t>(records.size())).bind(3, out.inserted);
  if (session_id.empty())
    r.bind_null(4);
  else
    r.bind(4, session_id);
  r.step();
  tx.commit();
  return out;
}

}  // namespace brenik::server
