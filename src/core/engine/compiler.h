// The spec compiler: turns a typed identity spec into the identity plan that the
// reconciliation engine is built from.
//
// It resolves each source's adapter, location and key, converts duration texts to seconds,
// infers blocking transformations from key field names, expands multi-field rules into
// "and" composites, derives a rule for every Fellegi–Sunter field that has none of its own,
// precomputes the Fellegi–Sunter log weights from clamped probabilities, keeps the custom
// scoring expression as written (the engine compiles it), copies the descriptive sections and
// finally stores the plan hash.
//
// Every spec that the spec reader accepts compiles: missing sections take fixed defaults,
// unreadable durations become 0 and an uncompilable custom expression is left to the engine,
// which logs it and scores without it. The
// Result stays in the interface because the reconcile drivers report a failure of this step
// as "Compilation error: {}".
//
// SpecCompiler is stateless; its operations are pure functions of their arguments and safe
// to call from several threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "common/ir/enums.h"
#include "common/ir/plan.h"
#include "common/spec/identity_spec.h"
#include "core/engine/log.h"

namespace osmira_core::engine::compiler {

// A compilation failure; its display text is the message unchanged.
using CompilationError = osmira_base::Error;

class SpecCompiler {
 public:
  SpecCompiler() = delete;

  // The whole plan, with `plan_hash` set. Never fails on a spec that was read. Its log
  // events (clamped Fellegi-Sunter probabilities) go to `events` when given.
  [[nodiscard]] static osmira_base::Result<osmira_common::ir::IdentityPlan> compile(
      const osmira_common::spec::IdentitySpec& spec, log::Events* events = nullptr);

  // One spec rule as a compiled rule. An exact, similarity or range rule over several
  // fields becomes an "and" composite with one child "{rule}_{field}" per field. Nested
  // composites are walked with an explicit stack.
  static osmira_common::ir::CompiledRule compile_rule(const osmira_common::spec::RuleSpec& rule);

  // A duration text ("30d", "24h", "90m", "45s" or a bare number of seconds) in seconds;
  // 0 for anything unreadable. Results beyond the 64-bit range saturate.
  static uint64_t parse_duration(std::string_view text);

  // The blocking transformations suggested by a key's field names (at most one per field,
  // by the first matching name pattern); [lowercase] when no name suggests anything.
  static std::vector<osmira_common::ir::BlockingTransformation> infer_transformations(
      const std::vector<std::string>& fields);
};

}  // namespace osmira_core::engine::compiler
