#include "agents/claude_code.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
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

constexpr std::size_t FOLDER_NAME_LIMIT = 200;
// Lines read from the head of a transcript to find its working directory.
constexpr int CWD_PROBE_LINES = 200;

bool contains(std::string_view hay, std::string_view needle) { return hay.find(needle) != std::string_view::npos; }

struct Usage {
  std::int64_t input = 0, output = 0, cache_creation = 0, cache_read = 0;
  std::int64_t total() const { return input + output + cache_creation + cache_read; }
};

Usage read_usage(element usage) {
  Usage u;
  u.input = int_of(usage, "input_tokens").value_or(0);
  u.output = int_of(usage, "output_tokens").value_or(0);
  u.cache_read = int_of(usage, "cache_read_input_tokens").value_or(0);
  std::int64_t flat = int_of(usage, "cache_creation_input_tokens").value_or(0);
  // Some versions reported the flat figure as 0 while the breakdown had
  // the real numbers: the breakdown wins when it says anything.
  std::int64_t nested = 0;
  simdjson::dom::object cc;
  if (auto c = child_object(usage, "cache_creation"); c && c->get_object().get(cc) == simdjson::SUCCESS) {
    for (auto field : cc) {
      std::int64_t v;
      if (field.value.get_int64().get(v) == simdjson::SUCCESS && v > 0) nested += v;
    }
  }
  u.cache_creation = nested > 0 ? nested : flat;
  return u;
}

// A human prompt: a user line that carries neither tool results nor the
// harness's own bookkeeping (meta lines, compaction summaries, slash-command
// echoes).
bool is_prompt(element line) {
  if (bool_of(line, "isMeta") || bool_of(line, "isCompactSummary") || bool_of(line, "isVisibleInTranscriptOnly"))
    return false;
  auto msg = child_object(line, "message");
  if (!msg) return false;
  auto content = child(*msg, "content");
  if (!content) return false;
  std::string_view text;
  if (content->get_string().get(text) == simdjson::SUCCESS) {
    if (text.rfind("<command-", 0) == 0 || text.rfind("<local-command-", 0) == 0) return false;
    return !text.empty();
  }
  simdjson::dom::array blocks;
  if (content->get_array().get(blocks) != simdjson::SUCCESS) return false;
  bool any_text = false;
  for (auto b : blocks) {
    std::string_view t = str_of(b, "type");
    if (t == "tool_result") return false;
    if (t == "text" || t == "image") any_text = true;
  }
  return any_text;
}

// First cwd recorded in the transcript's head, "" when none.
std::string transcript_cwd(const fs::path& file) {
  std::string cwd;
  int seen = 0;
  for_each_line(file, [&](std::string_view line) {
    if (auto c = find_string_field(line, "cwd")) {
      cwd.assign(*c);
      return false;
    }
    return ++seen < CWD_PROBE_LINES;
  });
  return cwd;
}

struct Transcript {
  fs::path path;
  std::string session_id;
  double mtime = 0;
};

// Top-level session transcripts of the folders and, when asked, their
// subagent transcripts (which belong to the parent session).
std::vector<Transcript> list_transcripts(const std::vector<fs::path>& folders, bool subagents) {
  std::vector<Transcript> out;
  for (const auto& folder : folders) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end; !ec && it != end;
         it.increment(ec)) {
      const fs::path& p = it->path();
      std::string stem = p.stem().string();
      if (p.extension() == ".jsonl") {
        if (!is_safe_session_id(stem)) continue;
        auto mt = mtime_seconds(p);
        out.push_back({p, stem, mt.value_or(0)});
      } else if (subagents && is_safe_session_id(p.filename().string())) {
        std::error_code ec2;
        fs::path sub = p / "subagents";
        if (!fs::is_directory(sub, ec2)) continue;
        for (fs::directory_iterator s(sub, fs::directory_options::skip_permission_denied, ec2), e2; !ec2 && s != e2;
             s.increment(ec2)) {
          if (s->path().extension() != ".jsonl") continue;
          auto mt = mtime_seconds(s->path());
          out.push_back({s->path(), p.filename().string(), mt.value_or(0)});
        }
      }
    }
  }
  return out;
}

