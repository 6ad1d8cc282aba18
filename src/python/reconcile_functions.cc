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

PyRef run(osmira_base::Result<vintrel_bridge::ReconcileDriver> prepared) {
  if (!prepared.ok()) {
    raise_value_error(prepared.error().message());
    return {};
  }
  vintrel_bridge::ReconcileDriver& driver = *prepared;
  {
    // The driver owns copies of everything the reconcile step reads; no Python object is
    // touched until the lock is back (also when the step throws).
    AllowThreads unlocked;
    driver.reconcile();
  }
  return json_value_to_py(driver.finish());
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
