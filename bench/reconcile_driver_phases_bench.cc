// The C++ part of one `reconcile_local` call on a spec and an entity file, step by step:
// prepare (spec, entity JSON, training), the engine's reconcile run, finish (clustering,
// golden records) and the release of the result, each timed on the wall clock, with the
// given number of workers (default: the whole pool). Repeats the call and prints every
// round, so that runs can be compared side by side. Prints figures only.
//
//   reconcile_driver_phases_bench SPEC.yaml ENTITIES.json [workers] [rounds]
//
// The inputs of the scale benchmark can be written with bench/reconcile_scale_bench.py's
// `generate` and `SPEC`. Without arguments (as run_benchmarks.sh runs it) it says so and
// measures nothing.
#include <tbb/global_control.h>
#include <tbb/info.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

#include "python/bridge/reconcile_driver.h"

namespace {

using Clock = std::chrono::steady_clock;

std::optional<std::string> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: %s SPEC.yaml ENTITIES.json [workers] [rounds] (no input given)\n",
                argv[0]);
    return 0;
  }
  const std::optional<std::string> spec = read_file(argv[1]);
  const std::optional<std::string> entities = read_file(argv[2]);
  if (!spec || !entities) {
    std::fprintf(stderr, "cannot read the input files\n");
    return 2;
  }
  const int workers = argc > 3 ? std::atoi(argv[3]) : tbb::info::default_concurrency();
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism,
                            static_cast<size_t>(std::max(1, workers)));
  std::printf("workers %d, input %zu bytes\n", workers, entities->size());
  std::printf("%8s %8s %8s %8s %8s %8s %10s %10s\n", "prepare", "engine", "finish", "release",
              "engine+", "total", "decisions", "clusters");
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    auto prepared = vintrel_bridge::ReconcileDriver::prepare_local(*spec, *entities);
    if (!prepared.ok()) {
      std::fprintf(stderr, "%s\n", prepared.error().message().c_str());
      return 1;
    }
    vintrel_bridge::ReconcileDriver driver = std::move(prepared).value();
    const double prepare = since(start);
    auto t = Clock::now();
    driver.reconcile();
    const double engine = since(t);
    t = Clock::now();
    std::optional<vintrel_bridge::ReconcileResult> result = driver.finish();
    const double finish = since(t);
    const size_t decisions = result->decisions.size();
    const size_t clusters = result->clusters.size();
    t = Clock::now();
    result.reset();
    { vintrel_bridge::ReconcileDriver gone = std::move(driver); }
    const double release = since(t);
    std::printf("%8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %10zu %10zu\n", prepare, engine, finish,
                release, engine + finish, since(start), decisions, clusters);
    std::fflush(stdout);
  }
  return 0;
}
