// Early stop of a long computation: one thread raises the flag, the threads doing the work
// look at it between pieces of work and give up by throwing Cancelled, which unwinds
// everything the work held. A flag that is never raised changes nothing.
#pragma once

#include <atomic>
#include <exception>

namespace osmira_base {

// Thrown by the work that saw its flag raised.
struct Cancelled : std::exception {
  const char* what() const noexcept override { return "the computation was cancelled"; }
};

// Thread-safe; raised at most once, never lowered.
class CancelFlag {
 public:
  void raise() { raised_.store(true, std::memory_order_relaxed); }
  bool raised() const { return raised_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> raised_{false};
};

// Throws Cancelled when `flag` is given and raised.
inline void stop_if_cancelled(const CancelFlag* flag) {
  if (flag != nullptr && flag->raised()) throw Cancelled();
}

}  // namespace osmira_base
