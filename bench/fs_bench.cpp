// The confined file operations a commit trigger makes: the archived
// attestation written into a folder that already holds 0, 2,000 or 20,000
// archives (atomic_write walks the folders and scans that one for stale
// temporary files), and one line appended to the log.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "utils/fs.hpp"

namespace fs = std::filesystem;
namespace u = brenik::utils;

namespace {

fs::path bench_root(const std::string& name) {
  const char* dir = std::getenv("BRENIK_BENCH_DIR");
  fs::path root = fs::path(dir && *dir ? dir : "/tmp/brenik-bench") / name;
  fs::remove_all(root);
  fs::create_directories(root / ".brenik" / "attestations");
  fs::create_directories(root / ".brenik" / ".platform");
  return root;
}

void BM_ArchiveIntoFolderOf(benchmark::State& state) {
  const fs::path root = bench_root("fs-archive");
  const fs::path dir = root / ".brenik" / "attestations";
  for (long i = 0; i < state.range(0); ++i) std::ofstream(dir / (std::to_string(i) + ".yaml")) << "commit: x\n";
  const std::string content(2048, 'a');
  for (auto _ : state) u::atomic_write(dir / "0123456789abcdef0123456789abcdef01234567.yaml", content);
  fs::remove_all(root);
}
BENCHMARK(BM_ArchiveIntoFolderOf)->Arg(0)->Arg(2000)->Arg(20000)->Unit(benchmark::kMicrosecond);

void BM_AppendLogLine(benchmark::State& state) {
  const fs::path root = bench_root("fs-append");
  const fs::path log = root / ".brenik" / ".platform" / "log.jsonl";
  const std::string line(300, 'x');
  for (auto _ : state) u::append_file(log, line + "\n");
  fs::remove_all(root);
}
BENCHMARK(BM_AppendLogLine)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
