#include "agents/codex.hpp"

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "agents/commit_scan.hpp"
#include "agents/dom_access.hpp"
#include "agents/skills_writer.hpp"
#include "utils/best_effort.hpp"
#include "agents/transcript_reader.hpp"
#include "utils/logging.hpp"

namespace brenik::agents {

namespace fs = std::filesystem;

namespace detail {

namespace {

constexpr int META_PROBE_LINES = 20;
// Rollouts probed, newest first, when looking for the repository's latest.
constexpr std::size_t SESSION_PROBE_FILES = 500;

bool contains(std::string_view hay, std::string_view needle) { return hay.find(needle) != std::string_view::npos; }

// Current lines keep their body under "payload"; early ones under a key
// named after the line's type.
std::optional<element> payload_of(element doc) {
  if (auto p = child_object(doc, "payload")) return p;
  std::string_view type = str_of(doc, "type");
  if (type.empty()) return std::nullopt;
  return child_object(doc, type);
}

bool looks_like_uuid(std::string_view s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// The text of a command given as a string or as an argv array; for
// ["bash", "-lc", "<script>"] the script.
std::string command_text(element cmd) {
  std::string_view s;
  if (cmd.get_string().get(s) == simdjson::SUCCESS) return std::string(s);
  simdjson::dom::array argv;
  if (cmd.get_array().get(argv) != simdjson::SUCCESS) return {};
  std::string out;
  for (auto part : argv) {
    std::string_view p;
    if (part.get_string().get(p) != simdjson::SUCCESS) continue;
    if (!out.empty()) out += ' ';
    out.append(p);
  }
  return out;
}

bool is_shell_tool(std::string_view name) {
  return name == "exec_command" || name == "shell" || name == "shell_command" || name == "container.exec" ||
         name == "local_shell";
}

struct ShellCall {
  std::string command;
  std::string workdir;
  std::string call_id;
};

// A shell call of a function_call or local_shell_call item.
std::optional<ShellCall> shell_call(element payload, simdjson::dom::parser& args_parser) {
  std::string_view type = str_of(payload, "type");
  ShellCall call;
  call.call_id = std::string(str_of(payload, "call_id"));
  if (type == "local_shell_call") {
    auto action = child_object(payload, "action");
    if (!action) return std::nullopt;
    if (auto c = child(*action, "command")) call.command = command_text(*c);
    call.workdir = std::string(str_of(*action, "working_directory"));
    if (call.call_id.empty()) call.call_id = std::string(str_of(payload, "id"));
    return call;
  }
  if (type != "function_call" || !is_shell_tool(str_of(payload, "name"))) return std::nullopt;
  std::string_view arguments = str_of(payload, "arguments");
  auto args = parse_object(args_parser, arguments);
  if (!args) return std::nullopt;
  if (auto c = child(*args, "cmd"))
    call.command = command_text(*c);
  else if (auto c2 = child(*args, "command"))
    call.command = command_text(*c2);
  call.workdir = std::string(str_of(*args, "workdir"));
  return call;
}

std::optional<double> duration_seconds(element payload) {
  if (auto d = child_object(payload, "duration")) {
    auto secs = int_of(*d, "secs");
    auto nanos = int_of(*d, "nanos");
    if (secs || nanos) return static_cast<double>(secs.value_or(0)) + nanos.value_or(0) / 1e9;
  }
  if (auto ms = int_of(payload, "duration_ms")) return *ms / 1000.0;
  return std::nullopt;
}

std::optional<double> line_time(std::string_view line) {
  if (auto ts = find_string_field(line, "timestamp")) return parse_iso8601(*ts);
  return std::nullopt;
}

// The session_meta of the rollout's head: its id and cwd.
struct Meta {
  std::string id;
  std::string cwd;
};

Meta rollout_meta(const fs::path& file) {
  Meta meta;
  simdjson::dom::parser parser;
  int seen = 0;
  for_each_line(file, [&](std::string_view line) {
    if (contains(line, "\"session_meta\"")) {
      if (auto doc = parse_object(parser, line); doc && str_of(*doc, "type") == "session_meta") {
        if (auto p = payload_of(*doc)) {
          meta.id = std::string(str_of(*p, "id"));
          meta.cwd = std::string(str_of(*p, "cwd"));
        }
        return false;
      }
    }
    return ++seen < META_PROBE_LINES;
  });
  return meta;
}

FileHits scan_rollout(const fs::path& file, const CommitIndex& index, const std::vector<fs::path>& repo, bool& in_repo,
                      std::string& meta_id) {
  FileHits hits;
  in_repo = false;
  simdjson::dom::parser parser, args_parser;
  std::unordered_map<std::string, double> open_calls;  // call_id -> start
  auto made = [&](std::size_t i) { hits.made.insert(i); };
  for_each_line(file, [&](std::string_view line) {
    index.mentions(line, [&](std::size_t i) { hits.mentioned.insert(i); });
    bool meta = contains(line, "\"type\":\"session_meta\"") || contains(line, "\"type\":\"turn_context\"");
    if (meta && (!in_repo || meta_id.empty())) {
      auto doc = parse_object(parser, line);
      if (!doc) return true;
      auto p = payload_of(*doc);
      if (!p) return true;
      if (cwd_in_repo(repo, str_of(*p, "cwd"))) in_repo = true;
      if (meta_id.empty() && str_of(*doc, "type") == "session_meta") meta_id = std::string(str_of(*p, "id"));
      return true;
    }
    bool call = contains(line, "\"type\":\"function_call\"") || contains(line, "\"type\":\"local_shell_call\"");
    if (call && contains(line, "commit")) {
      auto doc = parse_object(parser, line);
      if (!doc) return true;
      auto p = payload_of(*doc);
      if (!p) return true;
      auto sc = shell_call(*p, args_parser);
      if (!sc || !is_git_commit_command(sc->command)) return true;
      if (!sc->workdir.empty() && fs::path(sc->workdir).is_absolute() && !cwd_in_repo(repo, sc->workdir))
        return true;  // committing in another repository
      auto start = parse_iso8601(str_of(*doc, "timestamp"));
      if (!start) return true;
      index.made_by_time(*start, std::nullopt, made);
      if (!sc->call_id.empty()) open_calls.emplace(sc->call_id, *start);
      return true;
    }
    if (contains(line, "\"exec_command_end\"") && contains(line, "commit")) {
      auto doc = parse_object(parser, line);
      if (!doc) return true;
      auto p = payload_of(*doc);
      if (!p || str_of(*p, "type") != "exec_command_end") return true;
      auto c = child(*p, "command");
      if (!c || !is_git_commit_command(command_text(*c))) return true;
      std::string_view cwd = str_of(*p, "cwd");
      if (!cwd.empty() && !cwd_in_repo(repo, cwd)) return true;
      auto end = parse_iso8601(str_of(*doc, "timestamp"));
      std::string call_id(str_of(*p, "call_id"));
      std::optional<double> start;
      if (auto it = open_calls.find(call_id); !call_id.empty() && it != open_calls.end()) {
        start = it->second;
        open_calls.erase(it);
      } else if (end) {
        start = *end - duration_seconds(*p).value_or(0.0);
      }
      if (start) index.made_by_time(*start, end, made);
      for (const char* key : {"aggregated_output", "stdout", "formatted_output"})
        index.summaries(str_of(*p, key), made);
      return true;
    }
    if (!open_calls.empty() && contains(line, "\"function_call_output\"")) {
      for (auto it = open_calls.begin(); it != open_calls.end();) {
        if (!contains(line, it->first)) {
          ++it;
          continue;
        }
        if (auto end = line_time(line)) index.made_by_time(it->second, end, made);
        index.summaries(line, made);
        it = open_calls.erase(it);
      }
    }
    return true;
  });
  return hits;
}

}  // namespace

std::optional<fs::path> codex_home() {
  std::string env = env_text("CODEX_HOME");
  if (!env.empty()) return fs::path(env);
  auto home = home_dir();
  if (!home) return std::nullopt;
  return *home / ".codex";
}

std::vector<Rollout> codex_rollouts() {
  std::vector<Rollout> out;
  auto home = codex_home();
  if (!home) return out;
  for (const char* sub : {"sessions", "archived_sessions"}) {
    fs::path base = *home / sub;
    std::error_code ec;
    if (!fs::is_directory(base, ec)) continue;
    fs::recursive_directory_iterator it(base, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      if (it.depth() > 3) {
        it.disable_recursion_pending();
        continue;
      }
      const fs::path& p = it->path();
      std::string name = p.filename().string();
      if (name.rfind("rollout-", 0) != 0 || p.extension() != ".jsonl") continue;
      std::string stem = p.stem().string();
      std::string id = stem.size() >= 36 && looks_like_uuid(std::string_view(stem).substr(stem.size() - 36))
                           ? stem.substr(stem.size() - 36)
                           : stem;
      out.push_back({p, id, mtime_seconds(p).value_or(0)});
    }
  }
  return out;
}

namespace {

constexpr const char* TOKEN_FIELDS[] = {"input_tokens",  "cached_input_tokens",     "cache_write_input_tokens",
                                        "output_tokens", "reasoning_output_tokens", "total_tokens"};

// A session's running token total. Builds write it in two kinds of line:
// `token_usage_record` (its `thread_token_usage`), written as soon as a
// response ends, hence before the shell call it asks for runs, and the
// `token_count` event (its `info.total_token_usage`), which some builds write
// only once that call has ended. Both are cumulative and repeated, so the
// latest reading is the session's total, never a sum of them; a reading lower
// than one already seen is a late echo of an earlier state and is passed over.
class CumulativeTokens {
public:
  void see(element usage) {
    json::Value t = json::Value::object();
    for (const char* key : TOKEN_FIELDS)
      if (auto v = int_of(usage, key)) t[key] = *v;
    if (t.empty()) return;
    const auto total = int_of(usage, "total_tokens");
    if (total && best_ && *total < *best_) return;
    if (total) best_ = total;
    tokens_ = std::move(t);
  }
  json::Value take() { return std::move(tokens_); }

private:
  json::Value tokens_ = json::Value::object();
  std::optional<std::int64_t> best_;
};

// Turns, from whichever kind of line the build writes: one `user_message`
// event per prompt (interactive runs of every build), one `task_started`
// event per turn, and each turn's `turn_context` naming its turn id (a
// headless run of current builds writes no `user_message`). The kinds overlap
// rather than add up, so the count is the largest any of them gives.
class TurnCount {
public:
  void user_message() { ++user_messages_; }
  void task_started(std::string_view turn_id) {
    ++tasks_started_;
    note(turn_id);
  }
  void turn_context(std::string_view turn_id) { note(turn_id); }
  std::size_t count() const { return std::max({user_messages_, tasks_started_, turn_ids_.size()}); }

private:
  void note(std::string_view turn_id) {
    if (!turn_id.empty()) turn_ids_.emplace(turn_id);
  }
  std::size_t user_messages_ = 0, tasks_started_ = 0;
  std::unordered_set<std::string> turn_ids_;
};

}  // namespace

TelemetryRecord codex_rollout_telemetry(const fs::path& rollout, const std::string& session_id) {
  simdjson::dom::parser parser;
  std::string meta_id, provider, version, model;
  std::vector<std::string> models;
  CumulativeTokens tokens;
  TurnCount turns;
  std::size_t anonymous_calls = 0;
  std::unordered_set<std::string> call_ids;
  TimestampRange span;

  for_each_line(rollout, [&](std::string_view line) {
    if (auto ts = find_string_field(line, "timestamp")) span.see(*ts);
    bool wanted = contains(line, "\"type\":\"session_meta\"") || contains(line, "\"type\":\"turn_context\"") ||
                  contains(line, "\"type\":\"token_count\"") || contains(line, "\"type\":\"user_message\"") ||
                  contains(line, "\"type\":\"token_usage_record\"") || contains(line, "\"type\":\"task_started\"") ||
                  contains(line, "\"type\":\"function_call\"") || contains(line, "\"type\":\"custom_tool_call\"") ||
                  contains(line, "\"type\":\"local_shell_call\"") ||
                  contains(line, "\"type\":\"thread_settings_applied\"");
    if (!wanted) return true;
    auto doc = parse_object(parser, line);
    if (!doc) return true;
    std::string_view type = str_of(*doc, "type");
    auto p = payload_of(*doc);
    if (!p) return true;
    auto set_model = [&](std::string_view m) {
      if (m.empty()) return;
      model.assign(m);
      if (std::find(models.begin(), models.end(), model) == models.end()) models.push_back(model);
    };
    if (type == "session_meta") {
      if (meta_id.empty()) meta_id = std::string(str_of(*p, "id"));
      if (provider.empty()) provider = std::string(str_of(*p, "model_provider"));
      if (std::string_view v = str_of(*p, "cli_version"); !v.empty()) version.assign(v);
      return true;
    }
    if (type == "turn_context") {
      set_model(str_of(*p, "model"));
      turns.turn_context(str_of(*p, "turn_id"));
      return true;
    }
    if (type == "token_usage_record") {
      if (auto usage = child_object(*p, "thread_token_usage")) tokens.see(*usage);
      return true;
    }
    std::string_view kind = str_of(*p, "type");
    if (type == "event_msg") {
      if (kind == "token_count") {
        auto info = child_object(*p, "info");
        if (!info) return true;
        if (auto total = child_object(*info, "total_token_usage")) tokens.see(*total);
      } else if (kind == "user_message") {
        turns.user_message();
      } else if (kind == "task_started") {
        std::string_view turn_id = str_of(*p, "turn_id");
        if (auto attribution = child_object(*p, "turn_attribution"); attribution && turn_id.empty())
          turn_id = str_of(*attribution, "turn_id");
        turns.task_started(turn_id);
      } else if (kind == "thread_settings_applied") {
        // Current builds nest the settings; earlier ones put the model beside the type.
        auto settings = child_object(*p, "thread_settings");
        std::string_view m = settings ? str_of(*settings, "model") : std::string_view();
        set_model(m.empty() ? str_of(*p, "model") : m);
      }
      return true;
    }
    if (type == "response_item" &&
        (kind == "function_call" || kind == "custom_tool_call" || kind == "local_shell_call")) {
      std::string_view id = str_of(*p, "call_id");
      if (id.empty()) id = str_of(*p, "id");
      if (id.empty())
        ++anonymous_calls;
      else
        call_ids.emplace(id);
    }
    return true;
  });

  TelemetryRecord rec;
  auto& d = rec.data;
  d["session_id"] = meta_id.empty() ? session_id : meta_id;
  d["transcript"] = rollout.filename().string();
  d["model"] = model;
  if (models.size() > 1) d["models"] = models;
  if (!provider.empty()) d["model_provider"] = provider;
  d["tokens"] = tokens.take();
  d["turns"] = turns.count();
  d["tool_calls"] = call_ids.size() + anonymous_calls;
  if (!span.empty()) {
    d["first_timestamp"] = span.first();
    d["last_timestamp"] = span.last();
  }
  if (!version.empty()) d["cli_version"] = version;
  return rec;
}

}  // namespace detail

bool CodexAdapter::is_active() const {
  return !detail::env_text("CODEX_THREAD_ID").empty() || !detail::env_text("CODEX_SANDBOX").empty() ||
         detail::env_text("CODEX_SANDBOX_NETWORK_DISABLED") == "1";
}

bool CodexAdapter::detect_in_repo(const fs::path& repo_root) const {
  std::error_code ec;
  return fs::is_directory(repo_root / ".codex", ec) || fs::is_regular_file(repo_root / "AGENTS.md", ec);
}

std::optional<std::string> CodexAdapter::get_session_id(const fs::path& repo_root) const {
  return utils::best_effort_or(
      std::nullopt, "codex session lookup failed", {.audible = false}, [&]() -> std::optional<std::string> {
        std::string env = detail::env_text("CODEX_THREAD_ID");
        if (!env.empty()) return env;
        auto repo = detail::repo_spellings(repo_root);
        auto rollouts = detail::codex_rollouts();
        std::sort(rollouts.begin(), rollouts.end(), [](const auto& a, const auto& b) { return a.mtime > b.mtime; });
        if (rollouts.size() > detail::SESSION_PROBE_FILES) rollouts.resize(detail::SESSION_PROBE_FILES);
        for (const auto& r : rollouts) {
          auto meta = detail::rollout_meta(r.path);
          if (detail::cwd_in_repo(repo, meta.cwd)) return meta.id.empty() ? r.session_id : meta.id;
        }
        return std::nullopt;
      });
}

std::optional<TelemetryRecord> CodexAdapter::get_telemetry_for_session(
    const fs::path& /*repo_root*/, const std::optional<std::string>& session_id) const {
  return utils::best_effort_or(std::nullopt, "codex telemetry failed", {.audible = false},
                               [&]() -> std::optional<TelemetryRecord> {
                                 if (!session_id || !detail::is_safe_session_id(*session_id)) return std::nullopt;
                                 // Session ids are unique per machine, so the file name finds it
                                 // wherever the session ran.
                                 for (const auto& r : detail::codex_rollouts())
                                   if (r.session_id == *session_id)
                                     return detail::codex_rollout_telemetry(r.path, *session_id);
                                 return std::nullopt;
                               });
}

std::map<std::string, std::vector<std::string>> CodexAdapter::sessions_mentioning(
    const fs::path& repo_root, const std::vector<std::string>& commits,
    const SessionsMentioningOptions& options) const {
  return detail::sessions_in_files(detail::codex_rollouts(), repo_root, commits, options, "codex rollout",
                                   [](const fs::path& file, const detail::CommitIndex& index,
                                      const std::vector<fs::path>& repo, bool& in_repo, std::string& session_id) {
                                     std::string meta_id;
                                     auto hits = detail::scan_rollout(file, index, repo, in_repo, meta_id);
                                     if (!meta_id.empty()) session_id = meta_id;
                                     return hits;
                                   });
}

bool CodexAdapter::npx_covers_skills(const fs::path& repo_root) const {
  // Codex reads the installer's shared directory itself.
  return detail::npx_skills_present(repo_root, {skills_dir()});
}

fs::path CodexAdapter::skills_dir() const { return ".agents/skills"; }

void CodexAdapter::write_skills(const fs::path& repo_root, const json::Value& skills) const {
  detail::write_skills_into(repo_root, skills_dir(), skills);
}

}  // namespace brenik::agents
