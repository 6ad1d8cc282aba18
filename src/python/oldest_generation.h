// The oldest generation of the host's cyclic collector, reached through the collector's own
// structures, for handing it a large result without touching the host's objects or counts.
// Everything that depends on those structures is in oldest_generation.cc.
#pragma once

#include "python/py_ref.h"

#include <optional>

namespace vintrel_native {

class OldestGeneration {
 public:
  // Checks once per process, at import, with the interpreter lock held, that a container
  // linked into the oldest generation this way is seen there by gc.get_objects(2) and leaves
  // every count (gc.get_count()) and threshold as it was. Where the check fails, or the
  // interpreter is not one whose structures this file was built for, find() always returns
  // nothing. A check that cannot be made now (a collection is under way) is made by the next
  // find(). False only with an exception set that must propagate (one that is not an
  // Exception, such as a KeyboardInterrupt from a signal handler run meanwhile).
  static bool probe();

  // The calling interpreter's collector, when the check passed and no collection is under
  // way (this is not a call from a finalizer or a gc callback). With the lock held; may run
  // the check, which calls functions of the gc module. Nothing, with the exception set, when
  // probe() would return false.
  static std::optional<OldestGeneration> find();

  // Whether a collection is under way now (one that another thread started may have handed
  // the lock over meanwhile): link() must not be used then.
  bool collecting() const;

  // Appends `container` (untracked, alive) to the oldest generation's list, as the collector
  // tracks a new container into the youngest one. No count changes: the container was
  // counted as an allocation of the youngest generation when it was made, as any is, and is
  // counted off it when it is freed. Nor is it counted among the objects waiting for a full
  // collection (long_lived_pending), which would bring the host's next full collection
  // forward; a full collection that finds it alive counts it among the survivors
  // (long_lived_total), as any.
  void link(PyObject* container) const;

 private:
  explicit OldestGeneration(void* state) : state_(state) {}
  void* state_;  // the interpreter's collector state
};

}  // namespace vintrel_native
