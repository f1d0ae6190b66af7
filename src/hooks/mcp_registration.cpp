#include "hooks/mcp_registration.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <sstream>

// toml++ compiled into this one file: no extra shared library for every
// hook process to load, and (hidden) no symbols of it for the loader to bind.
#define TOML_HEADER_ONLY 1
#pragma GCC visibility push(hidden)
#include <toml++/toml.h>
#pragma GCC visibility pop

#include "agents/registry.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/json_edit.hpp"
#include "utils/logging.hpp"
#include "utils/text.hpp"

namespace brenik::hooks::mcp_registration {

namespace fs = std::filesystem;
using installer::Status;
using installer::StepReport;

namespace {

// Configuration files hold a few servers; anything larger is not one.
constexpr std::size_t MAX_CONFIG_BYTES = 4 << 20;

enum class Format { json, toml };

// Where one agent keeps its servers.
struct Target {
  std::string agent;
  std::string label;
  Format format;
  fs::path file;
  std::vector<std::string> args;
  bool in_home = false;  // the user's file, not the repository's
};

// A folder of the repository on the way to a file we write must be a real
// folder inside it, never a link (a hostile clone can plant one anywhere).
void check_repository_folders(const fs::path& repo_root, const fs::path& file) {
  fs::path at = repo_root;
  const fs::path rel = file.parent_path().lexically_relative(repo_root);
  for (const auto& part : rel) {
    if (part.empty() || part == ".") continue;
    if (part == "..") throw ValueError(file.string() + " leads outside the repository");
    at /= part;
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0) continue;  // created below as a real folder
    if (S_ISLNK(st.st_mode)) throw ValueError(at.string() + " is a link; left untouched");
    if (!S_ISDIR(st.st_mode)) throw ValueError(at.string() + " is not a folder; left untouched");
  }
}

// The current text of the file; empty when it does not exist. Throws
// OSError when it exists but cannot be read (a link included), ValueError
// when it is too large to be a configuration.
std::string current_text(const fs::path& file) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) return {};
  auto text = utils::read_small_regular_file(file, MAX_CONFIG_BYTES);
  if (!text) throw ValueError(file.string() + " is too large to be a configuration; left untouched");
  return *text;
}

StepReport register_one(const fs::path& repo_root, const Target& t, const std::string& brenik) {
  StepReport r{.what = t.label + " MCP"};
  fs::path file = t.file;
  try {
    if (t.in_home) {
      // Dotfile managers link the user's files; write the file the link names.
      std::error_code ec;
      if (fs::is_symlink(file, ec)) {
        fs::path named = fs::canonical(file, ec);
        if (!ec) file = named;
      }
    } else {
      check_repository_folders(repo_root, file);
    }
    const std::string text = current_text(file);
    std::optional<std::string> merged;
    try {
      merged = t.format == Format::json ? detail::merged_json_config(text, brenik, t.args)
                                        : detail::merged_codex_toml(text, brenik, t.args);
    } catch (const ValueError& e) {
      r.status = Status::failed;
      r.detail = t.file.string() + ": " + e.what() + "; left untouched";
      logging::debug("MCP registration left %s untouched: %s", t.file, e);
      return r;
    }
    if (!merged) {
      r.detail = "brenik server already in " + t.file.string();
      return r;
    }
    utils::make_dirs(file.parent_path());
    if (!t.in_home) check_repository_folders(repo_root, file);
    utils::atomic_write(file, *merged);
    r.status = Status::changed;
    r.detail = "brenik server registered in " + t.file.string();
  } catch (const std::exception& e) {
    r.status = Status::failed;
    r.detail = t.file.string() + ": " + e.what() + "; left untouched";
    logging::debug("MCP registration failed for %s: %s", t.file, e);
  }
  return r;
}

// Whether the repository has the harness's own folder (a real one, or a
// link the registration will refuse with its reason). We add our entry to
// a harness's files but do not create its folder in the user's repository.
bool has_folder(const fs::path& repo_root, const char* name) {
  struct stat st {};
  return ::lstat((repo_root / name).c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode));
}

StepReport no_folder(const std::string& label, const std::string& folder, const std::string& file) {
  return {.what = label + " MCP",
          .status = Status::skipped,
          .detail = "no " + folder + "/ folder in this repository; brenik's server goes into " + folder + "/" + file +
                    " once it exists"};
}

std::vector<std::string> agents_to_register(const fs::path& repo_root,
                                            const std::optional<std::vector<std::string>>& agents) {
  std::vector<std::string> names;
  if (agents && !agents->empty()) {
    for (const auto& a : *agents) names.push_back(agents::normalize_agent_name(a));
  } else {
    for (const auto& a : agents::iter_adapters())
      if (a->detect_in_repo(repo_root)) names.push_back(a->name());
  }
  std::vector<std::string> unique;
  for (auto& n : names)
    if (std::find(unique.begin(), unique.end(), n) == unique.end()) unique.push_back(std::move(n));
  return unique;
}

