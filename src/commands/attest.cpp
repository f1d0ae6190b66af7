#include "commands/attest.hpp"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "hooks/scripts.hpp"
#include "paths/paths.hpp"
#include "services/tolvern.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/json_utf8.hpp"
#include "utils/time.hpp"
#include "utils/truthy.hpp"
#include "utils/yaml.hpp"

namespace brenik::commands {

namespace fs = std::filesystem;
namespace out = display::output;
namespace shared = services::shared;

namespace detail {

constexpr const char* GROUP_DESCRIPTION = "Create .brenik/.commit-attestation.yaml from structured flags.";

// Printed as written: the formatter does not re-wrap it, so the shell
// continuation lines stay copyable.
constexpr const char* GROUP_EPILOG = R"(Example:

  brenik attest --example

  brenik attest \
    --staged-diff-hash $(git diff --staged | shasum -a 256 | cut -d' ' -f1) \
    --model claude-opus-4-6 \
    --summary "Added rate limiting to auth endpoints" \
    --rules '{"checked": true, "applicable": [{"id": "api-rate-limits", "status": "followed"}]}' \
    --arch-changes '{"architecture": {"elements": [{"name": "auth-rate-limiter", "change": "added", "description": "Token-bucket limiter in front of the auth endpoints"}]}}'

Developer identity, agent session id, and telemetry are populated automatically by brenik post-commit. Don't pass them here.)";

// The lines an attestation is refused with, each printed as an error.
struct Refusal : std::exception {
  explicit Refusal(std::vector<std::string> lines) : messages(std::move(lines)) {}
  const char* what() const noexcept override { return messages.empty() ? "refused" : messages.front().c_str(); }
  std::vector<std::string> messages;
};

// The first `n` characters (code points) of `text`.
// What sets two hashes apart, in words: both usually start alike when the
// agent pasted `sha256sum` output with its trailing "  -".
std::string hash_difference(const std::string& given, const std::string& current) {
  if (given.size() > current.size() && given.compare(0, current.size(), current) == 0)
    return "Difference: the provided hash has " + std::to_string(given.size() - current.size()) +
           " extra character(s) after the 64 hex digits (\"" + given.substr(current.size()) +
           "\"); pass the hash alone (cut -d' ' -f1).";
  if (given.size() != current.size())
    return "Difference: the provided hash is " + std::to_string(given.size()) + " characters long, the current one " +
           std::to_string(current.size()) + ".";
  std::size_t at = 0;
  while (at < given.size() && given[at] == current[at]) ++at;
  return "Difference: the hashes differ from character " + std::to_string(at + 1) +
         " on: the staged changes are not the ones hashed.";
}

std::string first_chars(std::string_view text, std::size_t n) {
  std::size_t i = 0;
  for (std::size_t k = 0; k < n && i < text.size(); ++k) json::detail::next_code_point(text, i);
  return std::string(text.substr(0, i));
}

// The decoded JSON option, or none when the option is absent or empty.
std::optional<json::Value> decode_option(const std::optional<std::string>& text, const char* flag) {
  if (!text || text->empty()) return std::nullopt;
  try {
    return json::loads(*text);
  } catch (const JSONDecodeError& e) {
    throw Refusal({std::string("Invalid ") + flag + " JSON: " + e.what()});
  }
}

json::Value build_attestation(const AttestOptions& o, const std::string& timestamp,
                              const std::optional<json::Value>& provenance, const std::optional<json::Value>& rules,
                              const std::optional<json::Value>& arch_changes) {
  json::Value a = json::Value::object();
  a["staged_diff_hash"] = *o.staged_diff_hash;
  a["timestamp"] = timestamp;
  a["agent_model"] = *o.model;
  if (truthy(o.agent)) a["agent"] = *o.agent;
  if (truthy(o.provider)) a["agent_provider"] = *o.provider;
  if (truthy(o.agent_id)) a["agent_id"] = *o.agent_id;
  if (provenance && truthy(*provenance)) a["provenance"] = *provenance;
  if (o.task_type) a["task_type"] = *o.task_type;
  if (rules && truthy(*rules)) a["rules"] = *rules;
  if (arch_changes && truthy(*arch_changes)) {
    // Only the known primitives, in their own order: readers rely on it.
    json::Value changes = json::Value::object();
    for (const auto& key : shared::V2_PRIMITIVES) {
      auto it = arch_changes->find(key);
      if (it != arch_changes->end()) changes[key] = *it;
    }
    a["changes"] = std::move(changes);
  }
  a["summary"] = *o.summary;
  return a;
}

int attest(const AttestOptions& o, const out::Output& output, const std::optional<fs::path>& worktree) {
  if (o.show_example) {
    out::console_print(output, hooks::scripts::example_attestation());
    return 0;
  }

  std::vector<std::string> missing;
  if (!o.staged_diff_hash) missing.push_back("--staged-diff-hash");
  if (!o.model) missing.push_back("--model");
  if (!o.summary) missing.push_back("--summary");
  if (!missing.empty()) {
    std::string text = "Missing required flags: ";
    for (std::size_t i = 0; i < missing.size(); ++i) text += (i ? ", " : "") + missing[i];
    throw Refusal({text});
  }
  // The command line's parser refuses other values before this runs; other
  // callers pass the value as they got it.
  if (o.task_type) {
    const auto& valid = shared::VALID_TASK_TYPES;
    if (std::find(valid.begin(), valid.end(), *o.task_type) == valid.end()) {
      std::string names;
      for (const auto& v : valid) names += (names.empty() ? "" : ", ") + v;
      throw Refusal({"--task-type must be one of " + names + ", got: " + json::repr(json::Value(*o.task_type))});
    }
  }

  // The hash ties the file to the commit; it is checked even with
  // --no-verify, since a mismatched file would never be picked up.
  std::optional<fs::path> found;
  if (!worktree) {
    found = repo_root_or_error(output, NOT_IN_REPOSITORY);
  } else {
    try {
      found = shared::get_repo_root(worktree);
    } catch (const std::exception&) {
      out::error(output, NOT_IN_REPOSITORY);
    }
  }
  if (!found) return 1;
  const fs::path& repo_root = *found;
  const std::string current = shared::get_staged_diff_hash(worktree);
  if (*o.staged_diff_hash != current) {
    out::error(output, "Diff hash mismatch \xe2\x80\x94 staged changes have changed since hash was computed");
    out::console_print(output, "  Provided: " + first_chars(*o.staged_diff_hash, 16) + "...");
    out::console_print(output, "  Current:  " + first_chars(current, 16) + "...");
    out::console_print(output, "  " + hash_difference(*o.staged_diff_hash, current));
    return 1;
  }

  const auto rules = decode_option(o.rules, "--rules");
  const auto arch_changes = decode_option(o.arch_changes, "--arch-changes");
  if (arch_changes && truthy(*arch_changes) && !arch_changes->is_object())
    throw Refusal({"--arch-changes must be a JSON object, got: " + json::type_name(*arch_changes)});
  const auto provenance = decode_option(o.provenance, "--provenance");
  if (provenance) {
    if (!provenance->is_object())
      throw Refusal({"--provenance must be a JSON object, got: " + json::type_name(*provenance)});
    const auto& type = member(*provenance, "type");
    const auto& valid = shared::VALID_PROVENANCE_TYPES;
    if (!type.is_string() || std::find(valid.begin(), valid.end(), type.get<std::string>()) == valid.end())
      throw Refusal(
          {"provenance.type must be one of " + shared::provenance_types_text() + ", got: " + json::repr(type)});
  }

  const std::string timestamp = truthy(o.timestamp) ? *o.timestamp : utils::utc_now_iso();
  const json::Value attestation = build_attestation(o, timestamp, provenance, rules, arch_changes);

  const char* no_verify_env = std::getenv("BRENIK_NO_VERIFY");
  const bool skip_validation = o.no_verify || (no_verify_env && std::string(no_verify_env) == "1");
  if (!skip_validation) {
    auto [errors, warnings] = shared::validate_attestation_fields(attestation);
    for (const auto& w : warnings) out::warning(output, w);
    if (!errors.empty()) throw Refusal{errors};
  }

  const fs::path path = paths::commit_attestation(repo_root);
  const std::string relative = path.lexically_relative(repo_root).generic_string();
  // A `.brenik` that is a link to somewhere else would carry the write out
  // of the repository.
  if (!utils::stays_inside(repo_root, path))
    throw Refusal({"Refusing to write " + relative + ": it leads outside the repository"});
  try {
    utils::make_dirs(path.parent_path());
    utils::atomic_write(path, "---\n" + yaml::dump(attestation) + "---\n");
  } catch (const OSError& e) {
    throw Refusal({"Could not write " + relative + ": " + e.what()});
  }

  out::success(output, "Created " + relative);
  out::info(output, "  Run 'git commit' \xe2\x80\x94 the pre-commit hook will verify the hash.");
  return 0;
}

}  // namespace detail

int run_attest(const AttestOptions& options, const out::Output& output, const std::optional<fs::path>& worktree) {
  try {
    return detail::attest(options, output, worktree);
  } catch (const detail::Refusal& r) {
    for (const auto& m : r.messages) out::error(output, m);
    return 1;
  }
}

CLI::App* attest_group(CLI::App& app) { return app.get_subcommand("attest"); }

void register_attest(CLI::App& app, Context& ctx) {
  CLI::App* group = app.add_subcommand("attest", detail::GROUP_DESCRIPTION);
  // A footer callback rather than a footer text: subcommands do not inherit
  // it, so `attest add --help` does not repeat this example.
  group->footer([] { return std::string(detail::GROUP_EPILOG); });

  // Text options are bound to plain strings and read back as "given or
  // not" through their count, so that an empty text counts as given.
  struct TextOption {
    std::string value;
    CLI::Option* option = nullptr;
    std::optional<std::string> AttestOptions::*field = nullptr;
  };
  struct Bound {
    AttestOptions options;
    std::deque<TextOption> texts;  // stable addresses for CLI11's bindings
  };
  auto b = std::make_shared<Bound>();
  auto text = [&](const char* name, std::optional<std::string> AttestOptions::*field, const char* help) {
    TextOption& t = b->texts.emplace_back();
    t.field = field;
    t.option = group->add_option(name, t.value, help);
    return t.option;
  };

  group->add_flag("--example", b->options.show_example, "Print the example attestation template and exit.");
  text("--staged-diff-hash", &AttestOptions::staged_diff_hash, "SHA-256 of staged diff.");
  text("--agent", &AttestOptions::agent,
       "Agent name (e.g. claude-code, cursor, aider). Optional \xe2\x80\x94 sync fills it from the "
       "active adapter if omitted.");
  text("--provider", &AttestOptions::provider,
       "Model provider (e.g. anthropic, openai). Optional \xe2\x80\x94 sync fills it from the active "
       "adapter if omitted.");
  text("--model", &AttestOptions::model, "Model ID (e.g. claude-opus-4-6).");
  text("--summary", &AttestOptions::summary, "One-line impact summary.");
  text("--agent-id", &AttestOptions::agent_id, "Optional agent identifier.");
  text("--rules", &AttestOptions::rules, R"(JSON string: {"checked": true, "applicable": [...]}.)");
  text(
      "--arch-changes", &AttestOptions::arch_changes,
      R"(JSON string with architecture change primitives. Elements use structured format: {"architecture": {"elements": [{"name": "...", "change": "added|modified|removed", "description": "...", "fact_changes": {"add": [], "update": [], "remove": []}}], ...}})");
  text("--provenance", &AttestOptions::provenance,
       R"(JSON string: {"type": "spec|ticket|bug-fix|ad-hoc", "ref": "..."}. Where the request came from.)");
  text("--task-type", &AttestOptions::task_type,
       "What kind of change this is, as opposed to where the request came from.")
      ->check(CLI::IsMember(shared::VALID_TASK_TYPES));
  text("--timestamp", &AttestOptions::timestamp, "ISO 8601 timestamp. Auto-generated if omitted.");
  group->add_flag("--no-verify", b->options.no_verify, "Skip field validation (hash check still runs).");

  on_run(group, ctx, [b] {
    AttestOptions options = b->options;
    for (const auto& t : b->texts)
      if (t.option->count() > 0) options.*t.field = t.value;
    try {
      return run_attest(options, out::standard());
    } catch (const std::exception& e) {
      out::error(out::standard(), e.what());
      return 1;
    }
  });

  register_attest_add(*group, ctx);
}

}  // namespace brenik::commands
