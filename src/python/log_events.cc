#include "python/log_events.h"

#include <cxxabi.h>

#include <string>
#include <string_view>
#include <vector>

namespace vintrel_native {
namespace {

using osmira_core::engine::log::Event;
using osmira_core::engine::log::Level;

constexpr std::string_view kCompilerTarget = "osmira_core::engine::compiler";
constexpr const char* kLoggerNames[2] = {"vintrel.engine", "vintrel.compiler"};

// logging's numbers for the levels.
int logging_level(Level level) {
  switch (level) {
    case Level::kInfo: return 20;
    case Level::kWarn: return 30;
    case Level::kError: return 40;
  }
  return 40;
}

// logging.getLogger(name), a new reference; logging is taken from sys.modules (the package
// imports it) and imported only when it is not there.
PyObject* get_logger(const char* name) {
  PyObject* const key = PyUnicode_FromString("logging");
  if (key == nullptr) return nullptr;
  PyObject* logging = PyImport_GetModule(key);
  if (logging == nullptr && PyErr_Occurred() == nullptr) logging = PyImport_Import(key);
  Py_DECREF(key);
  if (logging == nullptr) return nullptr;
  PyObject* const logger = PyObject_CallMethod(logging, "getLogger", "s", name);
  Py_DECREF(logging);
  return logger;
}

// The records of `events`, with `loggers` filled as they are first needed. Every reference
// is a plain pointer that is dropped right after its use: any Python code run here (a
// handler, even `isEnabledFor`) may give up the interpreter lock, and should the interpreter
// shut down meanwhile, this thread ends in a forced unwind without the lock, when nothing may
// be dropped; what is held then is left to the exiting interpreter.
bool deliver(const std::vector<Event>& events, PyObject* (&loggers)[2]) {
  for (const Event& event : events) {
    const int which = event.target == kCompilerTarget ? 1 : 0;
    PyObject*& logger = loggers[which];
    if (logger == nullptr) {
      logger = get_logger(kLoggerNames[which]);
      if (logger == nullptr) return false;
    }
    const int level = logging_level(event.level);
    PyObject* const enabled = PyObject_CallMethod(logger, "isEnabledFor", "i", level);
    if (enabled == nullptr) return false;
    const int on = PyObject_IsTrue(enabled);
    Py_DECREF(enabled);
    if (on < 0) return false;
    if (on == 0) continue;
    std::string message = event.text;
    if (event.count > 1) message += " (" + std::to_string(event.count) + " occurrences)";
    PyObject* const text = PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return false;
    PyObject* const done = PyObject_CallMethod(logger, "log", "iO", level, text);
    Py_DECREF(text);
    if (done == nullptr) return false;
    Py_DECREF(done);
  }
  return true;
}

}  // namespace

bool deliver_log_events(osmira_core::engine::log::Events& events) {
  const std::vector<Event> taken = events.take();
  if (taken.empty() || PyErr_Occurred() != nullptr) return true;
  PyObject* loggers[2] = {nullptr, nullptr};
  bool delivered = false;
  try {
    delivered = deliver(taken, loggers);
  } catch (abi::__forced_unwind&) {
    throw;  // without the lock: see `deliver`
  } catch (...) {
    Py_XDECREF(loggers[0]);
    Py_XDECREF(loggers[1]);
    throw;
  }
  Py_XDECREF(loggers[0]);
  Py_XDECREF(loggers[1]);
  return delivered;
}

}  // namespace vintrel_native
