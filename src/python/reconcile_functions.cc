// Python bodies of `reconcile_local` and `reconcile_incremental`. Everything the driver does
// (reading and compiling the spec, reading the inputs, training, the engine's reconcile
// operation, clustering, golden records) works on plain C++ values and runs with the
// interpreter lock released; the lock is held only to build the Python result, and offered
// to other threads meanwhile (LockPacer). A failed input is a ValueError carrying the
// driver's stage-prefixed message; running out of memory is a MemoryError naming the step.
// Ctrl-C during the driver's work cancels it, and during the building of the result stops
// that (interrupt.h).
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/cancel.h"
#include "base/result.h"
#include "python/arena_supply.h"
#include "python/boundary.h"
#include "python/bridge/reconcile_driver.h"
#include "python/bridge/tuning.h"
#include "python/functions.h"
#include "python/helper_threads.h"
#include "python/interrupt.h"
#include "python/log_events.h"
#include "python/result_builder.h"
#include "python/result_objects.h"

namespace vintrel_native {
namespace {

using osmira_base::CancelFlag;
using vintrel_bridge::ReconcileDriver;
using vintrel_bridge::ReconcileResult;

// The MemoryError messages, by the step that ran out.
constexpr const char* kNoMemoryReading = "out of memory while reading the records";
constexpr const char* kNoMemoryComparing = "out of memory while comparing the records";
constexpr const char* kNoMemoryClustering =
    "out of memory while building the clusters and golden records";
constexpr const char* kNoMemoryResult = "out of memory while building the result objects";

// Suspends the host's cyclic garbage collector while it is taken up (from its creation to its
// destruction, but for the times it is put back), restoring the state it found. Converting a
// large result creates tens of thousands of lists and dicts, each of which counts towards the
// collector's thresholds; the collections this triggers would run every few hundred of them
// for nothing, as the result is acyclic and kept out of the collector until it is complete
// (OutOfCollector). The pause is process-wide: it is in place only while the interpreter lock
// is held, so that no other thread notices, and in no build without that lock.
class PauseGc {
 public:
  PauseGc() { take_up(); }
  ~PauseGc() { put_back(); }
  PauseGc(const PauseGc&) = delete;
  PauseGc& operator=(const PauseGc&) = delete;

  void take_up() {
#if !defined(Py_GIL_DISABLED)
    was_enabled_ = PyGC_Disable() != 0;
#endif
  }
  void put_back() {
    if (std::exchange(was_enabled_, false)) PyGC_Enable();
  }

