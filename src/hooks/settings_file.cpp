#include "hooks/settings_file.hpp"

#include <optional>
#include <system_error>

#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/text.hpp"

namespace brenik::hooks::settings_file {

namespace je = utils::json_edit;
using installer::HookRow;
using installer::Status;
using installer::StepReport;

namespace {

je::Path path_of(std::initializer_list<je::Step> steps) { return je::Path(steps); }

void check_shape(const json::Value& v) {
  if (!v.is_object()) throw ValueError("the top level is not a JSON object");
  if (v.contains("hooks") && !v["hooks"].is_object()) throw ValueError("its \"hooks\" member is not an object");
}

}  // namespace

fs::path edited_file(const fs::path& file) {
  std::error_code ec;
  if (!fs::is_symlink(file, ec)) return file;
  fs::path target = fs::canonical(file, ec);
  return ec ? file : target;
}

std::optional<je::Document> document_or_failed(const std::string& text, const fs::path& file, StepReport& report,
                                               std::string_view advice) {
  try {
    return je::Document(text);
  } catch (const ValueError&) {
    report.status = Status::failed;
    report.detail = file.string() + " is not valid JSON; left untouched" + std::string(advice);
    return std::nullopt;
  }
}

fs::path backup_path(const fs::path& file) {
  return file.parent_path() / (file.filename().string() + ".brenik-backup");
}

bool add_rows(je::Document& doc, const std::vector<HookRow>& rows) {
  check_shape(doc.value());
  bool changed = false;
  for (const auto& row : rows) {
    const json::Value v = doc.value();
    if (!v.contains("hooks")) {
      json::Value hooks = json::Value::object();
      hooks[row.event] = json::Value::array({installer::hook_group(row)});
      doc.set({}, "hooks", hooks);
      changed = true;
      continue;
    }
    const json::Value& hooks = v["hooks"];
    if (!hooks.contains(row.event)) {
      doc.set(path_of({std::string("hooks")}), row.event, json::Value::array({installer::hook_group(row)}));
      changed = true;
      continue;
    }
    const json::Value& groups = hooks[row.event];
    if (!groups.is_array()) throw ValueError("its \"hooks\".\"" + row.event + "\" member is not a list");
    const auto wanted = installer::brenik_arguments(row.command);
    bool found = false;
    for (std::size_t g = 0; g < groups.size(); ++g) {
      const json::Value& handlers = member(groups[g], "hooks");
      if (!handlers.is_array()) continue;
      for (std::size_t h = 0; h < handlers.size(); ++h) {
        const std::string cmd = text_member(handlers[h], "command");
        if (!handlers[h].is_object() || !handlers[h].contains("command") || !handlers[h]["command"].is_string())
          continue;
        if (cmd == row.command) {
          found = true;
        } else if (auto args = installer::brenik_arguments(cmd); args && wanted && *args == *wanted) {
          // The same hook with another path to brenik.
          doc.set(path_of({std::string("hooks"), row.event, g, std::string("hooks"), h}), "command", row.command);
          found = changed = true;
        }
      }
    }
    if (!found) {
      doc.append(path_of({std::string("hooks"), row.event}), installer::hook_group(row));
      changed = true;
    }
  }
  return changed;
}

int remove_rows(je::Document& doc, const std::vector<HookRow>& rows) {
  const json::Value start = doc.value();
  if (!start.is_object() || !member(start, "hooks").is_object()) return 0;
  int removed = 0;
  bool emptied_hooks = false;
  for (const auto& [event, ignored] : start["hooks"].items()) {
    std::vector<std::string> ours;
    for (const auto& row : rows)
      if (row.event == event)
        if (auto args = installer::brenik_arguments(row.command)) ours.push_back(*args);
    if (ours.empty()) continue;
    // From the end, so that the positions still to visit do not move.
    bool emptied_event = false;
    const json::Value groups = doc.value()["hooks"][event];
    if (!groups.is_array()) continue;
    for (std::size_t g = groups.size(); g-- > 0;) {
      const json::Value& handlers = member(groups[g], "hooks");
      if (!handlers.is_array()) continue;
      std::size_t taken = 0;
      for (std::size_t h = handlers.size(); h-- > 0;) {
        auto args = installer::brenik_arguments(text_member(handlers[h], "command"));
        if (!args || std::find(ours.begin(), ours.end(), *args) == ours.end()) continue;
        doc.remove(path_of({std::string("hooks"), event, g, std::string("hooks"), h}));
        ++taken;
        ++removed;
      }
      if (taken > 0 && taken == handlers.size()) {
        doc.remove(path_of({std::string("hooks"), event, g}));
        emptied_event = doc.value()["hooks"][event].empty();
      }
    }
    if (emptied_event) {
      doc.remove(path_of({std::string("hooks"), event}));
      emptied_hooks = doc.value()["hooks"].empty();
    }
  }
  if (emptied_hooks) doc.remove(path_of({std::string("hooks")}));
  return removed;
}

StepReport install(const std::string& label, const fs::path& file, const std::vector<HookRow>& rows) {
  StepReport r{.what = label};
  const fs::path target = edited_file(file);
  std::error_code ec;
  std::optional<std::string> old = utils::try_read_file(target);
  if (!old && fs::exists(target, ec)) {
    r.status = Status::failed;
    r.detail = file.string() + " cannot be read; left untouched";
    return r;
  }
  const bool blank = !old || utils::strip(*old).empty();
  auto doc = document_or_failed(blank ? std::string("{}\n") : *old, file, r, ". Fix it and rerun `brenik setup`");
  if (!doc) return r;
  try {
    if (!add_rows(*doc, rows)) {
      r.detail = "hooks already in " + file.string();
      return r;
    }
  } catch (const ValueError& e) {
    r.status = Status::failed;
    r.detail = file.string() + ": " + e.what() + "; left untouched";
    return r;
  }
  utils::make_dirs(target.parent_path());
  if (old) {
    // Once: the file as it was before brenik first changed it.
    const fs::path backup = backup_path(file);
    if (fs::symlink_status(backup, ec).type() == fs::file_type::not_found) {
      const fs::perms mode = fs::status(target, ec).permissions();
      utils::atomic_write(backup, *old, ec ? std::nullopt : std::optional<fs::perms>(mode));
      r.notes.push_back("the file as it was is kept as " + backup.string());
    }
  }
  utils::atomic_write(target, doc->text());
  r.status = Status::changed;
  std::string events;
  for (const auto& row : rows) events += (events.empty() ? "" : ", ") + row.event;
  r.detail = "added hooks (" + events + ") to " + file.string();
  return r;
}

StepReport uninstall(const std::string& label, const fs::path& file, const std::vector<HookRow>& rows) {
  StepReport r{.what = label};
  const fs::path target = edited_file(file);
  auto text = utils::try_read_file(target);
  if (!text) {
    r.detail = "no " + file.string();
    return r;
  }
  auto doc = document_or_failed(*text, file, r);
  if (!doc) return r;
  const int removed = remove_rows(*doc, rows);
  const fs::path backup = backup_path(file);
  std::optional<std::string> saved;
  std::error_code ec;
  if (fs::symlink_status(backup, ec).type() == fs::file_type::regular) saved = utils::try_read_file(backup);
  if (removed == 0) {
    r.detail = "no brenik hooks in " + file.string();
    return r;
  }
  auto saved_value = saved ? json::try_loads(*saved) : std::nullopt;
  if (saved_value && *saved_value == doc->value()) {
    // Nothing else changed since: the user's own bytes come back.
    utils::atomic_write(target, *saved);
    utils::remove_file(backup);
  } else if (!saved && doc->value() == json::Value::object()) {
    utils::remove_file(target);  // setup created it and nothing else is in it
  } else {
    utils::atomic_write(target, doc->text());
  }
  r.status = Status::changed;
  r.detail =
      "removed " + std::to_string(removed) + " brenik hook" + (removed == 1 ? "" : "s") + " from " + file.string();
  return r;
}

}  // namespace brenik::hooks::settings_file
