#include "commands/hook_output.hpp"

namespace brenik::commands {

json::Value render_hook_context(const std::string& /*harness*/, const std::string& hook_event,
                                const std::string& message) {
  json::Value inner = json::Value::object();
  inner["hookEventName"] = hook_event;
  inner["additionalContext"] = message;
  json::Value out = json::Value::object();
  out["hookSpecificOutput"] = std::move(inner);
  return out;
}

}  // namespace brenik::commands
