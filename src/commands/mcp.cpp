// `brenik mcp`: the agent-facing server. Model Context Protocol over
// standard input and output, one JSON-RPC message per line, until the end
// of input. Standard output carries the protocol only: the server keeps its
// own copy of it and points descriptor 1 at standard error, so nothing a
// tool or a library call prints can reach the client behind its back.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <memory>
#include <string>

#include "commands/cli.hpp"
#include "commands/mcp_protocol.hpp"
#include "commands/mcp_tools.hpp"
#include "utils/unique_fd.hpp"

namespace brenik::commands {

namespace {

constexpr const char* INSTRUCTIONS =
    "brenik records which agent session made each commit in this repository. Before `git commit`, stage your "
    "changes and call `attest` with the staged diff hash, your model and a one-line summary. Read the project's "
    "rules, specs and documents with `rules`, `specs` and `docs` (local cache; `sync` refreshes it and uploads "
    "the records). `status` tells what the cache holds and what waits for upload.";

// Writes one message and its newline; false when the client has gone.
bool send_line(int fd, const std::string& text) {
  const std::string line = text + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

int run_mcp(const std::optional<std::string>& repo) {
  std::cout.flush();
  // Our own handle on the client's pipe, then descriptor 1 becomes standard
  // error for everything else in this process.
  utils::UniqueFd protocol_out(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  if (protocol_out.get() < 0) {
    std::cerr << "brenik mcp: cannot use standard output\n";
    return 1;
  }
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::cerr << "brenik mcp: cannot keep standard output for the protocol\n";
    return 1;
  }

  mcp::ToolContext context;
  if (repo && !repo->empty()) context.repo = std::filesystem::path(*repo);
  mcp::Server server({"brenik", BRENIK_VERSION, INSTRUCTIONS}, mcp::tool_specs(),
                     [&context](const std::string& name, const json::Value& arguments) {
                       return mcp::call_tool(context, name, arguments);
                     });
  mcp::LineReader reader(STDIN_FILENO, mcp::MAX_MESSAGE_BYTES);
  while (auto line = reader.next()) {
    std::optional<std::string> answer;
    if (line->truncated)
      answer = server.oversized(line->text);
    else
      answer = server.handle_line(line->text);
    std::cout.flush();
    if (answer && !send_line(protocol_out.get(), *answer)) break;
  }
  return 0;
}

}  // namespace

void register_mcp(CLI::App& app, Context& ctx) {
  CLI::App* cmd = app.add_subcommand(
      "mcp", "Run the agent-facing MCP server on standard input and output (started by the agent harness).");
  auto repo = std::make_shared<std::string>();
  cmd->add_option("--repo", *repo,
                  "Repository to serve (default: the harness's project folder, else the current directory).");
  on_run(cmd, ctx, [repo] { return run_mcp(*repo); });
}

}  // namespace brenik::commands
