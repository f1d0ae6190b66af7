// The framing and dispatch of `brenik mcp`: JSON-RPC 2.0 messages, one per
// line, answered in order. Both protocol generations are served: the
// `initialize` handshake of the older revisions and the handshake-free
// requests (with `server/discover`) of the newer one.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/json.hpp"

namespace brenik::commands::mcp {

inline constexpr int PARSE_ERROR = -32700;
inline constexpr int INVALID_REQUEST = -32600;
inline constexpr int METHOD_NOT_FOUND = -32601;
inline constexpr int INVALID_PARAMS = -32602;
inline constexpr int INTERNAL_ERROR = -32603;
inline constexpr int UNSUPPORTED_PROTOCOL_VERSION = -32022;

// Revisions served, newest first. The newest has no handshake.
extern const std::vector<std::string> SUPPORTED_VERSIONS;
inline constexpr const char* HANDSHAKE_FREE_VERSION = "2026-07-28";
// What `initialize` answers when it cannot echo the client's revision: the
// newest one that still has that handshake.
inline constexpr const char* LATEST_HANDSHAKE_VERSION = "2025-11-25";

// Where the newer revision puts its per-request metadata.
inline constexpr const char* META_PROTOCOL_VERSION = "io.modelcontextprotocol/protocolVersion";
inline constexpr const char* META_SERVER_INFO = "io.modelcontextprotocol/serverInfo";

// A line longer than this is not kept: only its start is, to find its id.
inline constexpr std::size_t MAX_MESSAGE_BYTES = 4u << 20;

// Deeper nesting than this is refused before it is decoded: copying and
// writing a value recurse once per level.
inline constexpr std::size_t MAX_NESTING = 100;

// Reads newline-delimited lines from a descriptor, keeping at most
// `max_bytes` of each; the rest of a longer line is read and dropped, so a
// huge line costs time to read but no memory and does not hold up the next.
class LineReader {
public:
  LineReader(int fd, std::size_t max_bytes);

  struct Line {
    std::string text;
    bool truncated = false;
  };
  // The next line without its newline; none at end of input (a last line
  // without a newline is still returned) or on a read error.
  std::optional<Line> next();

private:
  bool fill();

  int fd_;
  std::size_t max_bytes_;
  std::string buffer_;
  std::size_t start_ = 0;
  bool eof_ = false;
};

// One tool as `tools/list` shows it.
struct ToolSpec {
  std::string name;
  std::string description;
  json::Value input_schema;
};

// What a tool call returns: its text, and whether the tool refused.
struct ToolOutcome {
  std::string text;
  bool is_error = false;
};

// Runs the tool of that name with its arguments (an object); none when there
// is no such tool. May throw: the server turns that into a tool error.
using ToolCaller = std::function<std::optional<ToolOutcome>(const std::string& name, const json::Value& arguments)>;

struct ServerInfo {
  std::string name;
  std::string version;
  std::string instructions;
};

class Server {
public:
  Server(ServerInfo info, std::vector<ToolSpec> tools, ToolCaller call);

  // The answer to one input line (a JSON text), or none when it needs none
  // (a notification, a response to us).
  std::optional<std::string> handle_line(std::string_view line);
  // The answer to a line that was over the size limit, of which `start` is
  // what was kept: an invalid-request error under the request's id when the
  // start names one.
  std::string oversized(std::string_view start) const;

private:
  std::optional<json::Value> handle(const json::Value& message);
  json::Value dispatch(const std::string& method, const json::Value& params, bool& modern);
  json::Value discover() const;
  json::Value list_tools() const;
  json::Value call_tool(const json::Value& params);

  ServerInfo info_;
  std::vector<ToolSpec> tools_;
  ToolCaller call_;
};

// A JSON-RPC error answer.
json::Value error_response(const json::Value& id, int code, const std::string& message,
                           const std::optional<json::Value>& data = std::nullopt);

// One line of output: compact JSON, UTF-8 kept (invalid bytes replaced), no
// newline inside.
std::string serialize(const json::Value& message);

// The top-level "id" of a JSON object text that may be cut short; null when
// it cannot be found before the cut.
json::Value id_of_prefix(std::string_view start);

}  // namespace brenik::commands::mcp
