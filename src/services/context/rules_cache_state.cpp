#include "services/context/rules_cache_state.hpp"

#include "utils/best_effort.hpp"
#include "utils/fs.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/text.hpp"
#include "utils/truthy.hpp"
#include "utils/yaml.hpp"

namespace brenik::services::tolvern {

const std::vector<std::string> RULE_SECTIONS = {"principles", "adrs",        "checks",
                                                "invariants", "constraints", "guardrails"};

namespace {

// The commit hooks read these files: a link to a device, or a file far
// larger than any cache the server sends, must not hold them up.
constexpr std::size_t MAX_CONFIG_BYTES = std::size_t{1} << 20;
constexpr std::size_t MAX_RULES_BYTES = std::size_t{16} << 20;

// An empty or missing member reads as an empty mapping.
json::Value member_or_empty(const json::Value& v, const char* key) {
  const auto& m = member(v, key);
  return truthy(m) ? m : json::Value::object();
}

std::optional<long long> recorded_status(const std::filesystem::path& cache_dir) {
  auto text = utils::try_read_small_regular_file(cache_dir / "config.yaml", MAX_CONFIG_BYTES);
  if (!text || !utils::is_valid_utf8(*text)) return std::nullopt;
  // A configuration that does not parse records no status.
  auto parsed = utils::best_effort_or(std::nullopt, utils::unlogged,
                                      [&] { return std::optional<json::Value>(yaml::load(*text)); });
  if (!parsed) return std::nullopt;
  json::Value config = std::move(*parsed);
  if (!truthy(config)) config = json::Value::object();
  if (!config.is_object()) return std::nullopt;
  auto cache = member_or_empty(config, "cache");
  if (!cache.is_object()) return std::nullopt;
  auto statuses = member_or_empty(cache, "fetch_status");
  const auto& status = member(statuses, "brenikrules");
  if (status.is_number_integer()) return status.get<long long>();
  return std::nullopt;
}

}  // namespace

RulesCacheState read_rules_cache_state(const std::filesystem::path& cache_dir) {
  const auto status = recorded_status(cache_dir);
  const auto rules_path = cache_dir / "brenikrules.yaml";
  std::error_code ec;
  if (!std::filesystem::exists(rules_path, ec)) return {.count = std::nullopt, .last_fetch_status = status};
  // A file that cannot be read, is too large, or is not UTF-8 YAML: the
  // answer is "unreadable", which the status shows with its repair.
  const auto read = utils::best_effort_or(std::nullopt, utils::unlogged, [&]() -> std::optional<json::Value> {
    auto content = utils::read_small_regular_file(rules_path, MAX_RULES_BYTES);
    if (!content || !utils::is_valid_utf8(*content)) return std::nullopt;
    return yaml::load(*content);
  });
  if (!read) return {.count = std::nullopt, .last_fetch_status = status, .unreadable = true};
  const json::Value& doc = *read;
  if (doc.is_null()) return {.count = 0, .last_fetch_status = status};
  if (!doc.is_object()) return {.count = std::nullopt, .last_fetch_status = status, .unreadable = true};
  long long count = 0;
  for (const auto& name : RULE_SECTIONS) {
    const auto& section = member(doc, name);
    if (section.is_object()) count += static_cast<long long>(section.size());
  }
  return {.count = count, .last_fetch_status = status};
}

std::string RulesCacheState::describe() const {
  if (unreadable) return "unreadable \u2014 run 'brenik sync' to repair the cache";
  if (!count && fetch_failed()) return "unavailable \u2014 last sync could not reach brenik";
  if (!count) return "not cached \u2014 run 'brenik sync'";
  if (fetch_failed()) return std::to_string(*count) + " (stale \u2014 last sync could not reach brenik)";
  return std::to_string(*count);
}

}  // namespace brenik::services::tolvern
