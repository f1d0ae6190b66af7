#include "commands/views_format.hpp"

namespace brenik::commands::views_format {

std::string short_date(const std::string& iso) {
  if (iso.size() < 16 || iso[10] != 'T') return iso;
  return iso.substr(0, 10) + " " + iso.substr(11, 5);
}

std::size_t display_width(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string pad(const std::string& text, std::size_t width) {
  const std::size_t w = display_width(text);
  return w >= width ? text : text + std::string(width - w, ' ');
}

std::string git_refusal(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    for (std::string_view prefix : {"fatal: ", "error: "})
      if (line.substr(0, prefix.size()) == prefix) line.remove_prefix(prefix.size());
    if (!out.empty()) out += '\n';
    out += line;
    // What follows is advice on git's own command line, not ours.
    if (nl == std::string_view::npos || text.substr(nl + 1).rfind("Use '--'", 0) == 0) break;
    text.remove_prefix(nl + 1);
  }
  return out;
}

json::Value attribution_json(const services::views::Attribution& who) {
  json::Value v = json::Value::object();
  v["author"] = who.kind();
  v["agent"] = who.agent.empty() ? json::Value() : json::Value(who.agent);
  v["model"] = who.model.empty() ? json::Value() : json::Value(who.model);
  v["label"] = who.label();
  return v;
}

}  // namespace brenik::commands::views_format
