// Shared pieces of the views' output (`log`, `show`, `blame`).
#pragma once

#include <string>
#include <string_view>

#include "services/tolvern.hpp"
#include "utils/json.hpp"

namespace brenik::commands::views_format {

// SGR colours, used only on a terminal.
inline constexpr std::string_view YELLOW = "\x1b[33m";
inline constexpr std::string_view GREEN = "\x1b[32m";
inline constexpr std::string_view RED = "\x1b[31m";
inline constexpr std::string_view DIM = "\x1b[2m";
inline constexpr std::string_view BOLD = "\x1b[1m";

// "2026-12-08T13:30:03+01:00" -> "2026-12-08 13:30"
std::string short_date(const std::string& iso);

// `text` padded with spaces to `width` characters (counted as code points).
std::string pad(const std::string& text, std::size_t width);
std::size_t display_width(std::string_view text);

// git's refusal as our own message: without git's "fatal: " or "error: "
// in front (ours says "error: " off a terminal), lines kept but git's advice
// about its own "--".
std::string git_refusal(std::string_view text);

// The attribution of an entry as JSON: author kind, agent, model, label.
json::Value attribution_json(const services::views::Attribution& who);

}  // namespace brenik::commands::views_format
