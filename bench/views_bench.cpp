// The in-process part of `brenik log -n 1000`: the lines of 1,000 commits
// looked up in a 100,000-line log (indexed, the commits at its start or at
// its end), as a summary or whole, and the archived models of 250 of them.
// scripts/bench-views times the whole process against git.
//
// The files are left in $BRENIK_BENCH_DIR (default /tmp/brenik-bench).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "services/ledger/archive_reader.hpp"
#include "services/ledger/log_store.hpp"
#include "services/views/record_join.hpp"
#include "utils/json.hpp"
#include "utils/sha256.hpp"

namespace fs = std::filesystem;
namespace tv = brenik::services::tolvern;
namespace views = brenik::services::views;
using brenik::json::Value;

namespace {

constexpr std::size_t LOG_LINES = 100000;
constexpr std::size_t WANTED = 1000;

std::string commit_id(std::size_t i) { return brenik::utils::sha256_hex("views " + std::to_string(i)).substr(0, 40); }

Value line_of(std::size_t i) {
  Value e = Value::object();
  e["commit"] = commit_id(i);
  e["branch"] = "main";
  e["timestamp"] = "2024-05-01T10:00:00+00:00";
  e["agent"] = "claude-code";
  e["summary"] = "Change number " + std::to_string(i) + " with some words";
  e["synced"] = i % 3 != 0;
  e["agent_provider"] = "anthropic";
  e["developer"] = {{"git_author_name", "Bench Dev"}, {"git_author_email", "dev@example.com"}};
  if (i % 4 != 0) {
    e["event"] = "commit_unattested";
    e["telemetry"] = {{"model", "claude-sonnet-4-5"}, {"tokens", {{"input", i}, {"output", 2 * i}}}};
  }
  return e;
}

struct Fixture {
  fs::path root;
  fs::path log, archive;
  std::vector<std::string> wanted;  // the commits of the first 1,000 lines made
};

// The log is written with the wanted commits first, or last (`reversed`).
const Fixture& fixture(bool reversed) {
  static std::optional<Fixture> made[2];
  auto& f = made[reversed ? 1 : 0];
  if (f) return *f;
  const char* dir = std::getenv("BRENIK_BENCH_DIR");
  Fixture x;
  x.root = fs::path(dir ? dir : "/tmp/brenik-bench") / (reversed ? "views-reversed" : "views");
  x.log = x.root / ".brenik" / ".platform" / "log.jsonl";
  x.archive = x.root / ".brenik" / "attestations";
  fs::create_directories(x.log.parent_path());
  fs::create_directories(x.archive);
  std::vector<std::string> lines(LOG_LINES);
  for (std::size_t i = 0; i < LOG_LINES; ++i) lines[i] = brenik::json::dumps(line_of(i)) + "\n";
  {
    std::ofstream out(x.log, std::ios::trunc | std::ios::binary);
    if (reversed)
      for (auto it = lines.rbegin(); it != lines.rend(); ++it) out << *it;
    else
      for (const auto& l : lines) out << l;
  }
  for (std::size_t i = 0; i < WANTED; i += 4)
    std::ofstream(x.archive / (commit_id(i) + ".yaml"))
        << "staged_diff_hash: '" << std::string(64, '0') << "'\nagent_model: claude-opus-4-6\nagent: claude-code\n";
  for (std::size_t i = 0; i < WANTED; ++i) x.wanted.push_back(commit_id(i));
  tv::read_attestation_log(x.log);  // leaves the index beside the log
  f = std::move(x);
  return *f;
}

void BM_log_records_summary(benchmark::State& state) {
  const auto& f = fixture(state.range(0) != 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(views::read_log_records(f.log, f.wanted, views::LineDetail::summary).size());
  state.SetItemsProcessed(state.iterations() * WANTED);
}

void BM_log_records_full(benchmark::State& state) {
  const auto& f = fixture(state.range(0) != 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(views::read_log_records(f.log, f.wanted, views::LineDetail::full).size());
  state.SetItemsProcessed(state.iterations() * WANTED);
}

void BM_archived_models(benchmark::State& state) {
  const auto& f = fixture(false);
  for (auto _ : state) {
    const tv::ArchiveReader reader(f.archive);
    std::size_t found = 0;
    for (std::size_t i = 0; i < WANTED; i += 4) found += !reader.model(f.wanted[i]).empty();
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * (WANTED / 4));
}

void BM_archived_attestations(benchmark::State& state) {
  const auto& f = fixture(false);
  for (auto _ : state) {
    const tv::ArchiveReader reader(f.archive);
    std::size_t found = 0;
    for (const auto& id : f.wanted) found += reader.mapping(id).has_value();
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * WANTED);
}

}  // namespace

// Argument: 0 for the wanted commits at the start of the log, 1 at its end.
BENCHMARK(BM_log_records_summary)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_log_records_full)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_archived_models)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_archived_attestations)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
