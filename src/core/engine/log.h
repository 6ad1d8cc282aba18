// Structured log events of the engine and the compiler: a level, a target (the module path)
// and a message with its placeholders filled in.
//
// Nothing in the system installs a receiver and the host has no way to install one, so the
// events are never delivered. The call sites stay where the engine has something worth
// saying; the macros compile to nothing. Their arguments are still type-checked (inside an
// `if (false)` branch) but never evaluated, so a call site costs nothing at run time and a
// value used only for logging raises no unused-variable warning.
#pragma once

namespace osmira_core::engine::log {

// Swallows the arguments of a log call site; never called at run time.
template <typename... Args>
inline void discard(const Args&...) {}

}  // namespace osmira_core::engine::log

// OSMIRA_LOG_INFO(target, format, args...) and its WARN and ERROR siblings. `format` uses
// "{}" placeholders, e.g.
//   OSMIRA_LOG_WARN("osmira_core::engine", "... failed: {}, falling back", reason);
#define OSMIRA_LOG_EVENT_(...)                                                  \
  do {                                                                          \
    if (false) ::osmira_core::engine::log::discard(__VA_ARGS__);                \
  } while (0)
#define OSMIRA_LOG_INFO(...) OSMIRA_LOG_EVENT_(__VA_ARGS__)
#define OSMIRA_LOG_WARN(...) OSMIRA_LOG_EVENT_(__VA_ARGS__)
#define OSMIRA_LOG_ERROR(...) OSMIRA_LOG_EVENT_(__VA_ARGS__)
