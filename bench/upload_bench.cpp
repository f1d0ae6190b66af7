// 10,000 pending records uploaded to a local brenik-server and marked synced,
// per iteration; reports records per second and the share of the time spent
// outside the HTTP exchanges (reading the log, completing, batching,
// marking synced).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "bench_server.hpp"
#include "paths/paths.hpp"
#include "protocol/http_client.hpp"
#include "services/upload/upload.hpp"
#include "utils/json.hpp"

namespace fs = std::filesystem;
namespace tv = brenik::services::tolvern;
namespace http = brenik::protocol::http_client;
using brenik::json::Value;

namespace {

using brenik::bench::admin;

void BM_Upload10k(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / ("brenik-upload-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path db = dir / "server.sqlite";
  const std::string team = admin(db, {"create-team", "bench"});
  const std::string key = admin(db, {"create-key", "--team", team});
  std::optional<brenik::bench::LocalServer> server(std::in_place, db);
  const std::string url = server->url();

  const fs::path repo = dir / "repo";
  fs::create_directories(brenik::paths::platform_dir(repo));
  double transfer = 0, total = 0;
  std::int64_t records = 0;
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string project =
        admin(db, {"create-project", "--team", team, "--remote", "https://h.test/o/r" + std::to_string(round++)});
    std::ofstream(brenik::paths::config_yaml(repo)) << "project_id: " << project << "\n";
    {
      std::ofstream log(brenik::paths::log_jsonl(repo), std::ios::trunc);
      for (int i = 0; i < 10000; ++i) {
        char id[48];
        std::snprintf(id, sizeof id, "%040x", i + 1);
        log << "{\"commit\": \"" << id << "\", \"branch\": \"main\", \"timestamp\": "
            << "\"2026-12-01T10:00:00Z\", \"agent\": \"claude-code\", \"summary\": \"change " << i
            << " with a summary of ordinary length\", \"synced\": false}\n";
      }
    }
    state.ResumeTiming();
    const auto started = std::chrono::steady_clock::now();
    tv::UploadResult result;
    {
      http::TransferTimer timer(transfer);
      result =
          tv::upload_attestations(key, url, repo, brenik::paths::attestations_dir(repo), Value(std::stoll(project)));
    }
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!result.ok || result.uploaded != 10000) state.SkipWithError("upload failed");
    records += 10000;
  }
  state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(records) / total);
  state.counters["share_outside_http"] = total > 0 ? (total - transfer) / total : 0;
  server.reset();
  fs::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_Upload10k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_MAIN();
