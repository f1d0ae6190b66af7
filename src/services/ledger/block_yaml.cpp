#include "services/ledger/block_yaml.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "utils/yaml_resolve.hpp"

namespace brenik::services::tolvern::detail {

namespace {

struct Line {
  std::size_t indent;
  std::string_view text;  // after the indentation
};

// Thrown inside the reader when the text leaves the subset.
struct Unsupported {};

class Reader {
public:
  explicit Reader(std::vector<Line> lines) : lines_(std::move(lines)) {}

  json::Value document() {
    if (lines_.empty() || lines_[0].indent != 0) throw Unsupported{};
    json::Value v = mapping(0);
    if (pos_ != lines_.size()) throw Unsupported{};
    return v;
  }

private:
  std::vector<Line> lines_;
  std::size_t pos_ = 0;

  static bool is_sequence_item(std::string_view t) { return t == "-" || t.substr(0, 2) == "- "; }

  json::Value mapping(std::size_t indent) {
    json::Value out = json::Value::object();
    while (pos_ < lines_.size() && lines_[pos_].indent == indent && !is_sequence_item(lines_[pos_].text)) {
      const std::string_view t = lines_[pos_].text;
      std::string k;
      std::string_view rest;
      if (t.front() == '\'') {
        // A quoted key: text whatever it says.
        std::size_t used = 0;
        k = single_quoted(t, used);
        rest = t.substr(used);
        if (rest.empty() || rest.front() != ':' || (rest.size() > 1 && rest[1] != ' ')) throw Unsupported{};
        rest.remove_prefix(std::min<std::size_t>(2, rest.size()));
      } else {
        std::size_t colon = t.find(": ");
        std::string_view key;
        if (colon == std::string_view::npos) {
          if (t.back() != ':') throw Unsupported{};
          key = t.substr(0, t.size() - 1);
        } else {
          key = t.substr(0, colon);
          rest = t.substr(colon + 2);
        }
        k = plain_key(key);
      }
      if (out.contains(k)) throw Unsupported{};  // the loader's dict rules: not here
      ++pos_;
      while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
      if (!rest.empty()) {
        out[k] = scalar(rest);
        no_continuation(indent);
        continue;
      }
      out[k] = nested(indent);
    }
    if (pos_ < lines_.size() && lines_[pos_].indent > indent) throw Unsupported{};
    return out;
  }

  // The value of "key:" with nothing after it.
  json::Value nested(std::size_t indent) {
    if (pos_ >= lines_.size()) return json::Value();
    const Line& next = lines_[pos_];
    if (next.indent > indent) return is_sequence_item(next.text) ? sequence(next.indent) : mapping(next.indent);
    if (next.indent == indent && is_sequence_item(next.text)) return sequence(indent);
    return json::Value();
  }

  json::Value sequence(std::size_t indent) {
    json::Value out = json::Value::array();
    while (pos_ < lines_.size() && lines_[pos_].indent == indent && is_sequence_item(lines_[pos_].text)) {
      std::string_view item = lines_[pos_].text.substr(1);
      if (item.empty()) throw Unsupported{};  // "-" followed by a block
      // "- key: value": a mapping whose first line starts after "- ".
      if (item.size() > 1 && item[1] != ' ' && (item.find(": ") != std::string_view::npos || item.back() == ':')) {
        lines_[pos_] = Line{indent + 2, item.substr(1)};
        out.push_back(mapping(indent + 2));
        continue;
      }
      ++pos_;
      while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
      if (item.empty() || item.find(": ") != std::string_view::npos || item.back() == ':') throw Unsupported{};
      out.push_back(scalar(item));
      no_continuation(indent);
    }
    if (pos_ < lines_.size() && lines_[pos_].indent > indent) throw Unsupported{};
    return out;
  }

  // A deeper line after a one-line scalar would continue it.
  void no_continuation(std::size_t indent) const {
    if (pos_ < lines_.size() && lines_[pos_].indent > indent) throw Unsupported{};
  }

  static void plain_ok(std::string_view t) {
    if (t.empty()) throw Unsupported{};
    // Indicators that start something other than a plain scalar.
    // "-5" is a plain scalar; "-", "- x" and "---" are not.
    const bool dash_plain = t.front() == '-' && t.size() > 1 && t[1] != ' ' && t[1] != '-';
    if (!dash_plain && std::string_view("-?:,[]{}#&*!|>'\"%@`").find(t.front()) != std::string_view::npos)
      throw Unsupported{};
    if (t.back() == ' ' || t.back() == ':') throw Unsupported{};
    if (t.find(" #") != std::string_view::npos || t.find(": ") != std::string_view::npos) throw Unsupported{};
    for (char c : t)
      if (c == '[' || c == ']' || c == '{' || c == '}') throw Unsupported{};
  }

  static std::string plain_key(std::string_view key) {
    plain_ok(key);
    if (key == "<<") throw Unsupported{};
    auto r = yaml::detail::resolve_plain(key);
    // Keys that read as another type become that type's text: left to the loader.
    if (r.kind != yaml::detail::PlainKind::str) throw Unsupported{};
    return std::string(key);
  }

  // 'text' at the start of `t` ('' is a quote); `used` is its length.
  static std::string single_quoted(std::string_view t, std::size_t& used) {
    std::string s;
    for (std::size_t i = 1; i < t.size(); ++i) {
      if (t[i] != '\'') {
        s += t[i];
      } else if (i + 1 < t.size() && t[i + 1] == '\'') {
        s += '\'';
        ++i;
      } else {
        used = i + 1;
        return s;
      }
    }
    throw Unsupported{};  // continues on the next line
  }

  static json::Value scalar(std::string_view t) {
    if (t == "{}") return json::Value::object();
    if (t == "[]") return json::Value::array();
    if (t.front() == '\'') {
      std::size_t used = 0;
      std::string s = single_quoted(t, used);
      if (used != t.size()) throw Unsupported{};
      return json::Value(std::move(s));
    }
    plain_ok(t);
    return yaml::detail::resolve_plain(t).value;
  }
};

}  // namespace

std::optional<json::Value> read_block_yaml(std::string_view text) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view l = text.substr(start, end - start);
    start = end + 1;
    for (char c : l)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;  // tabs, CR, controls
    std::size_t indent = 0;
    while (indent < l.size() && l[indent] == ' ') ++indent;
    l.remove_prefix(indent);
    // Blank lines, comments, directives and document markers: the loader's.
    if (l.empty() || l.front() == '#' || l.front() == '%' || l.substr(0, 3) == "---" || l.substr(0, 3) == "...")
      return std::nullopt;
    lines.push_back({indent, l});
  }
  try {
    return Reader(std::move(lines)).document();
  } catch (const Unsupported&) {
    return std::nullopt;
  }
}

}  // namespace brenik::services::tolvern::detail
