// Argument binding for the module's functions, which all use the fast calling convention
// with keyword names (METH_FASTCALL | METH_KEYWORDS). Every parameter is required and
// positional-or-keyword; every argument must be a str (a subclass included), and a parameter
// may be marked to accept None as "absent". Argument errors are TypeErrors worded like the
// host's own messages for Python-level functions.
#pragma once

#include "python/py_ref.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vintrel_native {

inline constexpr size_t kMaxParameters = 5;

// The parameter list of one function: one row of the function table.
struct Signature {
  const char* name = "";
  std::array<const char*, kMaxParameters> parameters{};
  size_t parameter_count = 0;
  // Bit i set: parameter i accepts None (read as an absent text).
  uint32_t accepts_none = 0;
};

// The texts of one call, in parameter order. The views point into the argument str objects'
// cached UTF-8 form and are valid for the duration of the call.
class Arguments {
 public:
  const Signature& signature() const { return *signature_; }
  std::string_view function_name() const { return signature_->name; }
  // The text of parameter `i`; the parameter must not accept None.
  std::string_view text(size_t i) const { return *texts_[i]; }
  // The text of parameter `i`, or nothing when None was passed.
  const std::optional<std::string_view>& optional_text(size_t i) const { return texts_[i]; }

 private:
  friend bool bind_arguments(const Signature&, PyObject* const*, Py_ssize_t, PyObject*, Arguments*);

  const Signature* signature_ = nullptr;
  std::array<std::optional<std::string_view>, kMaxParameters> texts_{};
};

// Binds the vectorcall arguments of one call (positional `args[0..nargs)`, then the values
// of the keyword names `kwnames` in `args[nargs..]`) to `signature` and reads each as text.
// Order of checks: surplus positional arguments, then each keyword in call order (unknown
// name, value given twice), then missing parameters, then the type of each argument in
// parameter order. Returns false with a Python exception set at the first failure.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Arguments* out);

}  // namespace vintrel_native