 private:
  bool was_enabled_ = false;
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

// What the driver's work gave: its result or failed input, or the step that ran out of
// memory; neither when it was cancelled. Then it holds what the cancelled work left instead
// of destroying it (the driver, the decisions written so far): the whole is destroyed on a
// thread of its own after the call, the numbering first (it reads the driver's decisions).
struct Computed {
  std::optional<ReconcileDriver> driver;      // while the work runs, and after a cancel
  std::vector<std::shared_ptr<void>> left;    // what the cancelled engine or driver handed over
  std::optional<osmira_base::Result<ReconcileResult>> outcome;
  const char* out_of_memory = nullptr;
  osmira_core::engine::log::Events events;  // delivered once the work is over
  std::optional<TextNumbering> numbering;    // with a result: of its decisions
};

// The driver's three steps, all without the interpreter, stopping early once `cancel` is
// raised. The argument texts are views into the argument str objects, which the call keeps
// alive; the driver and everything it held are gone when this returns (also after a failure),
// but for a cancel: they are left in `out` then.
template <typename Prepare>
void compute(Prepare& prepare, const CancelFlag& cancel, Computed& out) {
  const char* step = kNoMemoryReading;
  try {
    osmira_base::Result<ReconcileDriver> prepared = prepare(&cancel, &out.events);
    if (!prepared.ok()) {
      out.outcome.emplace(prepared.error());
      return;
    }
    ReconcileDriver& driver = out.driver.emplace(std::move(prepared).value());
    osmira_base::stop_if_cancelled(&cancel);
    step = kNoMemoryComparing;
    driver.reconcile(&cancel);
    osmira_base::stop_if_cancelled(&cancel);
    step = kNoMemoryClustering;
    // The decisions' texts are numbered from here on. When finishing fails, the numbering
    // is stopped before the driver goes: the driver holds the decisions until finish hands
    // them over.
    out.numbering.emplace(driver.decisions());
    try {
      out.outcome.emplace(driver.finish(&cancel));
    } catch (...) {
      out.numbering.reset();
      throw;
    }
  } catch (const vintrel_bridge::NoRoomForWorkers& e) {
    out.out_of_memory = e.what();
  } catch (const std::bad_alloc&) {
    out.out_of_memory = step;
  } catch (osmira_base::Cancelled& cancelled) {
    out.left = std::move(cancelled.left);
    return;
  }
  out.driver.reset();
}

template <typename Prepare>
PyRef run(Prepare&& prepare) {
  if (!free_what_stopped_calls_left()) return {};
  auto held = std::make_unique<Computed>();
  Computed& computed = *held;
  CancelFlag cancel;
  const pid_t pid = getpid();
  const bool completed = run_interruptible(cancel, [&] {
    // What an earlier stopped call left to be destroyed goes first: it would otherwise add
    // to this call's peak.
    if (!wait_for_background_releases(cancel)) return;
    compute(prepare, cancel, computed);
    // What the engine and the driver freed (records, per-record preparation, blocks) goes
    // back to the system before the Python objects come on top of it (not when they will
    // not come: that would only hold back the interrupt).
    if (!cancel.raised()) return_freed_heap();
  });
  if (!completed) {  // a signal handler raised
    // What the work made or left before it stopped (the whole result, if it had just ended)
    // goes after the exception. In a child forked by a handler, where the work stopped
    // halfway through whatever it was doing, it stays untouched.
    if (getpid() == pid) {
      release_in_background(std::move(held));
    } else {
      static_cast<void>(held.release());
    }
    return {};
  }
  if (!deliver_log_events(computed.events)) return {};
  if (computed.out_of_memory != nullptr) {
    raise_memory_error(computed.out_of_memory);
    return {};
  }
  std::optional<osmira_base::Result<ReconcileResult>>& outcome = computed.outcome;
  if (!outcome->ok()) {
    raise_value_error(outcome->error().message());
    return {};
  }
  ReconcileResult typed = std::move(*outcome).value();
  outcome.reset();
  PyRef result;
  std::vector<PyRef> left;
  try {
    // A large result joins the oldest generation, where the collector's structures allow
    // it and no collection is under way (a call from a finalizer or a gc callback).
    std::optional<OldestGeneration> oldest;
    if (3 * typed.decisions.size() + typed.clusters.size() >=
        vintrel_bridge::tuning::kCollectorHandOver) {
      oldest = OldestGeneration::find();
    }
    if (!PyErr_Occurred()) {
      PauseGc pause;
      std::optional<ArenaSupply> arenas;
      if (const size_t ahead = arenas_ahead(typed); ahead > 0) arenas.emplace(ahead);
      // Other threads, and signal handlers, run meanwhile with the host's allocator and
      // collector in place.
      LockPacer pacer(
          [&] {
            if (arenas) arenas->put_back();
            pause.put_back();
          },
          [&] {
            pause.take_up();
            if (arenas) arenas->take_up();
          });
      result = reconcile_result_to_py(std::move(typed), *computed.numbering, pacer,
                                      oldest ? &*oldest : nullptr, left);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  // Stopped if it still runs (a failed conversion): what is left of the decisions may go.
  computed.numbering.reset();
  if (!result) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) raise_memory_error(kNoMemoryResult);
    // The exception goes up at once: what was built is freed after it, and what was not
    // converted on a thread of its own.
    release_in_background(std::move(typed));
    free_after_the_call(std::move(left));
    return {};
  }
  // The result is held as a plain pointer while the lock is released: were this thread
  // ended there by a shutdown, no reference may be dropped without the lock.
  PyObject* const made = result.release();
  // The heap the conversion freed goes back to the system (glibc keeps it otherwise: about
  // 0.9 GB after 100,000 records).
  without_lock(return_freed_heap);
  // A signal that came meanwhile is acted on here: right after the return, its exception
  // would wait for the whole result to be freed.
  if (PyErr_CheckSignals() != 0) {
    left.push_back(PyRef::steal(made));
    for (const char* part : {"clusters", "golden_records", "decisions"}) {
      left.push_back(PyRef::borrow(PyDict_GetItemString(made, part)));
    }
    free_after_the_call(std::move(left));
    return {};
  }
  return PyRef::steal(made);
}

}  // namespace

PyRef reconcile_local_body(const Arguments& args) {
  const std::string_view spec = args.text(0);
  const std::string_view entities = args.text(1);
  return run([&](const CancelFlag* cancel, osmira_core::engine::log::Events* events) {
    return ReconcileDriver::prepare_local(spec, entities, cancel, events);
  });
}

PyRef reconcile_incremental_body(const Arguments& args) {
  const std::string_view spec = args.text(0);
  const std::string_view new_entities = args.text(1);
  const std::string_view existing_entities = args.text(2);
  const std::string_view existing_clusters = args.text(3);
  const std::optional<std::string_view> trained = args.optional_text(4);
  return run([&](const CancelFlag* cancel, osmira_core::engine::log::Events* events) {
    return ReconcileDriver::prepare_incremental(spec, new_entities, existing_entities,
                                                existing_clusters, trained, cancel, events);
  });
}

}  // namespace vintrel_native