// Hits of one transcript, and whether any of its lines ran in the repo.
FileHits scan_transcript(const fs::path& file, const CommitIndex& index, const std::vector<fs::path>& repo,
                         bool& in_repo) {
  FileHits hits;
  in_repo = false;
  simdjson::dom::parser parser;
  std::unordered_map<std::string, double> open_calls;  // tool_use id -> start
  for_each_line(file, [&](std::string_view line) {
    index.mentions(line, [&](std::size_t i) { hits.mentioned.insert(i); });
    if (!in_repo) {
      if (auto c = find_string_field(line, "cwd"); c && cwd_in_repo(repo, *c)) in_repo = true;
    }
    if (contains(line, "\"tool_use\"") && contains(line, "commit")) {
      auto doc = parse_object(parser, line);
      if (!doc || str_of(*doc, "type") != "assistant") return true;
      std::string_view cwd = str_of(*doc, "cwd");
      if (!cwd.empty() && !cwd_in_repo(repo, cwd)) return true;
      auto start = parse_iso8601(str_of(*doc, "timestamp"));
      auto msg = child_object(*doc, "message");
      simdjson::dom::array blocks;
      if (!msg || !child(*msg, "content") || (*msg)["content"].get_array().get(blocks) != simdjson::SUCCESS)
        return true;
      for (auto b : blocks) {
        if (str_of(b, "type") != "tool_use") continue;
        auto input = child_object(b, "input");
        if (!input) continue;
        std::string_view command = str_of(*input, "command");
        if (command.empty() || !is_git_commit_command(command)) continue;
        if (start) index.made_by_time(*start, std::nullopt, [&](std::size_t i) { hits.made.insert(i); });
        std::string_view id = str_of(b, "id");
        if (!id.empty() && start) open_calls.emplace(std::string(id), *start);
      }
      return true;
    }
    if (!open_calls.empty() && contains(line, "\"tool_result\"")) {
      for (auto it = open_calls.begin(); it != open_calls.end();) {
        if (!contains(line, it->first)) {
          ++it;
          continue;
        }
        std::optional<double> end;
        if (auto ts = find_string_field(line, "timestamp")) end = parse_iso8601(*ts);
        if (end) index.made_by_time(it->second, end, [&](std::size_t i) { hits.made.insert(i); });
        index.summaries(line, [&](std::size_t i) { hits.made.insert(i); });
        it = open_calls.erase(it);
      }
    }
    return true;
  });
  return hits;
}

