// The tools `brenik mcp` offers an agent: attest, sync, status, and reading
// the local context cache (rules, specs, docs). Each calls the library the
// way the command line does, with explicit arguments, and answers in text;
// nothing here writes to standard output.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "commands/mcp_protocol.hpp"
#include "utils/json.hpp"

namespace brenik::commands::mcp {

// Where the server looks for its repository, in order: the folder given on
// the command line, the harness's project folder, the working directory.
struct ToolContext {
  std::optional<std::filesystem::path> repo = std::nullopt;
};

std::vector<ToolSpec> tool_specs();

// The outcome of the named tool, or none when there is no such tool.
std::optional<ToolOutcome> call_tool(const ToolContext& context, const std::string& name, const json::Value& arguments);

// The worktree the tools act on; none outside a repository.
std::optional<std::filesystem::path> find_worktree(const ToolContext& context);

}  // namespace brenik::commands::mcp
