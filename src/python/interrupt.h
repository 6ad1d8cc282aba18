// Long native work that Ctrl-C can stop: while the work runs without the interpreter lock,
// the calling thread runs the Python handlers of signals that arrive, and a handler that
// raises (KeyboardInterrupt from the default SIGINT handler) cancels the work.
#pragma once

#include <functional>

#include "base/cancel.h"

namespace vintrel_native {

// Runs `work` with the interpreter lock released. `work` must not touch any Python object and
// should return soon after `cancel` is raised (throwing osmira_base::Cancelled is fine).
//
// On the main thread of the main interpreter, the only one where the host runs signal
// handlers, the work runs on a thread of its own while the calling thread looks for signals
// every 50 ms, taking the lock only for that. When a handler raises, `cancel` is raised, the
// work is waited for (what it made or threw is dropped), and false is returned with the
// handler's exception set. On any other thread, or when no thread can be started, the work
// runs on the calling thread as without_lock does. Otherwise returns true once the work has
// ended, rethrowing what it threw.
bool run_interruptible(osmira_base::CancelFlag& cancel, const std::function<void()>& work);

}  // namespace vintrel_native
