#include "commands/mcp_protocol.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "utils/best_effort.hpp"

namespace brenik::commands::mcp {

const std::vector<std::string> SUPPORTED_VERSIONS = {HANDSHAKE_FREE_VERSION, "2025-11-25", "2025-06-18", "2025-03-26",
                                                     "2024-11-05"};

namespace {

constexpr std::size_t READ_CHUNK = 1 << 16;
// How long a client may cache what never changes in a process: the tools.
constexpr std::int64_t LIST_TTL_MS = 3600000;

bool supported(const std::string& version) {
  return std::find(SUPPORTED_VERSIONS.begin(), SUPPORTED_VERSIONS.end(), version) != SUPPORTED_VERSIONS.end();
}

json::Value versions_array() {
  json::Value a = json::Value::array();
  for (const auto& v : SUPPORTED_VERSIONS) a.push_back(v);
  return a;
}

// A protocol failure of one request: becomes its JSON-RPC error.
struct RpcError {
  int code;
  std::string message;
  std::optional<json::Value> data = std::nullopt;
};

// Keeps the top-level "id" of an object while the parser walks a text that
// may end abruptly; everything else is ignored.
struct IdFinder {
  using number_integer_t = json::Value::number_integer_t;
  using number_unsigned_t = json::Value::number_unsigned_t;
  using number_float_t = json::Value::number_float_t;
  using string_t = json::Value::string_t;
  using binary_t = json::Value::binary_t;

  int depth = 0;
  bool next_is_id = false;
  json::Value id;
  bool found = false;

