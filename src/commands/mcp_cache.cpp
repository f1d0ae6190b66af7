#include "commands/mcp_cache.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "paths/paths.hpp"
#include "services/tolvern.hpp"
#include "utils/errors.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/unique_fd.hpp"
#include "utils/yaml.hpp"

namespace brenik::commands::mcp {

namespace fs = std::filesystem;

namespace {

// A cached document larger than this is not handed to an agent whole.
constexpr std::size_t MAX_DOCUMENT_BYTES = 2u << 20;
constexpr const char* RULES_FILE = "brenikrules.yaml";
constexpr const char* NOT_CACHED = "Run the `sync` tool (or `brenik sync`) to fill the local cache.";

struct Entry {
  std::string name;
  bool folder = false;
};

// The real files and folders of a cache folder, sorted by name; links and
// anything else are left out. Empty when the folder is missing or cannot be
// opened without leaving `.brenik/`.
std::vector<Entry> list_folder(const fs::path& dir) {
  std::vector<Entry> entries;
  std::optional<utils::ConfinedDir> folder;
  try {
    folder.emplace(dir, false);
  } catch (const std::exception&) {
    return entries;
  }
  utils::UniqueFd fd(::openat(folder->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return entries;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(fd.get()), ::closedir);
  if (!listing) return entries;
  fd.release();  // the listing owns it now
  while (const dirent* e = ::readdir(listing.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const auto st = folder->entry(name);
    if (!st) continue;
    if (S_ISREG(st->st_mode))
      entries.push_back({name, false});
    else if (S_ISDIR(st->st_mode))
      entries.push_back({name, true});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

// The file's text, or a line saying why it is not given.
std::string document_text(const fs::path& file) {
  try {
    auto text = utils::read_small_regular_file(file, MAX_DOCUMENT_BYTES);
    if (!text)
      return "(" + file.filename().string() + " is over " + std::to_string(MAX_DOCUMENT_BYTES >> 20) +
             " MiB; not shown)";
    return *text;
  } catch (const std::exception& e) {
    return "(" + file.filename().string() + " cannot be read: " + error_kind(e) + ")";
  }
}

std::string stem_with(const std::string& name, std::initializer_list<const char*> suffixes) {
  for (const char* s : suffixes) {
    const std::string suffix = s;
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return name.substr(0, name.size() - suffix.size());
  }
  return {};
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

ToolOutcome unknown(const char* what, const std::string& name, const std::vector<std::string>& known) {
  if (known.empty()) return {std::string("No ") + what + " named '" + name + "': none is cached. " + NOT_CACHED, true};
  return {std::string("No ") + what + " named '" + name + "'. Cached: " + joined(known) + ".", true};
}

// Spec domains: a folder per domain, or a flat spec file.
struct Spec {
  std::string domain;
  std::string entry;
  bool folder;
};

std::vector<Spec> cached_specs(const fs::path& dir) {
  std::vector<Spec> specs;
  for (const auto& e : list_folder(dir)) {
    if (e.folder) {
      specs.push_back({e.name, e.name, true});
    } else if (auto stem = stem_with(e.name, {".md", ".yaml", ".yml"}); !stem.empty()) {
      specs.push_back({stem, e.name, false});
    }
  }
  return specs;
}

// Documents: canonical ones by name, guidance by scope and slug.
struct Doc {
  std::string name;
  fs::path file;
};

std::vector<Doc> cached_docs(const fs::path& repo_root) {
  std::vector<Doc> docs;
  const fs::path canonical = paths::canonical_docs_dir(repo_root);
  for (const auto& e : list_folder(canonical))
    if (auto stem = stem_with(e.name, {".md"}); !e.folder && !stem.empty()) docs.push_back({stem, canonical / e.name});
  for (const char* scope : {"project", "system"}) {
    const fs::path dir = paths::guidance_dir(repo_root) / scope;
    for (const auto& e : list_folder(dir))
      if (auto stem = stem_with(e.name, {".md"}); !e.folder && !stem.empty())
        docs.push_back({std::string(scope) + "/" + stem, dir / e.name});
  }
  return docs;
}

}  // namespace

ToolOutcome read_rules(const fs::path& repo_root, const std::optional<std::string>& name) {
  const fs::path file = paths::platform_dir(repo_root) / RULES_FILE;
  std::optional<std::string> text;
  try {
    text = utils::read_small_regular_file(file, MAX_DOCUMENT_BYTES);
  } catch (const OSError& e) {
    if (e.error_number() != ENOENT)
      return {"The cached rules cannot be read (" + error_kind(e) + "). " + NOT_CACHED, true};
  } catch (const std::exception& e) {
    return {"The cached rules cannot be read (" + error_kind(e) + "). " + NOT_CACHED, true};
  }
  if (!text) {
    if (name) return unknown("rule or section", *name, {});
    return {std::string("No rules are cached. ") + NOT_CACHED, false};
  }
  json::Value doc;
  try {
    doc = yaml::load(*text);
  } catch (const std::exception& e) {
    return {"The cached rules are not valid YAML (" + error_kind(e) + "). " + NOT_CACHED, true};
  }
  if (!doc.is_object()) doc = json::Value::object();
  const auto& sections = services::tolvern::RULE_SECTIONS;

  if (!name) {
    std::string out = "Cached rules (" +
                      services::tolvern::read_rules_cache_state(paths::platform_dir(repo_root)).describe() +
                      "), by section:";
    for (const auto& s : sections) {
      const auto& section = member(doc, s);
      std::vector<std::string> keys;
      if (section.is_object())
        for (auto it = section.begin(); it != section.end(); ++it) keys.push_back(it.key());
      out += "\n  " + s + ": " + (keys.empty() ? std::string("(none)") : joined(keys));
    }
    out += "\nCall `rules` with a section name, a rule name, or \"all\" for the text.";
    return {out, false};
  }
  if (*name == "all") return {*text, false};
  if (std::find(sections.begin(), sections.end(), *name) != sections.end()) {
    json::Value one = json::Value::object();
    one[*name] = member(doc, *name);
    return {yaml::dump(one), false};
  }
  std::vector<std::string> known = sections;
  for (const auto& s : sections) {
    const auto& section = member(doc, s);
    if (!section.is_object()) continue;
    auto it = section.find(*name);
    if (it != section.end()) {
      json::Value one = json::Value::object();
      one[s] = json::Value::object();
      one[s][*name] = *it;
      return {yaml::dump(one), false};
    }
    for (auto k = section.begin(); k != section.end(); ++k) known.push_back(k.key());
  }
  return unknown("rule or section", *name, known);
}

ToolOutcome read_spec(const fs::path& repo_root, const std::optional<std::string>& domain) {
  const fs::path dir = paths::specs_dir(repo_root);
  const auto specs = cached_specs(dir);
  std::vector<std::string> domains;
  for (const auto& s : specs) domains.push_back(s.domain);
  if (!domain) {
    if (domains.empty()) return {std::string("No specs are cached. ") + NOT_CACHED, false};
    return {"Cached spec domains: " + joined(domains) + "\nCall `specs` with a domain for its text.", false};
  }
  for (const auto& s : specs) {
    if (s.domain != *domain) continue;
    if (!s.folder) return {document_text(dir / s.entry), false};
    std::string out;
    const auto files = list_folder(dir / s.entry);
    std::size_t shown = 0;
    for (const auto& f : files) {
      if (f.folder) continue;
      if (shown++) out += "\n\n";
      out += "# " + s.domain + "/" + f.name + "\n\n" + document_text(dir / s.entry / f.name);
    }
    if (shown == 0) return {"The spec '" + s.domain + "' is cached without any file.", true};
    return {out, false};
  }
  return unknown("spec domain", *domain, domains);
}

ToolOutcome read_doc(const fs::path& repo_root, const std::optional<std::string>& name) {
  const auto docs = cached_docs(repo_root);
  std::vector<std::string> names;
  for (const auto& d : docs) names.push_back(d.name);
  if (!name) {
    if (names.empty()) return {std::string("No documents are cached. ") + NOT_CACHED, false};
    return {"Cached documents (canonical by name, guidance as project/<slug> or system/<slug>): " + joined(names) +
                "\nCall `docs` with a name for its text.",
            false};
  }
  for (const auto& d : docs)
    if (d.name == *name) return {document_text(d.file), false};
  // A guidance slug given without its scope: the project's first.
  for (const char* scope : {"project/", "system/"})
    for (const auto& d : docs)
      if (d.name == scope + *name) return {document_text(d.file), false};
  return unknown("document", *name, names);
}

}  // namespace brenik::commands::mcp
