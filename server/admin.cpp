// The admin command line: set up teams, keys and projects, load a project's
// context from a folder, and look at what was uploaded.
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <iostream>
#include <map>

#include "app.hpp"
#include "remote_url.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/yaml.hpp"

namespace brenik::server {

namespace fs = std::filesystem;

namespace {

const char* USAGE = R"(usage: brenik-server --db FILE admin COMMAND ...
  create-team NAME [--project-limit N]          prints the team id
  create-key --team ID [--inactive] [--email E]  new user on the team; prints the key
  add-member --key KEY --team ID
  set-active --key KEY (--on | --off)
  create-project --team ID --remote URL [--title T]  prints the project id
  load-context --project ID DIR                  see docs/protocol.md for the layout
  list-attestations --project ID                 prints JSON
  list-uploads --project ID                      prints JSON (one row per upload request)
)";

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // "--x" -> value ("" for flags)
};

Args parse(const std::vector<std::string>& args, const std::vector<std::string>& flags) {
  Args out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) == 0) {
      if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
        out.options[a] = "";
      } else {
        if (i + 1 >= args.size()) throw StoreError(a + " needs a value");
        out.options[a] = args[++i];
      }
    } else {
      out.positional.push_back(a);
    }
  }
  return out;
}

std::int64_t integer(const Args& a, const std::string& name) {
  auto it = a.options.find(name);
  if (it == a.options.end()) throw StoreError(name + " is required");
  std::int64_t v = 0;
  auto [p, ec] = std::from_chars(it->second.data(), it->second.data() + it->second.size(), v);
  if (ec != std::errc() || p != it->second.data() + it->second.size()) throw StoreError(name + " must be an integer");
  return v;
}

std::string text(const Args& a, const std::string& name, const std::string& fallback = "") {
  auto it = a.options.find(name);
  return it == a.options.end() ? fallback : it->second;
}

std::vector<fs::path> markdown_files(const fs::path& dir) {
  std::vector<fs::path> out;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file() && e.path().extension() == ".md") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

std::optional<std::string> document(const fs::path& dir, const std::string& stem) {
  if (auto t = utils::try_read_file(dir / (stem + ".json"))) return json::dumps(json::loads(*t));
  if (auto t = utils::try_read_file(dir / (stem + ".yaml"))) return json::dumps(yaml::load(*t));
  return std::nullopt;
}

int load_context(Store& store, std::int64_t project, const fs::path& dir) {
  if (!store.project(project)) throw StoreError("no project " + std::to_string(project));
  if (!fs::is_directory(dir)) throw StoreError(dir.string() + " is not a directory");
  int loaded = 0;
  auto put = [&](const std::string& name, const std::string& body) {
    store.put_resource(project, name, body);
    std::cout << "loaded " << name << "\n";
    ++loaded;
  };
  for (const char* name :
       {"context", "system-context", "brenikrules", "brenikstate", "guardrails", "memories", "skills", "custom-docs"})
    if (auto body = document(dir, name)) put(name, *body);

  auto specs = markdown_files(dir / "specs");
  auto docs = markdown_files(dir / "docs");
  if (!specs.empty() || !docs.empty()) {
    json::Value body = {{"specs", json::Value::array()}, {"canonical_docs", json::Value::array()}};
    for (const auto& f : specs)
      body["specs"].push_back({{"domain", f.stem().string()}, {"content", utils::read_file(f)}});
    for (const auto& f : docs)
      body["canonical_docs"].push_back({{"name", f.stem().string()}, {"content", utils::read_file(f)}});
    put("specs", json::dumps(body));
  }
  auto skills = markdown_files(dir / "skills");
  if (!skills.empty() && !fs::exists(dir / "skills.json") && !fs::exists(dir / "skills.yaml")) {
    json::Value body = {{"skills", json::Value::array()}};
    for (const auto& f : skills)
      body["skills"].push_back(
          {{"slug", f.stem().string()}, {"name", f.stem().string()}, {"content", utils::read_file(f)}});
    put("skills", json::dumps(body));
  }
  auto sys_docs = markdown_files(dir / "custom-docs" / "system");
  auto proj_docs = markdown_files(dir / "custom-docs" / "project");
  if ((!sys_docs.empty() || !proj_docs.empty()) && !fs::exists(dir / "custom-docs.json")) {
    json::Value body = {{"system", json::Value::array()}, {"project", json::Value::array()}};
    for (const auto& f : sys_docs)
      body["system"].push_back({{"slug", f.stem().string()}, {"content", utils::read_file(f)}});
    for (const auto& f : proj_docs)
      body["project"].push_back({{"slug", f.stem().string()}, {"content", utils::read_file(f)}});
    put("custom-docs", json::dumps(body));
  }
  if (loaded == 0) throw StoreError("nothing to load in " + dir.string());
  return 0;
}

}  // namespace

int run_admin(Store& store, const std::vector<std::string>& argv) {
  if (argv.empty()) {
    std::cerr << USAGE;
    return 2;
  }
  const std::string cmd = argv.front();
  const std::vector<std::string> rest(argv.begin() + 1, argv.end());
  try {
    if (cmd == "create-team") {
      auto a = parse(rest, {});
      if (a.positional.size() != 1) throw StoreError("create-team needs one NAME");
      std::optional<std::int64_t> limit;
      if (a.options.count("--project-limit")) limit = integer(a, "--project-limit");
      std::cout << store.create_team(a.positional[0], limit) << "\n";
    } else if (cmd == "create-key") {
      auto a = parse(rest, {"--inactive"});
      std::cout << store.create_key(integer(a, "--team"), !a.options.count("--inactive"), text(a, "--email")) << "\n";
    } else if (cmd == "add-member") {
      auto a = parse(rest, {});
      store.add_member(text(a, "--key"), integer(a, "--team"));
    } else if (cmd == "set-active") {
      auto a = parse(rest, {"--on", "--off"});
      if (a.options.count("--on") == a.options.count("--off")) throw StoreError("give --on or --off");
      store.set_active(text(a, "--key"), a.options.count("--on") > 0);
    } else if (cmd == "create-project") {
      auto a = parse(rest, {});
      auto key = normalize_remote(text(a, "--remote"));
      if (!key) throw StoreError("--remote is not a network git remote");
      std::cout << store.create_project(integer(a, "--team"), key->key, text(a, "--title", key->title)) << "\n";
    } else if (cmd == "load-context") {
      auto a = parse(rest, {});
      if (a.positional.size() != 1) throw StoreError("load-context needs one DIR");
      return load_context(store, integer(a, "--project"), a.positional[0]);
    } else if (cmd == "list-attestations") {
      auto a = parse(rest, {});
      std::cout << store.list_attestations(integer(a, "--project")).dump(2) << "\n";
    } else if (cmd == "list-uploads") {
      auto a = parse(rest, {});
      std::cout << store.list_uploads(integer(a, "--project")).dump(2) << "\n";
    } else {
      std::cerr << "unknown admin command " << cmd << "\n" << USAGE;
      return 2;
    }
  } catch (const std::exception& e) {
    std::cerr << "brenik-server admin " << cmd << ": " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace brenik::server
