// The harness settings files setup edits in the user's home (Claude Code's
// settings.json, Codex's hooks.json): brenik's hook rows added or taken out
// as text edits, so that the user's layout, comments-free JSON formatting and
// UTF-8 text stay as they were, with a one-time backup before the first change.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hooks/installer.hpp"
#include "utils/json_edit.hpp"

namespace brenik::hooks::settings_file {

namespace fs = std::filesystem;

// `<name>.brenik-backup` beside the file.
fs::path backup_path(const fs::path& file);

// Dotfile managers link these files: the file a link names is the one
// edited (the link itself when its target cannot be found).
fs::path edited_file(const fs::path& file);

// `text` as an editable document, or none after marking `report` failed:
// "<file> is not valid JSON; left untouched", then `advice` when given.
std::optional<utils::json_edit::Document> document_or_failed(const std::string& text, const fs::path& file,
                                                             installer::StepReport& report,
                                                             std::string_view advice = {});

// Adds the rows the way installer::merge_hook_rows decides, as edits of the
// text. True when anything changed. Throws ValueError for a shape we must
// not touch.
bool add_rows(utils::json_edit::Document& doc, const std::vector<installer::HookRow>& rows);

// Takes out every handler that runs brenik with the arguments of one of the
// rows (whatever path to brenik it names), then the group, event list and
// "hooks" object that this left empty. The number of handlers taken out.
int remove_rows(utils::json_edit::Document& doc, const std::vector<installer::HookRow>& rows);

// Merges the rows into the file (created when missing), backing the old file
// up once beside it first. A file that is not valid JSON is left untouched
// and reported as failed.
installer::StepReport install(const std::string& label, const fs::path& file,
                              const std::vector<installer::HookRow>& rows);

// Takes brenik's rows out of the file. When what is left is the backup's
// value, the backup's bytes come back and the backup goes; a file setup
// created and that holds nothing else is removed.
installer::StepReport uninstall(const std::string& label, const fs::path& file,
                                const std::vector<installer::HookRow>& rows);

}  // namespace brenik::hooks::settings_file
