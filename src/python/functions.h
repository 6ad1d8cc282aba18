// The bodies of the module's Python functions. A body receives its bound texts and returns a
// new reference, or an empty PyRef with a Python exception set. Bodies run with the
// interpreter lock held; a body that hands long C++ work to other threads releases it with
// without_lock (or run_interruptible) around that work only.
#pragma once

#include "python/arguments.h"
#include "python/py_ref.h"

namespace vintrel_native {

using FunctionBody = PyRef (*)(const Arguments& args);

// Tooling functions over the spec parsed as a document tree.
PyRef validate_body(const Arguments& args);
PyRef validate_schema_body(const Arguments& args);
PyRef validate_semantics_body(const Arguments& args);
PyRef parse_body(const Arguments& args);
PyRef hash_body(const Arguments& args);

// Schema and semantic messages followed by the coded message of a failed typed reading.
PyRef validate_strict_body(const Arguments& args);

// Spec commands: compiled summary, execution-plan analysis, diff of two specs.
PyRef compile_ir_body(const Arguments& args);
PyRef plan_body(const Arguments& args);
PyRef diff_body(const Arguments& args);

// Batch and incremental reconciliation from JSON inputs to the result dict.
PyRef reconcile_local_body(const Arguments& args);
PyRef reconcile_incremental_body(const Arguments& args);

}  // namespace vintrel_native
