#include "services/ledger/ledger_service.hpp"

#include "paths/paths.hpp"
#include "services/shared.hpp"
#include "utils/errors.hpp"
#include "utils/filelock.hpp"
#include "utils/fs.hpp"
#include "utils/time.hpp"
#include "utils/json.hpp"

namespace brenik::services::ledger_service {

namespace {

fs::path pointers_file(const fs::path& repo_root) { return paths::ledger_dir(repo_root) / "pointers.json"; }

fs::path ledger_for(const fs::path& repo_root, const std::string& slug) {
  // A slug becomes a file name: anything but a plain slug could walk out.
  if (!shared::is_change_spec_slug(slug)) throw ValueError("unsafe change slug: " + slug);
  return paths::ledger_jsonl(repo_root, slug);
}

template <typename Fn>
void for_each_event(const fs::path& ledger, Fn&& fn) {
  auto text = utils::try_read_file(ledger);
  if (!text) return;
  std::size_t start = 0;
  while (start < text->size()) {
    auto end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    auto ev = json::try_loads(std::string_view(*text).substr(start, end - start));
    start = end + 1;
    if (ev && ev->is_object()) fn(*ev);
  }
}

}  // namespace

bool is_sealed(const fs::path& repo_root, const std::string& slug) {
  bool sealed = false;
  for_each_event(ledger_for(repo_root, slug), [&](const json::Value& ev) {
    if (text_member(ev, "milestone") == "sealed") sealed = true;
  });
  return sealed;
}

void append_event(const fs::path& repo_root, const std::string& slug, json::Value event) {
  auto ledger = ledger_for(repo_root, slug);
  utils::make_dirs(ledger.parent_path());
  if (!event.contains("timestamp")) event["timestamp"] = utils::utc_now_iso();
  std::string line = json::dumps(event) + "\n";
  auto guard = utils::locked(ledger);
  utils::append_file(ledger, line);
}

void mark_milestone(const fs::path& repo_root, const std::string& slug, const std::string& milestone,
                    const MarkMilestoneOptions& options) {
  json::Value ev = json::Value::object();
  ev["event"] = "milestone";
  ev["milestone"] = milestone;
  ev["evidence"] = options.evidence;
  append_event(repo_root, slug, std::move(ev));
}

json::Value read_pointers(const fs::path& repo_root) {
  auto text = utils::try_read_file(pointers_file(repo_root));
  if (!text) return json::Value::object();
  auto v = json::try_loads(*text);
  return v && v->is_object() ? *v : json::Value::object();
}

void set_pointer(const fs::path& repo_root, const std::string& name, const std::string& slug) {
  auto file = pointers_file(repo_root);
  utils::make_dirs(file.parent_path());
  auto guard = utils::locked(file);
  auto pointers = read_pointers(repo_root);
  pointers[name] = slug;
  utils::atomic_write(file, json::dumps(pointers) + "\n");
}

void clear_pointers_for_slug(const fs::path& repo_root, const std::string& slug) {
  auto file = pointers_file(repo_root);
  std::error_code ec;
  if (!fs::exists(file, ec)) return;
  auto guard = utils::locked(file);
  auto pointers = read_pointers(repo_root);
  json::Value kept = json::Value::object();
  for (auto& [k, v] : pointers.items())
    if (!(v.is_string() && v.get<std::string>() == slug)) kept[k] = v;
  if (kept.size() == pointers.size()) return;
  utils::atomic_write(file, json::dumps(kept) + "\n");
}

std::optional<json::Value> derive_process_section(const fs::path& repo_root, const std::string& slug) {
  auto ledger = ledger_for(repo_root, slug);
  std::error_code ec;
  if (!fs::is_regular_file(ledger, ec)) return std::nullopt;
  json::Value milestones = json::Value::array();
  std::size_t events = 0;
  json::Value first, last;
  bool sealed = false;
  for_each_event(ledger, [&](const json::Value& ev) {
    ++events;
    const auto& ts = member(ev, "timestamp");
    if (first.is_null() && !ts.is_null()) first = ts;
    if (!ts.is_null()) last = ts;
    auto m = text_member(ev, "milestone");
    if (!m.empty()) {
      milestones.push_back(m);
      if (m == "sealed") sealed = true;
    }
  });
  json::Value section = json::Value::object();
  section["slug"] = slug;
  section["milestones"] = milestones;
  section["events"] = events;
  section["started_at"] = first;
  section["last_event_at"] = last;
  section["sealed"] = sealed;
  return section;
}

}  // namespace brenik::services::ledger_service
