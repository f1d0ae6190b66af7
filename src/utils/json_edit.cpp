#include "utils/json_edit.hpp"

#include <optional>

#include "utils/errors.hpp"

namespace brenik::utils::json_edit {

namespace {

// Where each value of the text is: enough to edit one without touching the rest.
struct Node {
  char kind = 0;  // '{', '[' or 0 for a scalar
  std::size_t begin = 0, end = 0;
  struct Item {
    std::size_t begin = 0;  // the key's quote for a member, else the value's start
    std::string key;        // decoded member name
    std::size_t key_end = 0;
    Node* value = nullptr;
  };
  std::vector<Item> items;
  std::vector<Node> storage;  // owns the children (stable after the scan)
};

class Scanner {
public:
  explicit Scanner(const std::string& t) : t_(t) {}

  void value(Node& n) {
    ws();
    n.begin = i_;
    if (i_ >= t_.size()) throw ValueError("unexpected end of JSON text");
    const char c = t_[i_];
    if (c == '{' || c == '[') {
      n.kind = c;
      const char close = c == '{' ? '}' : ']';
      ++i_;
      ws();
      // Count the items first so that the children's storage never moves.
      std::vector<Node::Item> items;
      std::vector<Node> children;
      if (peek() != close) {
        for (;;) {
          ws();
          Node::Item item;
          item.begin = i_;
          if (c == '{') {
            const std::size_t kb = i_;
            string();
            item.key_end = i_;
            auto key = json::try_loads(std::string_view(t_).substr(kb, i_ - kb));
            if (!key || !key->is_string()) throw ValueError("bad member name in JSON text");
            item.key = key->get<std::string>();
            ws();
            expect(':');
          }
          children.emplace_back();
          value(children.back());
          items.push_back(std::move(item));
          ws();
          if (peek() == ',') {
            ++i_;
            continue;
          }
          break;
        }
      }
      expect(close);
      n.end = i_;
      n.storage = std::move(children);
      for (std::size_t k = 0; k < items.size(); ++k) items[k].value = &n.storage[k];
      n.items = std::move(items);
      return;
    }
    if (c == '"') {
      string();
    } else {
      while (i_ < t_.size() && std::string_view(",]} \t\r\n").find(t_[i_]) == std::string_view::npos) ++i_;
      if (i_ == n.begin) throw ValueError("unexpected character in JSON text");
    }
    n.end = i_;
  }

  void finish() {
    ws();
    if (i_ != t_.size()) throw ValueError("extra data after the JSON value");
  }

private:
  char peek() const { return i_ < t_.size() ? t_[i_] : '\0'; }
  void ws() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r')) ++i_;
  }
  void expect(char c) {
    if (peek() != c) throw ValueError(std::string("expected '") + c + "' in JSON text");
    ++i_;
  }
  void string() {
    expect('"');
    while (i_ < t_.size() && t_[i_] != '"') i_ += t_[i_] == '\\' ? 2 : 1;
    expect('"');
  }

  const std::string& t_;
  std::size_t i_ = 0;
};

struct Tree {
  Node root;
  explicit Tree(const std::string& text) {
    Scanner s(text);
    s.value(root);
    s.finish();
  }
};

const Node* find(const Node& root, const Path& path) {
  const Node* n = &root;
  for (const auto& step : path) {
    const Node* next = nullptr;
    if (const auto* key = std::get_if<std::string>(&step)) {
      if (n->kind != '{') return nullptr;
      for (const auto& item : n->items)
        if (item.key == *key) next = item.value;  // the last of duplicates wins, as when decoding
    } else {
      const std::size_t index = std::get<std::size_t>(step);
      if (n->kind != '[' || index >= n->items.size()) return nullptr;
      next = n->items[index].value;
    }
    if (!next) return nullptr;
    n = next;
  }
  return n;
}

std::string line_indent(const std::string& t, std::size_t pos) {
  std::size_t start = t.rfind('\n', pos == 0 ? 0 : pos - 1);
  start = start == std::string::npos ? 0 : start + 1;
  std::size_t end = start;
  while (end < t.size() && (t[end] == ' ' || t[end] == '\t')) ++end;
  return t.substr(start, end - start);
}

bool spans_lines(const std::string& t, const Node& n) {
  return n.items.empty() ? false : t.find('\n', n.begin) < n.items.front().begin;
}

// The file's indentation unit: the step between a multi-line container's line
// and its first item's, from the first such container; none when every
// container is on one line; two spaces for a text without any item.
std::optional<std::string> indent_unit(const std::string& t, const Node& n, bool& any_item) {
  if (n.kind == 0) return std::nullopt;
  if (!n.items.empty()) any_item = true;
  if (spans_lines(t, n)) {
    const std::string outer = line_indent(t, n.begin);
    const std::string inner = line_indent(t, n.items.front().begin);
    if (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0) return inner.substr(outer.size());
  }
  for (const auto& item : n.items)
    if (auto u = indent_unit(t, *item.value, any_item)) return u;
  return std::nullopt;
}

std::string file_unit(const std::string& t, const Node& root) {
  bool any_item = false;
  auto unit = indent_unit(t, root, any_item);
  if (unit) return *unit;
  return any_item ? std::string() : std::string("  ");
}

// The text between a member's name and its value (": " or ":").
std::string name_separator(const std::string& t, const Node& root) {
  if (root.kind == '{' && !root.items.empty()) {
    const auto& item = root.items.front();
    return t.substr(item.key_end, item.value->begin - item.key_end);
  }
  for (const auto& item : root.items)
    if (item.value->kind == '{' && !item.value->items.empty()) return name_separator(t, *item.value);
  return ": ";
}

std::string scalar(const json::Value& v) { return v.dump(-1, ' ', false, json::Value::error_handler_t::replace); }

std::string render_with(const json::Value& v, const std::string& unit, const std::string& base,
                        const std::string& colon) {
  if (v.is_object()) {
    if (v.empty()) return "{}";
    std::string s = "{";
    bool first = true;
    for (const auto& [k, member] : v.items()) {
      s += first ? "" : ",";
      s += unit.empty() ? (first ? "" : " ") : "\n" + base + unit;
      s += scalar(json::Value(k)) + colon + render_with(member, unit, base + unit, colon);
      first = false;
    }
    return s + (unit.empty() ? "" : "\n" + base) + "}";
  }
  if (v.is_array()) {
    if (v.empty()) return "[]";
    bool flat = true;
    for (const auto& e : v) flat = flat && !e.is_structured();
    const std::string step = flat ? std::string() : unit;
    std::string s = "[";
    bool first = true;
    for (const auto& e : v) {
      s += first ? "" : ",";
      s += step.empty() ? (first ? "" : " ") : "\n" + base + step;
      s += render_with(e, step, base + step, colon);
      first = false;
    }
    return s + (step.empty() ? "" : "\n" + base) + "]";
  }
  return scalar(v);
}

}  // namespace

