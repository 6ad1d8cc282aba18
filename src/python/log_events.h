// Delivery of a call's log events (core/engine/log.h) to the host's `logging`: events of the
// compiler go to the logger "vintrel.compiler", all others to "vintrel.engine", INFO, WARN
// and ERROR as logging.INFO, logging.WARNING and logging.ERROR. Each collapsed entry is one
// record, in the order of first occurrence; an entry that occurred N > 1 times ends its
// message with " (N occurrences)".
#pragma once

#include "core/engine/log.h"
#include "python/py_ref.h"

namespace vintrel_native {

// Hands the events collected so far to `logging` and empties `events`. Call on the calling
// thread with the interpreter lock held, once the work is over. A call that collected nothing
// touches no Python object; with an exception already set (a KeyboardInterrupt) nothing is
// delivered and the exception stays. A logger below an event's level gets no record. A
// failing handler is logging's own business (Handler.handleError); when a logger's `log`
// or `isEnabledFor` itself raises, false is returned with that exception set, else true.
[[nodiscard]] bool deliver_log_events(osmira_core::engine::log::Events& events);

}  // namespace vintrel_native
