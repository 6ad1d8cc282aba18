// Building a large result makes the host's small-object allocator map fresh arenas one after
// another, and the thread that holds the interpreter lock then spends about a third of its
// time in page faults (the kernel zeroing and charging each new page). While it is in place,
// an ArenaSupply hands the host arenas whose pages a thread of its own has already faulted
// in, ahead of their use, so that the lock-holding thread only fills them.
#pragma once

#include "python/py_ref.h"

#include <cstddef>

namespace vintrel_native {

class ArenaSupply {
 public:
  // Installs the supply as the host's arena allocator, with a thread of its own faulting in up to
  // `ahead_bytes` of arenas before they are asked for. Does nothing unless only the thread
  // holding the interpreter lock can allocate arenas meanwhile and the host's own allocator
  // is in place, nor when the thread cannot be started. Call with the interpreter lock held,
  // and keep it held while the supply is in place: the allocator is the whole process's.
  explicit ArenaSupply(size_t ahead_bytes);
  // Puts the previous arena allocator back (unless put back already) and unmaps the arenas
  // that were not handed out. Call with the interpreter lock held. In a child forked
  // meanwhile, whose filling thread does not exist, the supply's state is left alone.
  ~ArenaSupply();

  // Puts the previous allocator back for a while (before the lock is released), and takes
  // the supply up again after: only when the host's allocator is still the one put back and
  // the supply may still stand in for it, otherwise the supply stays out. Call with the lock
  // held.
  void put_back();
  void take_up();
  ArenaSupply(const ArenaSupply&) = delete;
  ArenaSupply& operator=(const ArenaSupply&) = delete;

  struct State;

 private:
  State* state_ = nullptr;
  bool in_place_ = false;
};

}  // namespace vintrel_native
