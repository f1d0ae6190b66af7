// 10,000 pending records uploaded to a local brenik-server and marked synced,
// per iteration; reports records per second and the share of the time spent
// outside the HTTP exchanges (reading the log, completing, batching,
// marking synced).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "paths/paths.hpp"
#include "protocol/http_client.hpp"
#include "services/upload/upload.hpp"
#include "utils/json.hpp"
#include "utils/process.hpp"

namespace fs = std::filesystem;
namespace tv = brenik::services::tolvern;
namespace http = brenik::protocol::http_client;
using brenik::json::Value;

namespace {

// The server is built beside the benchmarks directory of the build tree.
const fs::path SERVER = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "brenik-server";

std::string admin(const fs::path& db, std::vector<std::string> args) {
  args.insert(args.begin(), {SERVER.string(), "--db", db.string(), "admin"});
  auto r = brenik::utils::run(args, {.timeout_seconds = 30.0});
  if (!r.ok()) throw std::runtime_error("admin failed: " + r.err);
  return brenik::utils::strip(r.out);
}

void BM_Upload10k(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / ("brenik-upload-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path db = dir / "server.sqlite";
  const std::string team = admin(db, {"create-team", "bench"});
  const std::string key = admin(db, {"create-key", "--team", team});
  int fds[2];
  if (pipe(fds) != 0) return state.SkipWithError("pipe");
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(fds[1], STDOUT_FILENO);
    execl(SERVER.c_str(), SERVER.c_str(), "--db", db.c_str(), "--port", "0", nullptr);
    _exit(127);
  }
  close(fds[1]);
  char buf[256] = {0};
  ssize_t n = read(fds[0], buf, sizeof buf - 1);
  std::string line(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  const std::string url = "http://127.0.0.1:" + line.substr(line.rfind(':') + 1, line.find('\n') - line.rfind(':') - 1);

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
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  fs::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_Upload10k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_MAIN();
