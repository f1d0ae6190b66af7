// The context cache refresh against a local brenik-server holding a project
// of 200 specs and 100 skills: a first refresh into an empty cache, and a
// refresh with nothing changed. Reports the bytes the no-change refresh
// wrote (cache files rewritten, and the configuration's bookkeeping apart)
// and the share of its time spent outside the HTTP exchanges, estimated
// against the same requests made alone in the same pattern (one, then six at
// once, then one).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <map>

#include "bench_server.hpp"
#include "paths/paths.hpp"
#include "protocol/http_client.hpp"
#include "services/context/refresh.hpp"
#include "utils/json.hpp"

namespace fs = std::filesystem;
namespace tv = brenik::services::tolvern;
namespace http = brenik::protocol::http_client;
using brenik::json::Value;

namespace {

using brenik::bench::admin;

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

struct World {
  fs::path dir, db;
  std::string key, project, url;
  std::optional<brenik::bench::LocalServer> server;

  World() {
    dir = fs::temp_directory_path() / ("brenik-refresh-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    db = dir / "server.sqlite";
    const std::string team = admin(db, {"create-team", "bench"});
    key = admin(db, {"create-key", "--team", team});
    project = admin(db, {"create-project", "--team", team, "--remote", "https://h.test/o/r"});
    const fs::path seed = dir / "seed";
    const std::string paragraph(1500, 'x');
    for (int i = 0; i < 200; ++i)
      write(seed / "specs" / ("domain-" + std::to_string(i) + ".md"),
            "# Domain " + std::to_string(i) + "\n" + paragraph + "\n");
    for (int i = 0; i < 100; ++i)
      write(seed / "skills" / ("skill-" + std::to_string(i) + ".md"),
            "Do thing " + std::to_string(i) + ".\n" + paragraph + "\n");
    for (int i = 0; i < 20; ++i) write(seed / "docs" / ("doc-" + std::to_string(i) + ".md"), paragraph);
    Value rules = Value::array();
    for (int i = 0; i < 50; ++i)
      rules.push_back({{"ruleType", "constraint"},
                       {"name", "rule-" + std::to_string(i)},
                       {"description", "d"},
                       {"checkCondition", "c"}});
    write(seed / "guardrails.json", brenik::json::dumps(Value{{"rules", rules}}));
    write(seed / "brenikrules.yaml", "principles:\n  small: Keep changes small\n");
    write(seed / "brenikstate.yaml", "architecture:\n  elements:\n    api: {kind: service}\n");
    write(seed / "memories.json", R"({"memories": [{"text": "tabs"}]})");
    admin(db, {"load-context", "--project", project, seed.string()});
    url = server.emplace(db).url();
  }
  ~World() {
    server.reset();
    fs::remove_all(dir);
  }
  fs::path new_repo(int n) const {
    const fs::path repo = dir / ("repo-" + std::to_string(n));
    fs::create_directories(brenik::paths::platform_dir(repo));
    std::ofstream(brenik::paths::config_yaml(repo)) << "project_id: " << project << "\n";
    return repo;
  }
  void refresh(const fs::path& repo, benchmark::State& state) const {
    if (!tv::refresh_context_cache(key, url, repo, project, {.mutate_workspace = false}))
      state.SkipWithError("refresh failed");
  }
};

World& world() {
  static World w;
  return w;
}

// (size, mtime) of every file under the folder.
std::map<std::string, std::pair<std::uintmax_t, long long>> files(const fs::path& dir) {
  std::map<std::string, std::pair<std::uintmax_t, long long>> out;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    if (!it->is_regular_file()) continue;
    struct stat st {};
    ::lstat(it->path().c_str(), &st);
    out[it->path().string()] = {static_cast<std::uintmax_t>(st.st_size),
                                static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
  }
  return out;
}

void BM_RefreshFirst(benchmark::State& state) {
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path repo = world().new_repo(n++);
    state.ResumeTiming();
    world().refresh(repo, state);
  }
}

// The requests a refresh makes, in its pattern, and nothing else.
double fetch_only_seconds(const World& w, const Value& etags, const std::optional<std::string>& specs_tag) {
  const auto started = std::chrono::steady_clock::now();
  http::fetch_context(w.project, w.key, w.url);
  auto a = std::async(std::launch::async, [&] { return http::fetch_system_context(w.project, w.key, w.url); });
  auto b = std::async(std::launch::async, [&] {
    return http::fetch_declarative_state_detailed(w.project, w.key, w.url, {.etags = etags});
  });
  auto c = std::async(std::launch::async,
                      [&] { return http::fetch_all_specs(w.key, w.url, w.project, {.etag = specs_tag}); });
  auto d = std::async(std::launch::async, [&] { return http::fetch_guardrails(w.project, w.key, w.url); });
  auto e = std::async(std::launch::async, [&] { return http::fetch_skills(w.project, w.key, w.url); });
  auto f = std::async(std::launch::async, [&] { return http::fetch_custom_docs(w.project, w.key, w.url); });
  a.get(), b.get(), c.get(), d.get(), e.get(), f.get();
  http::fetch_memories(w.project, w.key, w.url);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

void BM_RefreshNoChange(benchmark::State& state) {
  const fs::path repo = world().new_repo(1000000);
  world().refresh(repo, state);
  const fs::path config = brenik::paths::config_yaml(repo);
  double cache_bytes = 0, config_bytes = 0, total = 0, fetch_only = 0;
  int rounds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const auto before = files(repo / ".brenik");
    state.ResumeTiming();
    const auto started = std::chrono::steady_clock::now();
    world().refresh(repo, state);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    state.PauseTiming();
    for (const auto& [path, info] : files(repo / ".brenik")) {
      auto it = before.find(path);
      if (it != before.end() && it->second.second == info.second) continue;
      (path == config.string() ? config_bytes : cache_bytes) += static_cast<double>(info.first);
    }
    // The same exchanges with the tags the refresh just stored.
    Value etags = Value::object();
    http::DeclarativeState probe = http::fetch_declarative_state_detailed(world().project, world().key, world().url);
    etags = probe.etags;
    auto specs = http::fetch_all_specs(world().key, world().url, world().project);
    fetch_only += fetch_only_seconds(world(), etags, specs.second);
    ++rounds;
    state.ResumeTiming();
  }
  state.counters["cache_bytes_written"] = cache_bytes / rounds;
  state.counters["config_bytes_written"] = config_bytes / rounds;
  state.counters["share_outside_http"] = total > 0 ? std::max(0.0, (total - fetch_only) / total) : 0;
}

}  // namespace

BENCHMARK(BM_RefreshFirst)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_RefreshNoChange)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK_MAIN();
