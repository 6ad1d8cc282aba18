// The extension module `_native`: its definition (multi-phase initialisation), the table of
// its eleven functions and their entry points. The functions are added by the exec step
// rather than listed in the definition, so that each is bound to the module object and
// `__all__` is built from the functions actually created.
#include <array>
#include <cstddef>
#include <string>
#include <utility>

#include "python/arguments.h"
#include "python/boundary.h"
#include "python/functions.h"
#include "python/oldest_generation.h"
#include "python/py_ref.h"

namespace vintrel_native {
namespace {

struct FunctionEntry {
  Signature signature;
  FunctionBody body;
};

constexpr uint32_t kNoneNowhere = 0;
constexpr uint32_t kNoneForFifth = 1u << 4;

// The function table, in registration order (which is also the order of `__all__`). The
// signature column fixes the parameter names, their order and which one accepts None; the
// bodies are declared in functions.h and defined in the .cc files beside this one.
constexpr FunctionEntry kFunctions[] = {
    {{"validate", {"yaml_str"}, 1, kNoneNowhere}, validate_body},
    {{"validate_strict", {"yaml_str"}, 1, kNoneNowhere}, validate_strict_body},
    {{"validate_schema", {"yaml_str"}, 1, kNoneNowhere}, validate_schema_body},
    {{"validate_semantics", {"yaml_str"}, 1, kNoneNowhere}, validate_semantics_body},
    {{"parse", {"yaml_str"}, 1, kNoneNowhere}, parse_body},
    {{"compile_ir", {"yaml_str"}, 1, kNoneNowhere}, compile_ir_body},
    {{"diff", {"yaml_a", "yaml_b"}, 2, kNoneNowhere}, diff_body},
    {{"hash", {"yaml_str"}, 1, kNoneNowhere}, hash_body},
    {{"plan", {"yaml_str"}, 1, kNoneNowhere}, plan_body},
    {{"reconcile_local", {"yaml_str", "entities_json"}, 2, kNoneNowhere}, reconcile_local_body},
    {{"reconcile_incremental",
      {"yaml_str", "new_entities_json", "existing_entities_json", "existing_clusters_json",
       "trained_fs_params_json"},
      5,
      kNoneForFifth},
     reconcile_incremental_body},
};
constexpr size_t kFunctionCount = std::size(kFunctions);

// A row's parameter count must match its names, and None may be accepted only by one of its
// parameters: binding trusts both.
constexpr bool signatures_are_consistent() {
  for (const FunctionEntry& function : kFunctions) {
    const Signature& signature = function.signature;
    if (signature.parameter_count == 0 || signature.parameter_count > kMaxParameters) return false;
    for (size_t i = 0; i < kMaxParameters; ++i) {
      if ((signature.parameters[i] != nullptr) != (i < signature.parameter_count)) return false;
    }
    if ((signature.accepts_none >> signature.parameter_count) != 0) return false;
  }
  return true;
}
static_assert(signatures_are_consistent(), "function table row with inconsistent parameters");

// The entry point of function I: binds the arguments, runs the body, and turns any C++
// exception into PanicException. The host has already stripped the vectorcall offset flag
// from `nargs`.
template <size_t I>
PyObject* entry_point(PyObject* /*self: null under METH_STATIC*/, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  return call_at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    const FunctionEntry& function = kFunctions[I];
    Arguments bound;
    if (!bind_arguments(function.signature, args, nargs, kwnames, &bound)) return nullptr;
    return function.body(bound).release();
  });
}

// The docstring is only the text signature ("name(a, b)\n--\n\n"), from which the host
// derives `__text_signature__`; the functions carry no further documentation.
std::string text_signature(const Signature& signature) {
  std::string doc = signature.name;
  doc += '(';
  for (size_t i = 0; i < signature.parameter_count; ++i) {
    if (i != 0) doc += ", ";
    doc += signature.parameters[i];
  }
  doc += ")\n--\n\n";
  return doc;
}

// The method entries the function objects point at. Each entry's docstring points into
// `docs_` of the same object, so the table is built in place once and never copied or moved;
// it lives for the life of the process because every function object keeps pointing at it.
class MethodTable {
 public:
  MethodTable() { fill(std::make_index_sequence<kFunctionCount>{}); }
  MethodTable(const MethodTable&) = delete;
  MethodTable& operator=(const MethodTable&) = delete;

  const std::array<PyMethodDef, kFunctionCount>& defs() const { return defs_; }

 private:
  template <size_t... I>
  void fill(std::index_sequence<I...>) {
    ((docs_[I] = text_signature(kFunctions[I].signature)), ...);
    // The fast-call entry points are stored through the generic function pointer type, as
    // the host expects for METH_FASTCALL. With METH_STATIC the host passes no self to the
    // entry point and reports `__self__` as None; the entry points need no self either way.
    ((defs_[I] = PyMethodDef{kFunctions[I].signature.name,
                             reinterpret_cast<PyCFunction>(
                                 reinterpret_cast<void (*)(void)>(&entry_point<I>)),
                             METH_FASTCALL | METH_KEYWORDS | METH_STATIC, docs_[I].c_str()}),
     ...);
  }

  std::array<std::string, kFunctionCount> docs_;
  std::array<PyMethodDef, kFunctionCount> defs_{};
};

const MethodTable& method_table() {
  static const MethodTable table;
  return table;
}

// The module's `__all__` list, created empty when the module has none yet.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return {};
    return all;
  }
  if (!PyList_Check(all.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'list'", Py_TYPE(all.get())->tp_name);
    return {};
  }
  return all;
}

// The exec step: checks how a large result may join the host's collector, then adds the
// functions in table order. The first failure stops it with its exception set; functions
// after it are not added.
int exec_module(PyObject* module) {
  return call_at_boundary<int>(-1, [&]() -> int {
    if (!PyModule_Check(module)) {
      PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'module'", Py_TYPE(module)->tp_name);
      return -1;
    }
    if (!OldestGeneration::probe()) return -1;
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    const MethodTable& table = method_table();
    for (const PyMethodDef& def : table.defs()) {
      // The host's method entry is not const-qualified; the functions never write it.
      PyRef function = PyRef::steal(
          PyCFunction_NewEx(const_cast<PyMethodDef*>(&def), module, module_name.get()));
      if (!function) return -1;
      PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
      if (!name) return -1;
      PyRef all = all_list(module);
      if (!all) return -1;
      if (PyList_Append(all.get(), name.get()) < 0) return -1;
      if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_gil
    // The module keeps no state of its own and does not rely on the interpreter lock: where
    // there is none, a call neither pauses the collector nor installs its arena supply (both
    // process-wide, and safe only while one lock-holding thread runs).
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",     // m_name
    "",            // m_doc: empty, not absent
    0,             // m_size: no per-module state
    nullptr,       // m_methods: added by the exec step
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace
}  // namespace vintrel_native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vintrel_native::module_def); }
