// How soon the C++ work of a `reconcile_local` call stops once its cancel flag is raised (as
// the Python layer raises it on Ctrl-C): 100,000 records in blocks of 20 that all merge
// (950,000 decisions). One uncancelled call gives the length of each step (prepare, the
// engine's run, finish); then the flag is raised from another thread at points spread over
// the whole call, and the time from the raise to the moment the work has unwound is printed
// with the step that was running. As the module does, the driver is held by the caller and
// what the cancelled work hands over (Cancelled::left) is taken, not destroyed, in that
// time; the time their destruction then takes (on a thread of its own in the module) is
// printed beside it. Prints figures only.
//
//   cancel_latency_bench [points] [blocks]
//
// Default: 12 points over 5,000 blocks (about half a minute).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/cancel.h"
#include "python/bridge/reconcile_driver.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kSpec = R"(
api_version: vintrel/v1
identity_version: "1"
entity: {name: person}
sources:
  - name: crm
blocking:
  strategy: single
  keys: [[zip]]
rules:
  - {name: name_similar, type: similarity, field: name, algorithm: levenshtein, threshold: 0.8, weight: 0.6}
  - {name: mail_similar, type: similarity, field: mail, algorithm: jaro_winkler, threshold: 0.9, weight: 0.5}
decision:
  thresholds: {match: 0.95, review: 0.9}
)";

// Blocks of 20 identical records: every pair of a block merges.
std::string blocks(int count) {
  std::string out = "[";
  char line[512];
  for (int i = 0; i < 20 * count; ++i) {
    std::snprintf(line, sizeof line,
                  "%s{\"id\":\"00000000-0000-4000-8000-%012x\",\"tenant_id\":"
                  "\"7d444840-9dc0-11d1-b245-5ffdce74fad2\",\"external_id\":\"x%d\","
                  "\"entity_type\":\"person\",\"data\":{\"zip\":\"%d\",\"name\":\"n%d\","
                  "\"mail\":\"m\"},\"source_name\":\"crm\",\"last_updated\":"
                  "\"2024-01-01T00:00:00Z\"}",
                  i == 0 ? "" : ",", i, i, i / 20, i / 20);
    out += line;
  }
  out += "]";
  return out;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The call's three steps; `marks` gets the moment each ends, `driver` holds the driver.
// Throws Cancelled.
void call(const std::string& entities, const osmira_base::CancelFlag* cancel,
          Clock::time_point (&marks)[3], std::optional<vintrel_bridge::ReconcileDriver>& held) {
  auto prepared = vintrel_bridge::ReconcileDriver::prepare_local(kSpec, entities, cancel);
  if (!prepared.ok()) {
    std::fprintf(stderr, "%s\n", prepared.error().message().c_str());
    std::exit(1);
  }
  vintrel_bridge::ReconcileDriver& driver = held.emplace(std::move(prepared).value());
  osmira_base::stop_if_cancelled(cancel);
  marks[0] = Clock::now();
  driver.reconcile(cancel);
  osmira_base::stop_if_cancelled(cancel);
  marks[1] = Clock::now();
  std::optional<vintrel_bridge::ReconcileResult> result = driver.finish(cancel);
  marks[2] = Clock::now();
}

}  // namespace

int main(int argc, char** argv) {
  const int points = argc > 1 ? std::atoi(argv[1]) : 12;
  const std::string entities = blocks(argc > 2 ? std::atoi(argv[2]) : 5000);
  Clock::time_point marks[3];
  std::optional<vintrel_bridge::ReconcileDriver> driver;
  call(entities, nullptr, marks, driver);  // warm-up
  driver.reset();
  const auto start = Clock::now();
  call(entities, nullptr, marks, driver);
  driver.reset();
  const double steps[3] = {seconds(marks[0] - start), seconds(marks[1] - start),
                           seconds(marks[2] - start)};
  std::printf("prepare ends %.3f s, engine %.3f s, finish %.3f s\n", steps[0], steps[1],
              steps[2]);
  std::printf("%10s %10s %10s %10s\n", "raised at", "step", "stopped in", "freed in");
  for (int k = 0; k < points; ++k) {
    const double at = steps[2] * (k + 0.5) / points;
    osmira_base::CancelFlag flag;
    Clock::time_point raised;
    const auto begin = Clock::now();
    std::thread raiser([&] {
      std::this_thread::sleep_until(begin + std::chrono::duration<double>(at));
      raised = Clock::now();
      flag.raise();
    });
    const char* step = "ended";
    Clock::time_point stopped;
    std::vector<std::shared_ptr<void>> left;
    try {
      call(entities, &flag, marks, driver);
      stopped = Clock::now();
    } catch (osmira_base::Cancelled& cancelled) {
      left = std::move(cancelled.left);
      stopped = Clock::now();
      const double when = seconds(raised - begin);
      step = when < steps[0] ? "prepare" : when < steps[1] ? "engine" : "finish";
    }
    raiser.join();
    left.clear();
    driver.reset();
    std::printf("%10.3f %10s %10.3f %10.3f\n", seconds(raised - begin), step,
                seconds(stopped - raised), seconds(Clock::now() - stopped));
    std::fflush(stdout);
  }
  return 0;
}
