// Early stop of a long computation: one thread raises the flag, the threads doing the work
// look at it between pieces of work and give up by throwing Cancelled, which unwinds
// everything the work held, or hands it to the catcher (Cancelled::leave). A flag that is
// never raised changes nothing.
#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace osmira_base {

// Thrown by the work that saw its flag raised.
struct Cancelled : std::exception {
  const char* what() const noexcept override { return "the computation was cancelled"; }

  // Work that holds much (millions of small blocks) hands it over as it unwinds, with
  // `leave` in a handler that rethrows, rather than destroying it in the unwinding: the
  // catcher then decides where it is destroyed (on a thread of its own, say), and the stop
  // is not held back by the frees. `held` is a value to move in, or a shared_ptr to it;
  // without room to hold it, it goes with its owner.
  template <typename T>
  void leave(T&& held) noexcept {
    try {
      if constexpr (std::is_convertible_v<T&&, std::shared_ptr<void>>) {
        left.emplace_back(std::forward<T>(held));
      } else {
        left.push_back(std::make_shared<std::decay_t<T>>(std::forward<T>(held)));
      }
    } catch (...) {  // no memory
    }
  }
  // What the work handed over, destroyed with the exception unless moved out.
  std::vector<std::shared_ptr<void>> left;
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
