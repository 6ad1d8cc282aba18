// The only file that reads the host collector's own structures. They are those of CPython
// 3.11 to 3.13 built with the interpreter lock: three generations, each a doubly linked list
// through the two-word header in front of every container, with a threshold and a count, and
// a `collecting` flag set while a collection runs. Other interpreters (the free-threaded
// build, 3.14's incremental collector, versions not known here) compile none of it: there
// the check at import fails and every result is handed over young.
#include "python/oldest_generation.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define VINTREL_GC_STRUCTURES 1
// Python.h defines _PyGC_FINALIZED for extensions, which the internal header defines again.
#undef _PyGC_FINALIZED
#define Py_BUILD_CORE 1
#include <internal/pycore_gc.h>
#undef Py_BUILD_CORE
#else
#define VINTREL_GC_STRUCTURES 0
#endif

namespace vintrel_native {
namespace {

enum class Checked : int { kNotYet, kPassed, kFailed };
std::atomic<Checked> g_checked{Checked::kNotYet};

#if VINTREL_GC_STRUCTURES
using GcState = struct _gc_runtime_state;
static_assert(NUM_GENERATIONS == 3, "three generations, the oldest one last");
static_assert(sizeof(PyGC_Head) == 2 * sizeof(uintptr_t) && offsetof(gc_generation, head) == 0,
              "a generation starts with its list's head, a two-word container header");
static_assert(std::is_same_v<decltype(gc_generation::count), int> &&
                  std::is_same_v<decltype(GcState::collecting), int>,
              "counts and the collecting flag are ints");

GcState* state_of(void* state) { return static_cast<GcState*>(state); }

// Appends `container` to the oldest generation's list, as the collector tracks a new
// container into the youngest one.
void link_into_oldest(GcState* state, PyObject* container) {
  PyGC_Head* const oldest = &state->generations[NUM_GENERATIONS - 1].head;
  PyGC_Head* const gc = _Py_AS_GC(container);
  PyGC_Head* const last = reinterpret_cast<PyGC_Head*>(oldest->_gc_prev);  // a head's has no flags
  _PyGCHead_SET_NEXT(last, gc);
  _PyGCHead_SET_PREV(gc, last);
  _PyGCHead_SET_NEXT(gc, oldest);
  oldest->_gc_prev = reinterpret_cast<uintptr_t>(gc);
}

// The calling interpreter's collector state. A container just made is tracked at the end of
// the youngest generation's list, so its header's next pointer is that list's head, the
// first generation of the state; the state's own pointer to that head confirms it. Nothing
// (and no exception) when the container cannot be made.
GcState* find_state() {
  PyRef made = PyRef::steal(PyList_New(0));
  if (!made || PyObject_GC_IsTracked(made.get()) == 0) {
    PyErr_Clear();
    return nullptr;
  }
  auto* head = reinterpret_cast<PyGC_Head*>(_Py_AS_GC(made.get())->_gc_next);
  auto* state =
      reinterpret_cast<GcState*>(reinterpret_cast<char*>(head) - offsetof(GcState, generations));
  return state->generation0 == head ? state : nullptr;
}

// Whether the three ints of `gc.<function>()` are `expected`.
bool reads(PyObject* gc, const char* function, const int (&expected)[NUM_GENERATIONS]) {
  PyRef values = PyRef::steal(PyObject_CallMethod(gc, function, nullptr));
  if (!values || !PyTuple_Check(values.get()) || PyTuple_GET_SIZE(values.get()) != 3) return false;
  for (Py_ssize_t i = 0; i < 3; ++i) {
    const long value = PyLong_AsLong(PyTuple_GET_ITEM(values.get(), i));
    if (value != expected[i]) return false;
  }
  return true;
}

// The check probe() makes, the collector paused by the caller.
bool linked_probe_is_seen(GcState* state, PyObject* gc) {
  int thresholds[NUM_GENERATIONS];
  int counts[NUM_GENERATIONS];
  const auto read_counts = [&](int (&into)[NUM_GENERATIONS]) {
    for (int i = 0; i < NUM_GENERATIONS; ++i) into[i] = state->generations[i].count;
  };
  for (int i = 0; i < NUM_GENERATIONS; ++i) thresholds[i] = state->generations[i].threshold;
  PyRef probe = PyRef::steal(PyList_New(0));
  if (!probe || !reads(gc, "get_threshold", thresholds)) return false;
  PyObject_GC_UnTrack(probe.get());
  read_counts(counts);
  int after[NUM_GENERATIONS];
  link_into_oldest(state, probe.get());
  read_counts(after);
  bool seen = false;
  if (std::equal(std::begin(counts), std::end(counts), std::begin(after)) &&
      reads(gc, "get_count", counts)) {
    PyRef oldest = PyRef::steal(PyObject_CallMethod(gc, "get_objects", "i", NUM_GENERATIONS - 1));
    if (oldest && PyList_Check(oldest.get())) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(oldest.get()) && !seen; ++i) {
        seen = PyList_GET_ITEM(oldest.get(), i) == probe.get();
      }
    }
  }
  PyObject_GC_UnTrack(probe.get());  // off the oldest generation's list again
  return seen;
}
#endif

Checked check() {
#if VINTREL_GC_STRUCTURES
  GcState* const state = find_state();
  if (state == nullptr) return Checked::kFailed;
  if (state->collecting != 0) return Checked::kNotYet;  // imported from a finalizer, say
  PyRef gc = PyRef::steal(PyImport_ImportModule("gc"));
  if (!gc) return Checked::kFailed;
  const int was_enabled = PyGC_Disable();  // no collection changes a count meanwhile
  const bool seen = linked_probe_is_seen(state, gc.get());
  if (was_enabled != 0) PyGC_Enable();
  return seen ? Checked::kPassed : Checked::kFailed;
#else
  return Checked::kFailed;
#endif
}

}  // namespace

bool OldestGeneration::probe() {
  if (g_checked.load() != Checked::kNotYet) return true;
  Checked checked = check();
  if (PyErr_Occurred() != nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;  // checked again later
    PyErr_Clear();
    checked = Checked::kFailed;
  }
  g_checked.store(checked);
  return true;
}

std::optional<OldestGeneration> OldestGeneration::find() {
#if VINTREL_GC_STRUCTURES
  if (g_checked.load() == Checked::kNotYet && !probe()) return std::nullopt;
  if (g_checked.load() != Checked::kPassed) return std::nullopt;
  GcState* const state = find_state();
  if (state == nullptr || state->collecting != 0) return std::nullopt;
  return OldestGeneration(state);
#else
  return std::nullopt;
#endif
}

#if VINTREL_GC_STRUCTURES
bool OldestGeneration::collecting() const { return state_of(state_)->collecting != 0; }

void OldestGeneration::link(PyObject* container) const {
  link_into_oldest(state_of(state_), container);
}
#else
// Never called: find() returns nothing.
bool OldestGeneration::collecting() const { return true; }
void OldestGeneration::link(PyObject* container) const { PyObject_GC_Track(container); }
#endif

}  // namespace vintrel_native
