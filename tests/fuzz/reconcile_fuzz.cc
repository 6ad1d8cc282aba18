// Reconcile end to end through the bridge driver (prepare -> reconcile -> finish), as the
// Python functions run it. The first byte picks the mode, the second a fixed spec:
//
//   mode 0  a fixed spec, fuzzed entity records, batch reconcile
//   mode 1  a fixed spec, fuzzed new records against the example records and their clusters
//   mode 2  a fuzzed spec over the example records, batch reconcile
//   mode 3  a fixed spec, fuzzed trained parameters, incremental reconcile of example records
//
// A failed prepare is fine (bad input is refused with a message); an exception or a crash is
// a fault. A successful run must give the five result keys, and a second run of the same
// call the same bytes (results never depend on how the worker pool split the work).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_writer.h"
#include "base/value.h"
#include "fuzz_support.h"
#include "python/bridge/reconcile_driver.h"

namespace {

using vintrel_bridge::ReconcileDriver;

constexpr std::string_view kSpecFiles[] = {
    "examples/customer.yaml",
    "tests/fuzz/specs/weighted_sum.yaml",
    "tests/fuzz/specs/fellegi_sunter.yaml",
    "tests/fuzz/specs/custom_expression.yaml",
    "tests/fuzz/specs/ml_ensemble.yaml",
};

struct FixedSpec {
  std::string yaml;
  std::string clusters_json;  // the clusters of a batch run over the example records
};

struct Fixed {
  std::string records_json;      // all example records
  std::string few_records_json;  // three of them, as new records for mode 3
  std::vector<FixedSpec> specs;
};

const char* const kResultKeys[] = {"clusters", "decisions", "golden_records", "telemetry",
                                   "trained_fs_params"};

// The compact JSON of the call's result, or nothing when prepare refused the input.
template <typename Prepare>
std::optional<std::string> run_once(const Prepare& prepare) {
  osmira_base::Result<ReconcileDriver> prepared = prepare();
  if (!prepared.ok()) {
    if (prepared.error().message().empty()) vintrel_fuzz::fuzz_fail("prepare failed without a message");
    return std::nullopt;
  }
  ReconcileDriver driver = std::move(prepared).value();
  driver.reconcile();
  osmira_base::Value result = vintrel_bridge::result_tree(driver.finish());
  for (const char* key : kResultKeys) {
    if (result.get(key) == nullptr) vintrel_fuzz::fuzz_fail("result key missing", key);
  }
  // One identifier, one cluster: also when a call carries several records of one identifier.
  std::set<std::string> listed;
  for (const osmira_base::Value& cluster : result.get("clusters")->as_array()) {
    for (const osmira_base::Value& id : cluster.as_array()) {
      if (!listed.insert(id.as_string()).second) {
        vintrel_fuzz::fuzz_fail("identifier listed in two clusters", id.as_string());
      }
    }
  }
  return osmira_base::compact_json(result);
}

template <typename Prepare>
void run(const Prepare& prepare) {
  const std::optional<std::string> first = run_once(prepare);
  if (!first) return;
  const std::optional<std::string> second = run_once(prepare);
  if (first != second) vintrel_fuzz::fuzz_fail("the same call gave two results", *first);
}

const Fixed& fixed() {
  static const Fixed* const value = [] {
    auto* f = new Fixed;
    f->records_json = vintrel_fuzz::read_source_file("examples/customers.json");
    osmira_base::json::Reader reader(f->records_json);
    osmira_base::Value records;
    if (!reader.read_value(records).ok() || !records.is_array() || records.as_array().size() < 3) {
      vintrel_fuzz::fuzz_fail("example records do not read");
    }
    osmira_base::Value few = osmira_base::Value::array();
    for (size_t i = 0; i < 3; ++i) few.push(records.as_array()[i]);
    f->few_records_json = osmira_base::compact_json(few);
    for (std::string_view file : kSpecFiles) {
      FixedSpec spec{vintrel_fuzz::read_source_file(file), {}};
      auto driver = ReconcileDriver::prepare_local(spec.yaml, f->records_json);
      if (!driver.ok()) vintrel_fuzz::fuzz_fail("fixed spec does not prepare", driver.error().message());
      driver->reconcile();
      osmira_base::Value result = vintrel_bridge::result_tree(driver->finish());
      spec.clusters_json = osmira_base::compact_json(*result.get("clusters"));
      f->specs.push_back(std::move(spec));
    }
    return f;
  }();
  return *value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)fixed();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const Fixed& f = fixed();
  const unsigned mode = data[0] % 4;
  const FixedSpec& spec = f.specs[data[1] % f.specs.size()];
  const std::string_view payload = vintrel_fuzz::as_text(data + 2, size - 2);
  switch (mode) {
    case 0:
      run([&] { return ReconcileDriver::prepare_local(spec.yaml, payload); });
      break;
    case 1:
      run([&] {
        return ReconcileDriver::prepare_incremental(spec.yaml, payload, f.records_json,
                                                    spec.clusters_json, std::nullopt);
      });
      break;
    case 2:
      run([&] { return ReconcileDriver::prepare_local(payload, f.records_json); });
      break;
    default:
      run([&] {
        return ReconcileDriver::prepare_incremental(spec.yaml, f.few_records_json, f.records_json,
                                                    spec.clusters_json, payload);
      });
      break;
  }
  return 0;
}