std::string render(const json::Value& value, const std::string& indent, const std::string& base) {
  return render_with(value, indent, base, ": ");
}

Document::Document(std::string text) : text_(std::move(text)) {
  if (!json::try_loads(text_)) throw ValueError("not valid JSON");
  Tree check(text_);
}

json::Value Document::value() const { return json::loads(text_); }

namespace {

// Where a new item of `container` goes (a member "key": value when `key`):
// `drop` bytes at `pos` are replaced by `text`.
struct Splice {
  std::size_t pos = 0, drop = 0;
  std::string text;
};

Splice insertion(const std::string& t, const Node& root, const Node& container, const std::string* key,
                 const json::Value& value) {
  const std::string unit = file_unit(t, root);
  const std::string colon = name_separator(t, root);
  auto item_text = [&](const std::string& base, const std::string& u) {
    std::string s = key ? scalar(json::Value(*key)) + colon : std::string();
    return s + render_with(value, u, base, colon);
  };
  if (container.items.empty()) {
    const std::string base = line_indent(t, container.begin);
    std::string inside =
        unit.empty() ? item_text(base, "") : "\n" + base + unit + item_text(base + unit, unit) + "\n" + base;
    // Replaces whatever white space was between the brackets.
    return {container.begin + 1, container.end - 1 - (container.begin + 1), inside};
  }
  const auto& last = container.items.back();
  const std::size_t prev_end =
      container.items.size() > 1 ? container.items[container.items.size() - 2].value->end : container.begin;
  // White space before the last item (after its comma or the bracket).
  std::size_t ws_begin = prev_end;
  while (ws_begin < last.begin && (t[ws_begin] == ',' || t[ws_begin] == '{' || t[ws_begin] == '[')) ++ws_begin;
  std::string before = t.substr(ws_begin, last.begin - ws_begin);
  const bool multi = before.find('\n') != std::string::npos;
  if (!multi) before = " ";
  const std::string base = line_indent(t, last.begin);
  return {last.value->end, 0, "," + before + item_text(base, multi ? unit : std::string())};
}

}  // namespace

void Document::set(const Path& object_path, const std::string& key, const json::Value& value) {
  Tree tree(text_);
  const Node* obj = find(tree.root, object_path);
  if (!obj || obj->kind != '{') throw ValueError("no JSON object at that path");
  const Node::Item* existing = nullptr;
  for (const auto& item : obj->items)
    if (item.key == key) existing = &item;
  if (existing) {
    const Node& v = *existing->value;
    const bool multi = v.kind != 0 && spans_lines(text_, v);
    const std::string unit = file_unit(text_, tree.root);
    const std::string rendered = render_with(value, multi || v.kind == 0 ? unit : std::string(),
                                             line_indent(text_, existing->begin), name_separator(text_, tree.root));
    text_.replace(v.begin, v.end - v.begin, rendered);
    return;
  }
  const Splice splice = insertion(text_, tree.root, *obj, &key, value);
  text_.replace(splice.pos, splice.drop, splice.text);
}

void Document::append(const Path& array_path, const json::Value& value) {
  Tree tree(text_);
  const Node* arr = find(tree.root, array_path);
  if (!arr || arr->kind != '[') throw ValueError("no JSON array at that path");
  const Splice splice = insertion(text_, tree.root, *arr, nullptr, value);
  text_.replace(splice.pos, splice.drop, splice.text);
}

bool Document::remove(const Path& path) {
  if (path.empty()) return false;
  Tree tree(text_);
  const Node* parent = find(tree.root, Path(path.begin(), path.end() - 1));
  if (!parent) return false;
  std::optional<std::size_t> index;
  if (const auto* key = std::get_if<std::string>(&path.back())) {
    if (parent->kind != '{') return false;
    for (std::size_t k = 0; k < parent->items.size(); ++k)
      if (parent->items[k].key == *key) index = k;
  } else {
    const std::size_t i = std::get<std::size_t>(path.back());
    if (parent->kind != '[' || i >= parent->items.size()) return false;
    index = i;
  }
  if (!index) return false;
  const auto& items = parent->items;
  const std::size_t i = *index;
  if (items.size() == 1)
    text_.erase(parent->begin + 1, parent->end - 1 - (parent->begin + 1));
  else if (i > 0)
    text_.erase(items[i - 1].value->end, items[i].value->end - items[i - 1].value->end);
  else
    text_.erase(items[0].begin, items[1].begin - items[0].begin);
  return true;
}

}  // namespace brenik::utils::json_edit
