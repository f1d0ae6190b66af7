// What every route of the development server shares: the store, the
// options (including the fault switches used by tests), reply helpers and
// the authentication steps.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <httplib.h>

#include "store.hpp"

namespace brenik::server {

inline constexpr std::size_t MAX_BODY_BYTES = 64u * 1024u * 1024u;
// Deepest nesting of arrays and objects a request body may have: what is
// parsed, stored and later serialised again is walked recursively, and one
// request must not be able to exhaust the stack of the whole server.
inline constexpr std::size_t MAX_JSON_DEPTH = 256;
// Largest single attestation record stored (its JSON text).
inline constexpr std::size_t MAX_RECORD_BYTES = 16u * 1024u * 1024u;

struct ServerOptions {
  std::string db;
  std::string host = "127.0.0.1";
  int port = 0;
  // Test switches. fail_upload_after N: the (N+1)-th upload request is
  // answered 503 without storing anything (later ones succeed again).
  // crash_on_upload N: the N-th upload request ends the process after its
  // body is read and before anything is stored or answered.
  std::optional<int> fail_upload_after;
  std::optional<int> crash_on_upload;
  // pause_upload_while FILE: an upload request creates FILE.seen, then waits
  // (up to 10 s) while FILE exists, so a test can act while a batch is in
  // flight.
  std::optional<std::string> pause_upload_while;
  // max_record_bytes N: a lower per-record limit than MAX_RECORD_BYTES, so a
  // test can exercise the refusal without sending megabytes.
  std::size_t max_record_bytes = MAX_RECORD_BYTES;
};

struct App {
  Store& store;
  ServerOptions options;
  std::atomic<int> upload_requests{0};
};

void send_json(httplib::Response& res, int status, const Json& body);
void send_error(httplib::Response& res, int status, const std::string& code, const std::string& message);

// The caller's user, or none after a 401/402 answer was sent.
std::optional<User> authenticate(App& app, const httplib::Request& req, httplib::Response& res);

// The project named in the path when the caller may use it; none after an
// error answer (401, 402, 404, 403) was sent.
std::optional<Project> authorize_project(App& app, const httplib::Request& req, httplib::Response& res,
                                         const std::string& id_text);

// The body as a JSON value, or none after a 400 answer was sent (not JSON,
// or nested deeper than MAX_JSON_DEPTH).
std::optional<Json> json_body(const httplib::Request& req, httplib::Response& res);

void register_project_routes(httplib::Server& server, App& app);
void register_context_routes(httplib::Server& server, App& app);
void register_attestation_routes(httplib::Server& server, App& app);

// `brenik-server --db F admin ...`; returns the exit status.
int run_admin(Store& store, const std::vector<std::string>& args);

}  // namespace brenik::server