toml::array toml_args(const std::vector<std::string>& args) {
  toml::array a;
  for (const auto& s : args) a.push_back(s);
  return a;
}

bool same_toml_entry(const toml::table& entry, const std::string& command, const std::vector<std::string>& args) {
  const auto c = entry["command"].value<std::string>();
  if (!c || *c != command) return false;
  const toml::array* a = entry["args"].as_array();
  return a && *a == toml_args(args);
}

// The byte offset of a parser position (1-based line, and column counted in
// characters); none when the text has no such place.
std::optional<std::size_t> byte_offset(std::string_view text, const toml::source_position& pos) {
  std::size_t i = 0;
  for (toml::source_index line = 1; line < pos.line; ++line) {
    i = text.find('\n', i);
    if (i == std::string_view::npos) return std::nullopt;
    ++i;
  }
  for (toml::source_index column = 1; column < pos.column; ++column) {
    if (i >= text.size() || text[i] == '\n') return std::nullopt;
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return i;
}

// `text` with the values of our entry's `command` and `args` replaced where
// the parser found them, each written by the library: the rest of the file
// (comments, order, other keys of the entry) stays as it is. None when the
// entry lacks either key or a position does not map onto the text.
std::optional<std::string> corrected_in_place(std::string_view text, const toml::table& entry,
                                              const std::string& command, const std::vector<std::string>& args) {
  struct Edit {
    std::size_t from, to;
    std::string with;
  };
  std::vector<Edit> edits;
  for (const char* key : {"command", "args"}) {
    const toml::node* node = entry.get(key);
    if (!node) return std::nullopt;
    const auto from = byte_offset(text, node->source().begin), to = byte_offset(text, node->source().end);
    if (!from || !to || *from >= *to) return std::nullopt;
    std::ostringstream value;
    if (std::string_view(key) == "command")
      value << toml::value<std::string>(command);
    else
      value << toml_args(args);
    edits.push_back({*from, *to, value.str()});
  }
  if (edits[0].from > edits[1].from) std::swap(edits[0], edits[1]);
  if (edits[0].to > edits[1].from) return std::nullopt;
  std::string out(text);
  for (auto it = edits.rbegin(); it != edits.rend(); ++it) out.replace(it->from, it->to - it->from, it->with);
  return out;
}

toml::table parse_toml(std::string_view text, const char* what) {
  try {
    return toml::parse(text);
  } catch (const toml::parse_error& e) {
    throw ValueError(std::string(what) + " is not valid TOML (line " + std::to_string(e.source().begin.line) + ": " +
                     std::string(e.description()) + ")");
  }
}

}  // namespace