  bool take(json::Value v) {
    if (next_is_id && depth == 1) {
      id = std::move(v);
      found = true;
    }
    next_is_id = false;
    return true;
  }
  bool null() { return take(nullptr); }
  bool boolean(bool) { return take(nullptr); }
  bool number_integer(number_integer_t v) { return take(v); }
  bool number_unsigned(number_unsigned_t v) { return take(v); }
  bool number_float(number_float_t v, const string_t&) { return take(v); }
  bool string(string_t& v) { return take(v); }
  bool binary(binary_t&) { return take(nullptr); }
  bool start_object(std::size_t) {
    next_is_id = false;
    ++depth;
    return true;
  }
  bool key(string_t& k) {
    next_is_id = depth == 1 && k == "id";
    return true;
  }
  bool end_object() {
    --depth;
    return true;
  }
  bool start_array(std::size_t) {
    next_is_id = false;
    ++depth;
    return true;
  }
  bool end_array() {
    --depth;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }
};

bool valid_id(const json::Value& id) { return id.is_string() || id.is_number_integer() || id.is_null(); }

}  // namespace

LineReader::LineReader(int fd, std::size_t max_bytes) : fd_(fd), max_bytes_(max_bytes) {}

bool LineReader::fill() {
  if (eof_) return false;
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  char chunk[READ_CHUNK];
  for (;;) {
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
}

std::optional<LineReader::Line> LineReader::next() {
  Line line;
  for (;;) {
    const std::size_t nl = buffer_.find('\n', start_);
    const std::size_t end = nl == std::string::npos ? buffer_.size() : nl;
    const std::size_t room = max_bytes_ > line.text.size() ? max_bytes_ - line.text.size() : 0;
    const std::size_t take = std::min(end - start_, room);
    line.text.append(buffer_, start_, take);
    if (end - start_ > take) line.truncated = true;
    if (nl != std::string::npos) {
      start_ = nl + 1;
      return line;
    }
    start_ = buffer_.size();
    if (!fill()) {
      if (line.text.empty() && !line.truncated) return std::nullopt;
      return line;
    }
  }
}

json::Value error_response(const json::Value& id, int code, const std::string& message,
                           const std::optional<json::Value>& data) {
  json::Value error = {{"code", code}, {"message", message}};
  if (data) error["data"] = *data;
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", std::move(error)}};
}

std::string serialize(const json::Value& message) {
  return message.dump(-1, ' ', false, json::Value::error_handler_t::replace);
}

json::Value id_of_prefix(std::string_view start) {
  IdFinder finder;
  // A prefix stops short by its nature: the id found before it stopped stands.
  utils::best_effort(utils::unlogged,
                     [&] { json::Value::sax_parse(start, &finder, json::Value::input_format_t::json, false); });
  return finder.found && valid_id(finder.id) ? finder.id : json::Value();
}

Server::Server(ServerInfo info, std::vector<ToolSpec> tools, ToolCaller call)
    : info_(std::move(info)), tools_(std::move(tools)), call_(std::move(call)) {}

std::optional<std::string> Server::handle_line(std::string_view line) {
  // Blank lines between messages carry nothing.
  if (line.find_first_not_of(" \t\r") == std::string_view::npos) return std::nullopt;
  if (json::nesting_depth(line, MAX_NESTING) > MAX_NESTING)
    return serialize(
        error_response(id_of_prefix(line), INVALID_REQUEST,
                       "Invalid Request: nested more than " + std::to_string(MAX_NESTING) + " levels deep"));
  json::Value message = json::Value::parse(line, nullptr, false);
  if (message.is_discarded()) return serialize(error_response(nullptr, PARSE_ERROR, "Parse error: not a JSON text"));
  if (message.is_array()) {
    // A batch (older revisions): one answer array, notifications left out.
    if (message.empty()) return serialize(error_response(nullptr, INVALID_REQUEST, "Invalid Request: empty batch"));
    json::Value answers = json::Value::array();
    for (const auto& m : message)
      if (auto a = handle(m)) answers.push_back(std::move(*a));
    if (answers.empty()) return std::nullopt;
    return serialize(answers);
  }
  auto answer = handle(message);
  if (!answer) return std::nullopt;
  return serialize(*answer);
}

std::string Server::oversized(std::string_view start) const {
  return serialize(
      error_response(id_of_prefix(start), INVALID_REQUEST,
                     "Invalid Request: message over " + std::to_string(MAX_MESSAGE_BYTES >> 20) + " MiB; ignored"));
}

std::optional<json::Value> Server::handle(const json::Value& message) {
  if (!message.is_object()) return error_response(nullptr, INVALID_REQUEST, "Invalid Request: not an object");
  const auto id_it = message.find("id");
  const bool notification = id_it == message.end();
  const json::Value id = notification ? json::Value() : *id_it;
  const auto method_it = message.find("method");
  if (method_it == message.end()) {
    // A client's answer to a request of ours: we send none, so nothing to do.
    if (message.contains("result") || message.contains("error")) return std::nullopt;
    if (notification) return std::nullopt;
    return error_response(valid_id(id) ? id : json::Value(), INVALID_REQUEST, "Invalid Request: no method");
  }
  if (member(message, "jsonrpc") != "2.0" || !method_it->is_string() || !valid_id(id)) {
    if (notification) return std::nullopt;
    return error_response(valid_id(id) ? id : json::Value(), INVALID_REQUEST,
                          "Invalid Request: not a JSON-RPC 2.0 request");
  }
  const std::string method = method_it->get<std::string>();
  const json::Value& params = member(message, "params");
  if (notification) return std::nullopt;  // notifications/initialized, cancelled...: nothing to answer
  try {
    if (!params.is_null() && !params.is_object()) throw RpcError{INVALID_PARAMS, "Invalid params: not an object"};
    bool modern = false;
    json::Value result = dispatch(method, params, modern);
    if (modern) {
      result["resultType"] = "complete";
      result["_meta"] = {{META_SERVER_INFO, {{"name", info_.name}, {"version", info_.version}}}};
    }
    return json::Value{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
  } catch (const RpcError& e) {
    return error_response(id, e.code, e.message, e.data);
  } catch (const std::exception& e) {
    return error_response(id, INTERNAL_ERROR, std::string("Internal error: ") + e.what());
  }
}

json::Value Server::dispatch(const std::string& method, const json::Value& params, bool& modern) {
  // A request of the handshake-free revision names its revision itself.
  const json::Value& requested = member(member(params, "_meta"), META_PROTOCOL_VERSION);
  if (!requested.is_null()) {
    const std::string version = requested.is_string() ? requested.get<std::string>() : json::text_form(requested);
    if (!requested.is_string() || !supported(version))
      throw RpcError{UNSUPPORTED_PROTOCOL_VERSION, "Unsupported protocol version",
                     json::Value{{"supported", versions_array()}, {"requested", requested}}};
    modern = version == HANDSHAKE_FREE_VERSION;
  }

  if (method == "initialize") {
    const json::Value& asked = member(params, "protocolVersion");
    std::string version = LATEST_HANDSHAKE_VERSION;
    if (asked.is_string() && supported(asked.get<std::string>()) && asked.get<std::string>() != HANDSHAKE_FREE_VERSION)
      version = asked.get<std::string>();
    modern = false;
    json::Value result = {{"protocolVersion", version},
                          {"capabilities", {{"tools", {{"listChanged", false}}}}},
                          {"serverInfo", {{"name", info_.name}, {"version", info_.version}}}};
    if (!info_.instructions.empty()) result["instructions"] = info_.instructions;
    return result;
  }
  if (method == "server/discover") {
    modern = true;
    return discover();
  }
  if (method == "ping") return json::Value::object();
  if (method == "tools/list") {
    json::Value result = list_tools();
    if (modern) {
      result["ttlMs"] = LIST_TTL_MS;
      result["cacheScope"] = "public";
    }
    return result;
  }
  if (method == "tools/call") return call_tool(params);
  throw RpcError{METHOD_NOT_FOUND, "Method not found: " + method};
}

json::Value Server::discover() const {
  json::Value result = {{"supportedVersions", versions_array()}, {"capabilities", {{"tools", json::Value::object()}}}};
  if (!info_.instructions.empty()) result["instructions"] = info_.instructions;
  result["ttlMs"] = LIST_TTL_MS;
  result["cacheScope"] = "public";
  return result;
}

json::Value Server::list_tools() const {
  json::Value tools = json::Value::array();
  for (const auto& t : tools_)
    tools.push_back({{"name", t.name}, {"description", t.description}, {"inputSchema", t.input_schema}});
  return {{"tools", std::move(tools)}};
}

json::Value Server::call_tool(const json::Value& params) {
  const json::Value& name = member(params, "name");
  if (!name.is_string()) throw RpcError{INVALID_PARAMS, "Invalid params: tools/call needs a tool name"};
  json::Value arguments = member(params, "arguments");
  if (arguments.is_null()) arguments = json::Value::object();
  if (!arguments.is_object()) throw RpcError{INVALID_PARAMS, "Invalid params: arguments must be an object"};
  std::optional<ToolOutcome> outcome;
  try {
    outcome = call_(name.get<std::string>(), arguments);
  } catch (const std::exception& e) {
    outcome = ToolOutcome{std::string("The tool failed: ") + e.what(), true};
  } catch (...) {  // becomes the tool's failed answer
    outcome = ToolOutcome{"The tool failed.", true};
  }
  if (!outcome) {
    std::string names;
    for (const auto& t : tools_) names += (names.empty() ? "" : ", ") + t.name;
    throw RpcError{INVALID_PARAMS, "Unknown tool: " + name.get<std::string>() + " (tools: " + names + ")"};
  }
  json::Value content = json::Value::array();
  content.push_back({{"type", "text"}, {"text", outcome->text}});
  return {{"content", std::move(content)}, {"isError", outcome->is_error}};
}

}  // namespace brenik::commands::mcp
