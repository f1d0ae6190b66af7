#include "launcher/hook_prefilter.hpp"

#include <nlohmann/json.hpp>

namespace brenik::launcher {

namespace {

bool git_then_commit_on_one_line(std::string_view command) {
  std::size_t start = 0;
  while (start <= command.size()) {
    std::size_t end = command.find('\n', start);
    if (end == std::string_view::npos) end = command.size();
    std::string_view line = command.substr(start, end - start);
    std::size_t git = line.find("git");
    if (git != std::string_view::npos && line.find("commit", git + 3) != std::string_view::npos) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool may_be_commit_payload(std::string_view payload) {
  // Most payloads of other tools never mention it: skip the parse.
  if (payload.find("commit") == std::string_view::npos) return false;
  auto doc = nlohmann::json::parse(payload, nullptr, /*allow_exceptions=*/false);
  // What this strict parser refuses (bad UTF-8 in some output, NaN) the full
  // decoder may still read: only a clean parse may say no.
  if (doc.is_discarded()) return true;
  if (!doc.is_object()) return false;
  auto name = doc.find("tool_name");
  if (name == doc.end() || !name->is_string() || name->get_ref<const std::string&>() != "Bash") return false;
  auto input = doc.find("tool_input");
  if (input == doc.end() || !input->is_object()) return false;
  auto command = input->find("command");
  if (command == input->end() || !command->is_string()) return false;
  return git_then_commit_on_one_line(command->get_ref<const std::string&>());
}

}  // namespace brenik::launcher
