// One commit read straight from git's object files, for the plain case of a
// commit just made: HEAD (or a full id) naming a loose SHA-1 commit object
// in a repository with no replacement refs and no re-encoding. Anything else
// gives none, and the caller asks git.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brenik::services::tolvern::detail {

namespace fs = std::filesystem;

// A loose object's bytes inflated, or none when they are not a zlib stream
// or inflate to more than `cap` bytes.
std::optional<std::string> inflate_object(std::string_view compressed, std::size_t cap);

// An author date as git's strict ISO 8601 shows it: `epoch` seconds, `tz` as
// written in the commit (+hhmm or -hhmm); none when either is not plain.
std::optional<std::string> iso8601_strict(std::string_view epoch, std::string_view tz);

// What `git show -s --format=%H%n%aI%n%an%n%ae%n%s` prints for the commit
// `id` whose object (without its "commit <size>" header) is `body`; none when
// git might print something else.
std::optional<std::string> format_commit_object(std::string_view id, std::string_view body);

// The same output for `revision` (HEAD or a full SHA-1 id) of the work tree
// at `cwd`, read from the files; none when anything is not the plain case.
std::optional<std::string> show_commit_from_files(const fs::path& cwd, const std::string& revision);

}  // namespace brenik::services::tolvern::detail
