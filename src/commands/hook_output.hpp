// The object a harness hook prints for the harness to read: a message the
// harness adds to the agent's context.
#pragma once

#include <string>

#include "utils/json.hpp"

namespace brenik::commands {

// Claude Code and Codex both read {"hookSpecificOutput": {"hookEventName",
// "additionalContext"}} from a hook's standard output; other harnesses get the
// same shape (none of them injects hook output into the agent otherwise).
json::Value render_hook_context(const std::string& harness, const std::string& hook_event, const std::string& message);

}  // namespace brenik::commands