std::optional<fs::path> find_transcript(const fs::path& repo_root, const std::string& session_id) {
  std::string file = session_id + ".jsonl";
  std::error_code ec;
  for (const auto& folder : claude_repo_folders(repo_root)) {
    fs::path p = folder / file;
    if (fs::is_regular_file(p, ec)) return p;
  }
  // An explicit session id names one session wherever it ran (a session
  // started in a parent directory can still commit here).
  for (const auto& projects : claude_projects_dirs()) {
    for (fs::directory_iterator it(projects, fs::directory_options::skip_permission_denied, ec), end; !ec && it != end;
         it.increment(ec)) {
      std::error_code ec2;
      fs::path p = it->path() / file;
      if (fs::is_regular_file(p, ec2)) return p;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string claude_folder_name(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) c = '-';
  }
  return out;
}

std::vector<fs::path> claude_projects_dirs() {
  std::vector<fs::path> roots;
  std::string config = env_text("CLAUDE_CONFIG_DIR");
  auto home = home_dir();
  if (!config.empty())
    roots.emplace_back(config);
  else if (home)
    roots.push_back(*home / ".claude");
  std::string xdg = env_text("XDG_CONFIG_HOME");
  if (!xdg.empty())
    roots.push_back(fs::path(xdg) / "claude");
  else if (home)
    roots.push_back(*home / ".config" / "claude");
  std::vector<fs::path> out;
  for (const auto& r : roots) {
    fs::path p = (r / "projects").lexically_normal();
    std::error_code ec;
    if (fs::is_directory(p, ec) && std::find(out.begin(), out.end(), p) == out.end()) out.push_back(p);
  }
  return out;
}

std::vector<fs::path> claude_repo_folders(const fs::path& repo_root) {
  std::vector<std::string> names;
  for (const auto& spelling : repo_spellings(repo_root)) {
    std::string n = claude_folder_name(spelling.string());
    if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
  }
  std::string fixed = env_text("CLAUDE_CODE_PROJECT_DIR_NAME");
  bool fixed_ok = !fixed.empty() && !env_text("CLAUDE_CONFIG_DIR").empty() && fixed.find('/') == std::string::npos &&
                  fixed != "." && fixed != "..";
  std::vector<fs::path> out;
  for (const auto& projects : claude_projects_dirs()) {
    std::error_code ec;
    for (fs::directory_iterator it(projects, fs::directory_options::skip_permission_denied, ec), end; !ec && it != end;
         it.increment(ec)) {
      std::string entry = it->path().filename().string();
      bool match = fixed_ok && entry == fixed;
      for (const auto& n : names) {
        if (match) break;
        if (n.size() <= FOLDER_NAME_LIMIT) {
          // The root itself, or a subdirectory of it ("-repo-sub").
          match =
              entry == n || (entry.size() > n.size() && entry.compare(0, n.size(), n) == 0 && entry[n.size()] == '-');
        } else {
          // Cut to 200 characters plus "-<hash>": only the prefix is known.
          match = entry.size() > FOLDER_NAME_LIMIT && entry.compare(0, FOLDER_NAME_LIMIT, n, 0, FOLDER_NAME_LIMIT) == 0;
        }
      }
      std::error_code ec2;
      if (match && it->is_directory(ec2)) out.push_back(it->path());
    }
  }
  return out;
}

TelemetryRecord claude_transcript_telemetry(const fs::path& transcript, const std::string& session_id) {
  simdjson::dom::parser parser;
  std::unordered_map<std::string, Usage> by_message;
  Usage unkeyed;
  std::size_t unkeyed_count = 0;
  std::string model;
  std::vector<std::string> models;
  std::unordered_set<std::string> tool_ids;
  std::size_t tool_calls_without_id = 0;
  std::size_t turns = 0;
  TimestampRange span;
  std::string version;

  for_each_line(transcript, [&](std::string_view line) {
    bool assistant = contains(line, "\"type\":\"assistant\"");
    bool user = !assistant && contains(line, "\"type\":\"user\"");
    if (!assistant && !user) return true;
    if (user && contains(line, "\"type\":\"tool_result\"")) {
      // Tool output lines are the bulk of a transcript and carry no usage:
      // take their timestamp without parsing them.
      if (auto ts = find_string_field(line, "timestamp")) span.see(*ts);
      return true;
    }
    auto doc = parse_object(parser, line);
    if (!doc) return true;
    std::string_view type = str_of(*doc, "type");
    span.see(str_of(*doc, "timestamp"));
    if (std::string_view v = str_of(*doc, "version"); !v.empty()) version.assign(v);
    if (type == "user") {
      if (is_prompt(*doc)) ++turns;
      return true;
    }
    if (type != "assistant") return true;
    auto msg = child_object(*doc, "message");
    if (!msg) return true;
    std::string_view m = str_of(*msg, "model");
    if (m == "<synthetic>" || bool_of(*doc, "isApiErrorMessage")) return true;
    if (!m.empty()) {
      model.assign(m);
      if (std::find(models.begin(), models.end(), model) == models.end()) models.push_back(model);
    }
    simdjson::dom::array blocks;
    if (child(*msg, "content") && (*msg)["content"].get_array().get(blocks) == simdjson::SUCCESS) {
      for (auto b : blocks) {
        if (str_of(b, "type") != "tool_use") continue;
        std::string_view id = str_of(b, "id");
        if (id.empty())
          ++tool_calls_without_id;
        else
          tool_ids.emplace(id);
      }
    }
    auto usage = child_object(*msg, "usage");
    if (!usage) return true;
    Usage u = read_usage(*usage);
    std::string_view id = str_of(*msg, "id");
    if (id.empty()) {
      // Nothing to deduplicate on: every such line is its own message.
      unkeyed.input += u.input;
      unkeyed.output += u.output;
      unkeyed.cache_creation += u.cache_creation;
      unkeyed.cache_read += u.cache_read;
      ++unkeyed_count;
      return true;
    }
    // One API response is written as several lines sharing message id and
    // request id, each repeating the usage; later copies may carry a larger
    // output count. Count it once, keeping the largest copy.
    std::string key(id);
    std::string_view request = str_of(*doc, "requestId");
    if (!request.empty()) {
      key += '\x1f';
      key += request;
    }
    auto [it, inserted] = by_message.emplace(std::move(key), u);
    if (!inserted && u.total() > it->second.total()) it->second = u;
    return true;
  });

  Usage sum = unkeyed;
  for (const auto& [key, u] : by_message) {
    sum.input += u.input;
    sum.output += u.output;
    sum.cache_creation += u.cache_creation;
    sum.cache_read += u.cache_read;
  }
  std::size_t messages = by_message.size() + unkeyed_count;

  TelemetryRecord rec;
  auto& d = rec.data;
  d["session_id"] = session_id;
  d["transcript"] = transcript.filename().string();
  d["model"] = model;
  if (models.size() > 1) d["models"] = models;
  json::Value tokens = json::Value::object();
  if (messages > 0) {
    tokens["input_tokens"] = sum.input;
    tokens["output_tokens"] = sum.output;
    tokens["cache_creation_input_tokens"] = sum.cache_creation;
    tokens["cache_read_input_tokens"] = sum.cache_read;
    tokens["total_tokens"] = sum.total();
  }
  d["tokens"] = tokens;
  d["turns"] = turns;
  d["assistant_messages"] = messages;
  d["tool_calls"] = tool_ids.size() + tool_calls_without_id;
  if (!span.empty()) {
    d["first_timestamp"] = span.first();
    d["last_timestamp"] = span.last();
  }
  if (!version.empty()) d["cli_version"] = version;
  return rec;
}

}  // namespace detail

