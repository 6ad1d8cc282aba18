// Python bodies of `reconcile_local` and `reconcile_incremental`. The driver does all the work
// in plain C++; this file only releases the interpreter lock around the engine's reconcile
// operation (reading, compiling, training, clustering, golden records and the conversion
// run with the lock held) and converts the result tree. A failed input is a ValueError
// carrying the driver's stage-prefixed message.
#include <optional>
#include <string_view>
#include <utility>

#include "base/result.h"
#include "base/value.h"
#include "python/boundary.h"
#include "python/bridge/reconcile_driver.h"
#include "python/convert.h"
#include "python/functions.h"

namespace vintrel_native {
namespace {

// Suspends the host's cyclic garbage collector for its lifetime (restoring the previous
// state). Converting a large result creates tens of thousands of lists and dicts, each of
// which counts towards the collector's thresholds; the collections this triggers would only
// scan the new, still acyclic result again and again (a quarter of the call's time on 100,000
// records). No Python code runs during the conversion, so nothing else notices.
class PauseGc {
 public:
  PauseGc() : was_enabled_(PyGC_Disable() != 0) {}
  ~PauseGc() {
    if (was_enabled_) PyGC_Enable();
  }
  PauseGc(const PauseGc&) = delete;
  PauseGc& operator=(const PauseGc&) = delete;

 private:
  bool was_enabled_;
};

PyRef run(osmira_base::Result<vintrel_bridge::ReconcileDriver> prepared) {
  if (!prepared.ok()) {
    raise_value_error(prepared.error().message());
    return {};
  }
  osmira_base::Value result;
  {
    vintrel_bridge::ReconcileDriver driver = std::move(prepared).value();
    {
      // The driver owns copies of everything the reconcile step reads; no Python object is
      // touched until the lock is back (also when the step throws).
      AllowThreads unlocked;
      driver.reconcile();
    }
    result = vintrel_bridge::result_tree(driver.finish());
  }  // records, engine and decisions are released before the Python objects are built
  PauseGc pause;
  return json_value_to_py(result);
}

}  // namespace

PyRef reconcile_local_body(const Arguments& args) {
  return run(vintrel_bridge::ReconcileDriver::prepare_local(args.text(0), args.text(1)));
}

PyRef reconcile_incremental_body(const Arguments& args) {
  return run(vintrel_bridge::ReconcileDriver::prepare_incremental(
      args.text(0), args.text(1), args.text(2), args.text(3), args.optional_text(4)));
}

}  // namespace vintrel_native
