// The one way this library talks to the brenik server. The wire protocol
// (paths, bodies, status codes) is written down in docs/protocol.md.
//
// Every call is synchronous, on the caller's thread, one HTTPS request (or a
// few for the declarative state), with a default time limit per request and
// an optional shared limit for a whole scope (network_budget).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "utils/errors.hpp"
#include "utils/json.hpp"

#pragma GCC visibility push(default)

namespace brenik::protocol::http_client {

// Refusal codes the server sends in {"error": {"code": ...}}.
inline constexpr const char* CODE_KEY_REJECTED = "key_rejected";
inline constexpr const char* CODE_ACCOUNT_INACTIVE = "account_inactive";
inline constexpr const char* CODE_AMBIGUOUS_TEAM = "ambiguous_team";
inline constexpr const char* CODE_REPO_AMBIGUOUS = "repo_ambiguous";
inline constexpr const char* CODE_REPO_CONFLICT = "repo_conflict";
inline constexpr const char* CODE_NOT_A_MEMBER = "not_a_member";
inline constexpr const char* CODE_CAPACITY = "capacity";
inline constexpr const char* CODE_BAD_REMOTE = "bad_remote";

// Per-request limits when no tighter budget is in force.
inline constexpr double DEFAULT_TIMEOUT_SECONDS = 30.0;
inline constexpr double DEFAULT_CONNECT_TIMEOUT_SECONDS = 10.0;
// Largest response body accepted; anything bigger is a protocol error.
inline constexpr std::size_t MAX_RESPONSE_BYTES = 64u * 1024u * 1024u;

// The server refused the request for a reason the user can act on.
class AgentApiError : public Error {
public:
  AgentApiError(std::string code, const std::string& message, long status = 0,
                std::source_location where = std::source_location::current())
      : Error("AgentApiError", message, where), code(std::move(code)), status(status) {}
  std::string code;
  long status;
};

// The server answered with an error status that carries no refusal code
// (404, 429, 5xx, ...).
class HTTPError : public Error {
public:
  HTTPError(long status, const std::string& message, std::source_location where = std::source_location::current())
      : Error("HTTPError", message, where), status(status) {}
  long status;
};

// The answer was not what the protocol says: not JSON, truncated, wrong
// shape, too large, or not HTTP at all.
class ProtocolError : public Error {
public:
  explicit ProtocolError(const std::string& message, std::source_location where = std::source_location::current())
      : Error("ProtocolError", message, where) {}
};

// An upload that failed, for whatever reason. It is a RuntimeError (what the
// uploader turns into a failed result); when the server refused the batch,
// `code` keeps the refusal code so the caller can give the matching advice,
// `status` the HTTP status (0 when no answer came) and `detail` the
// server's own words.
class UploadError : public RuntimeError {
public:
  explicit UploadError(const std::string& message, std::optional<std::string> code = std::nullopt, long status = 0,
                       std::string detail = {}, std::source_location where = std::source_location::current())
      : RuntimeError(message, where), code(std::move(code)), status(status), detail(std::move(detail)) {}
  std::optional<std::string> code;
  long status;
  std::string detail;
};

// The URL would carry the API key somewhere it must not go (plain http to a
// non-loopback host, another scheme, unparsable).
class InsecureURLError : public Error {
public:
  explicit InsecureURLError(const std::string& message, std::source_location where = std::source_location::current())
      : Error("InsecureURLError", message, where) {}
};

// A scope in which all server calls of this thread together stop after the
// given number of seconds. Nested budgets take the tighter deadline; leaving
// a scope restores the outer one. The deadline is thread-local on purpose:
// the callers that set a budget (the commit hook's upload) make their calls
// on the thread that opened the scope, and a thread-local keeps every call
// signature free of a deadline argument. Calls made on other threads are
// not covered.
class NetworkBudget {
public:
  explicit NetworkBudget(double seconds);
  ~NetworkBudget();
  NetworkBudget(const NetworkBudget&) = delete;
  NetworkBudget& operator=(const NetworkBudget&) = delete;

private:
  std::optional<std::chrono::steady_clock::time_point> previous_;
};

[[nodiscard]] NetworkBudget network_budget(double seconds);

// Seconds left in the current budget of this thread, or none when no budget
// is in force.
std::optional<double> budget_remaining();

// Time spent inside HTTP exchanges (from handing the request to the
// transport to having the whole answer) accumulates into `seconds` while
// the scope lives, on this thread; used to tell transport time from the
// caller's own work.
class TransferTimer {
public:
  explicit TransferTimer(double& seconds);
  ~TransferTimer();
  TransferTimer(const TransferTimer&) = delete;
  TransferTimer& operator=(const TransferTimer&) = delete;

private:
  double* previous_;
};

struct FetchSystemContextOptions {
  std::optional<json::Value> systems = std::nullopt;
};

struct DeclarativeStateOptions {
  json::Value etags = json::Value::object();  // resource name -> entity tag
};

// state: resource name -> payload, only for resources answered 200.
// etags: the given tags updated with every fresh answer's tag.
// fetch_statuses: resource name -> HTTP status of its fetch (200, 304, 401, 503...).
struct DeclarativeState {
  json::Value state = json::Value::object();
  json::Value etags = json::Value::object();
  json::Value fetch_statuses = json::Value::object();
};

// Resources making up the declarative state, in fetch order.
inline const std::vector<std::string> DECLARATIVE_RESOURCES = {"brenikrules", "brenikstate"};

struct FetchSpecsOptions {
  std::optional<std::string> etag = std::nullopt;
};

struct UploadOptions {
  std::optional<std::map<std::string, std::string>> extra_headers = std::nullopt;
};

json::Value fetch_context(const std::string& project_id, const std::string& api_key, const std::string& api_url);

json::Value fetch_system_context(const std::string& project_id, const std::string& api_key, const std::string& api_url,
                                 const FetchSystemContextOptions& options = {});

DeclarativeState fetch_declarative_state_detailed(const std::string& project_id, const std::string& api_key,
                                                  const std::string& api_url,
                                                  const DeclarativeStateOptions& options = {});

// (payload, tag). Payload absent when the server answered 304; the tag is
// then the one sent (or the one the 304 named).
std::pair<std::optional<json::Value>, std::optional<std::string>> fetch_all_specs(
    const std::string& api_key, const std::string& api_url, const std::string& project_id,
    const FetchSpecsOptions& options = {});

json::Value fetch_guardrails(const std::string& project_id, const std::string& api_key, const std::string& api_url);
json::Value fetch_skills(const std::string& project_id, const std::string& api_key, const std::string& api_url);
json::Value fetch_custom_docs(const std::string& project_id, const std::string& api_key, const std::string& api_url);
json::Value fetch_memories(const std::string& project_id, const std::string& api_key, const std::string& api_url);

// {"projectId": N, "title": ..., "created": bool}, returned as decoded: the
// caller judges its shape. Refusals raise AgentApiError; anything else that
// goes wrong raises another Error kind.
json::Value resolve_project(const std::string& api_key, const std::string& api_url, const std::string& origin_remote,
                            std::optional<std::int64_t> team_id);

// POSTs one batch; returns the server's answer ({"inserted": N}, N between 0
// and the batch's size when present). Every failure, whatever its cause, is
// an UploadError (a RuntimeError) describing it, carrying the refusal code
// and status when the server refused.
json::Value upload_attestations(const std::string& api_key, const std::string& api_url, const json::Value& project_id,
                                const std::vector<json::Value>& batch, const UploadOptions& options = {});

// The HTTP status the server gives an authenticated request for a project's
// page: how a key is tried before it is kept (401 and 402 refuse it). Throws
// as any request does.
long key_check_status(const std::string& api_key, const std::string& api_url);

// Throws InsecureURLError unless a key may be sent to the URL (https, or
// http to this machine).
void require_safe_url(const std::string& url);

#pragma GCC visibility pop

namespace detail {

// base + "/" + path with exactly one slash between them.
std::string join_url(const std::string& base, const std::string& path);

// Throws InsecureURLError unless the URL is https, or http to a loopback
// host (127.0.0.0/8, ::1, localhost).
void check_url_safe(const std::string& url);

// The URL's scheme is plain http (the request is sent in clear).
bool uses_plain_http(const std::string& url);

// Percent-encodes one path segment.
std::string encode_segment(const std::string& text);

// Project id (integer or text) as a path segment; ValueError when empty.
std::string project_segment(const json::Value& project_id);

struct Response {
  long status = 0;
  std::string body;
  std::map<std::string, std::string> headers;  // lower-case names, last wins
};

struct Request {
  std::string method = "GET";
  std::string url;
  std::string api_key;
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> body = std::nullopt;  // JSON text
};

// One exchange. Throws InsecureURLError, TimeoutError, ConnectionError or
// ProtocolError; any HTTP status comes back in the response.
Response perform(const Request& request);

// Turns a non-2xx answer into AgentApiError (known refusal code, or 401/402)
// or HTTPError.
[[noreturn]] void raise_for_status(const Response& response);

// The body decoded as JSON; ProtocolError when it is not.
json::Value decode_json(const Response& response);

}  // namespace detail
}  // namespace brenik::protocol::http_client