bool ClaudeCodeAdapter::is_active() const {
  return detail::env_text("CLAUDECODE") == "1" || !detail::env_text("CLAUDE_CODE_SESSION_ID").empty() ||
         !detail::env_text("CLAUDE_CODE_CHILD_SESSION").empty();
}

bool ClaudeCodeAdapter::detect_in_repo(const fs::path& repo_root) const {
  std::error_code ec;
  return fs::is_directory(repo_root / ".claude", ec) || fs::is_regular_file(repo_root / "CLAUDE.md", ec);
}

std::optional<std::string> ClaudeCodeAdapter::get_session_id(const fs::path& repo_root) const {
  return utils::best_effort_or(
      std::nullopt, "claude-code session lookup failed", {.audible = false}, [&]() -> std::optional<std::string> {
        // Set in the Bash tool's environment, which git hooks inherit.
        std::string env = detail::env_text("CLAUDE_CODE_SESSION_ID");
        if (!env.empty()) return env;
        auto repo = detail::repo_spellings(repo_root);
        auto transcripts = detail::list_transcripts(detail::claude_repo_folders(repo_root), false);
        std::sort(transcripts.begin(), transcripts.end(),
                  [](const auto& a, const auto& b) { return a.mtime > b.mtime; });
        for (const auto& t : transcripts)
          if (detail::cwd_in_repo(repo, detail::transcript_cwd(t.path))) return t.session_id;
        return std::nullopt;
      });
}

std::optional<TelemetryRecord> ClaudeCodeAdapter::get_telemetry_for_session(
    const fs::path& repo_root, const std::optional<std::string>& session_id) const {
  return utils::best_effort_or(std::nullopt, "claude-code telemetry failed", {.audible = false},
                               [&]() -> std::optional<TelemetryRecord> {
                                 if (!session_id || !detail::is_safe_session_id(*session_id)) return std::nullopt;
                                 auto file = detail::find_transcript(repo_root, *session_id);
                                 if (!file) return std::nullopt;
                                 return detail::claude_transcript_telemetry(*file, *session_id);
                               });
}

std::map<std::string, std::vector<std::string>> ClaudeCodeAdapter::sessions_mentioning(
    const fs::path& repo_root, const std::vector<std::string>& commits,
    const SessionsMentioningOptions& options) const {
  return detail::sessions_in_files(
      detail::list_transcripts(detail::claude_repo_folders(repo_root), true), repo_root, commits, options,
      "claude-code transcript",
      [](const fs::path& file, const detail::CommitIndex& index, const std::vector<fs::path>& repo, bool& in_repo,
         std::string&) { return detail::scan_transcript(file, index, repo, in_repo); });
}

bool ClaudeCodeAdapter::npx_covers_skills(const fs::path& repo_root) const {
  return detail::npx_skills_present(repo_root, {skills_dir()});
}

fs::path ClaudeCodeAdapter::skills_dir() const { return ".claude/skills"; }

void ClaudeCodeAdapter::write_skills(const fs::path& repo_root, const json::Value& skills) const {
  detail::write_skills_into(repo_root, skills_dir(), skills);
}

}  // namespace brenik::agents