namespace detail {

std::optional<std::string> merged_json_config(std::string_view text, const std::string& command,
                                              const std::vector<std::string>& args) {
  json::Value list = json::Value::array();
  for (const auto& a : args) list.push_back(a);
  const json::Value ours = {{"command", command}, {"args", list}};
  if (utils::strip(text).empty()) return utils::json_edit::render({{"mcpServers", {{SERVER_NAME, ours}}}}, "  ") + "\n";
  // Edited in place: every byte but our entry's stays as the user wrote it.
  std::optional<utils::json_edit::Document> doc;
  try {
    doc.emplace(std::string(text));
  } catch (const ValueError&) {
    throw ValueError("not valid JSON");
  }
  const json::Value config = doc->value();
  if (!config.is_object()) throw ValueError("not a JSON object");
  const auto servers = config.find("mcpServers");
  if (servers == config.end()) {
    doc->set({}, "mcpServers", {{SERVER_NAME, ours}});
    return doc->text();
  }
  if (!servers->is_object()) throw ValueError("its \"mcpServers\" is not an object");
  const json::Value& entry = member(*servers, SERVER_NAME);
  if (!entry.is_object()) {
    doc->set({std::string("mcpServers")}, SERVER_NAME, ours);
    return doc->text();
  }
  if (member(entry, "command") == ours["command"] && member(entry, "args") == list) return std::nullopt;
  // The user's own additions to our entry (env, timeouts) stay.
  const utils::json_edit::Path at = {std::string("mcpServers"), std::string(SERVER_NAME)};
  doc->set(at, "command", ours["command"]);
  doc->set(at, "args", list);
  return doc->text();
}

std::optional<std::string> merged_codex_toml(std::string_view text, const std::string& command,
                                             const std::vector<std::string>& args) {
  toml::table config = parse_toml(text, "the file");
  toml::node* servers_node = config.get("mcp_servers");
  if (servers_node && !servers_node->is_table()) throw ValueError("its mcp_servers is not a table");
  const toml::table* servers = servers_node ? servers_node->as_table() : nullptr;
  const toml::node* existing = servers ? servers->get(SERVER_NAME) : nullptr;
  if (existing && existing->is_table() && same_toml_entry(*existing->as_table(), command, args)) return std::nullopt;

  // The configuration as it must read afterwards.
  toml::table wanted = config;
  if (!wanted.get("mcp_servers")) wanted.insert("mcp_servers", toml::table{});
  toml::table& wanted_servers = *wanted.get("mcp_servers")->as_table();
  toml::table entry;
  if (existing && existing->is_table()) entry = *existing->as_table();
  entry.insert_or_assign("command", command);
  entry.insert_or_assign("args", toml_args(args));
  wanted_servers.insert_or_assign(SERVER_NAME, entry);

  std::optional<std::string> candidate;
  if (existing && existing->is_table()) {
    candidate = corrected_in_place(text, *existing->as_table(), command, args);
  } else if (!existing) {
    // Our table alone, written by the library, after the user's text: their
    // comments and layout stay as they are (an inline `mcp_servers = {...}`
    // cannot be extended this way).
    toml::table ours;
    ours.insert("mcp_servers", toml::table{{SERVER_NAME, entry}});
    std::ostringstream block;
    block << ours;
    std::string appended(text);
    if (!appended.empty() && appended.back() != '\n') appended += '\n';
    if (!appended.empty()) appended += '\n';
    appended += block.str() + "\n";
    candidate = std::move(appended);
  }
  // Kept only when the whole file then reads as intended.
  if (candidate) {
    try {
      if (toml::parse(*candidate) == wanted) return candidate;
    } catch (const toml::parse_error&) {
    }
  }
  // An entry that is not a table, or a file neither edit fits: the library
  // writes the whole table.
  std::ostringstream whole;
  whole << wanted;
  return whole.str() + "\n";
}

}  // namespace detail

std::vector<StepReport> register_mcp_server(const fs::path& repo_root,
                                            const std::optional<std::vector<std::string>>& agents,
                                            const RegistrationOptions& options) {
  std::vector<StepReport> steps;
  try {
    const std::string brenik = options.brenik.empty() ? installer::brenik_command() : options.brenik;
    for (const auto& agent : agents_to_register(repo_root, agents)) {
      if (agent == "claude-code") {
        steps.push_back(
            register_one(repo_root, {agent, "Claude Code", Format::json, repo_root / ".mcp.json", {"mcp"}}, brenik));
      } else if (agent == "codex") {
        if (!has_folder(repo_root, ".codex")) {
          steps.push_back(no_folder("Codex", ".codex", "config.toml"));
          continue;
        }
        steps.push_back(register_one(
            repo_root, {agent, "Codex", Format::toml, repo_root / ".codex" / "config.toml", {"mcp"}}, brenik));
      } else if (agent == "cursor") {
        if (!has_folder(repo_root, ".cursor")) {
          steps.push_back(no_folder("Cursor", ".cursor", "mcp.json"));
          continue;
        }
        // Cursor expands ${workspaceFolder}; the server then serves that
        // folder whatever directory Cursor starts it in.
        steps.push_back(register_one(repo_root,
                                     {agent,
                                      "Cursor",
                                      Format::json,
                                      repo_root / ".cursor" / "mcp.json",
                                      {"mcp", "--repo", "${workspaceFolder}"}},
                                     brenik));
      } else if (agent == "windsurf") {
        if (!options.home) {
          steps.push_back({.what = "Windsurf MCP",
                           .status = Status::skipped,
                           .detail = "Windsurf keeps its MCP servers in your home folder; `brenik setup` "
                                     "registers brenik there"});
          continue;
        }
        steps.push_back(register_one(repo_root,
                                     {agent,
                                      "Windsurf",
                                      Format::json,
                                      *options.home / ".codeium" / "windsurf" / "mcp_config.json",
                                      {"mcp"},
                                      true},
                                     brenik));
      }
    }
  } catch (const std::exception& e) {
    steps.push_back({.what = "MCP", .status = Status::failed, .detail = e.what()});
  } catch (...) {  // becomes the failed step the setup report shows
    steps.push_back({.what = "MCP", .status = Status::failed, .detail = "unexpected error"});
  }
  return steps;
}

void install_mcp_for_agents(const fs::path& repo_root, const std::optional<std::vector<std::string>>& agents) {
  for (const auto& s : register_mcp_server(repo_root, agents))
    logging::debug("MCP registration: %s: %s", s.what, s.detail);
}

}  // namespace brenik::hooks::mcp_registration
