// Python bodies of `reconcile_local` and `reconcile_incremental`. Everything the driver does
// (reading and compiling the spec, reading the inputs, training, the engine's reconcile
// operation, clustering, golden records) works on plain C++ values and runs with the
// interpreter lock released; the lock is held only to build the Python result. A failed
// input is a ValueError carrying the driver's stage-prefixed message.
#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#include "base/result.h"
#include "python/arena_supply.h"
#include "python/boundary.h"
#include "python/bridge/reconcile_driver.h"
#include "python/bridge/tuning.h"
#include "python/functions.h"
#include "python/helper_threads.h"
#include "python/result_objects.h"

namespace vintrel_native {
namespace {

using vintrel_bridge::ReconcileDriver;
using vintrel_bridge::ReconcileResult;

// Suspends the host's cyclic garbage collector for its lifetime (restoring the previous
// state). Converting a large result creates tens of thousands of lists and dicts, each of
// which counts towards the collector's thresholds; the collections this triggers would only
// scan the new, still acyclic result again and again (a quarter of the call's time on 100,000
// records). The pause is process-wide: it is taken only with the interpreter lock held from
// its start to its end, so that no other thread notices, and in no build without that lock.
class PauseGc {
 public:
#if defined(Py_GIL_DISABLED)
  PauseGc() : was_enabled_(false) {}
#else
  PauseGc() : was_enabled_(PyGC_Disable() != 0) {}
#endif
  ~PauseGc() {
    if (was_enabled_) PyGC_Enable();
  }
  PauseGc(const PauseGc&) = delete;
  PauseGc& operator=(const PauseGc&) = delete;

 private:
  bool was_enabled_;
};

// How far ahead of the conversion the host's arenas are faulted in (see ArenaSupply and
// tuning.h): a share of what the Python result will roughly take, within bounds.
size_t arenas_ahead(const ReconcileResult& result) {
  namespace tuning = vintrel_bridge::tuning;
  const size_t expected = result.decisions.size() * tuning::kBytesPerDecision +
                          result.clusters.size() * tuning::kBytesPerCluster;
  if (expected < tuning::kLeastResult) return 0;
  return std::min(tuning::kMostAhead, expected / tuning::kAheadShare);
}

// Hands the heap freed by the call back to the system (glibc keeps it otherwise: about 0.9 GB
// after 100,000 records).
void return_free_memory() {
  AllowThreads unlocked;
  return_freed_heap();
}

// The driver's three steps, all without the interpreter. The argument texts are views into
// the argument str objects, which the call keeps alive; the driver and everything it held are
// gone when this returns.
template <typename Prepare>
osmira_base::Result<ReconcileResult> compute(Prepare&& prepare) {
  osmira_base::Result<ReconcileDriver> prepared = prepare();
  if (!prepared.ok()) return prepared.error();
  ReconcileDriver driver = std::move(prepared).value();
  driver.reconcile();
  return driver.finish();
}

template <typename Prepare>
PyRef run(Prepare&& prepare) {
  std::optional<osmira_base::Result<ReconcileResult>> outcome;
  {
    // No Python object is touched until the lock is back (also when a step throws).
    AllowThreads unlocked;
    outcome.emplace(compute(prepare));
#if defined(__GLIBC__)
    // What the engine and the driver freed (records, per-record preparation, blocks) goes
    // back to the system before the Python objects come on top of it.
    malloc_trim(0);
#endif
  }
  if (!outcome->ok()) {
    raise_value_error(outcome->error().message());
    return {};
  }
  PyRef result;
  {
    ReconcileResult typed = std::move(*outcome).value();
    outcome.reset();
    PauseGc pause;
    std::optional<ArenaSupply> arenas;
    if (const size_t ahead = arenas_ahead(typed); ahead > 0) arenas.emplace(ahead);
    result = reconcile_result_to_py(std::move(typed));
  }
  return_free_memory();
  return result;
}

}  // namespace

PyRef reconcile_local_body(const Arguments& args) {
  const std::string_view spec = args.text(0);
  const std::string_view entities = args.text(1);
  return run([&] { return ReconcileDriver::prepare_local(spec, entities); });
}

PyRef reconcile_incremental_body(const Arguments& args) {
  const std::string_view spec = args.text(0);
  const std::string_view new_entities = args.text(1);
  const std::string_view existing_entities = args.text(2);
  const std::string_view existing_clusters = args.text(3);
  const std::optional<std::string_view> trained = args.optional_text(4);
  return run([&] {
    return ReconcileDriver::prepare_incremental(spec, new_entities, existing_entities,
                                                existing_clusters, trained);
  });
}

}  // namespace vintrel_native
