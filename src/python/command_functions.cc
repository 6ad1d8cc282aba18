// Python bodies of the spec commands: the compiled summary, the execution-plan analysis and
// the diff of two specs. Each runs the vintrel_core command on its texts and converts the
// result tree; every failure of the command is a ValueError carrying its message.
#include <string>

#include "base/result.h"
#include "base/value.h"
#include "python/boundary.h"
#include "python/convert.h"
#include "python/functions.h"
#include "tooling/commands/compile.h"
#include "tooling/commands/diff.h"
#include "tooling/commands/plan.h"
#include "tooling/parser.h"

namespace vintrel_native {

PyRef compile_ir_body(const Arguments& args) {
  osmira_base::Result<osmira_base::Value> tree = vintrel_core::parser::parse_yaml(args.text(0));
  if (!tree.ok()) return raise(tree.error());
  osmira_base::Result<osmira_base::Value> summary = vintrel_core::commands::compile::compile_to_ir(*tree);
  if (!summary.ok()) return raise(summary.error());
  return json_value_to_py(*summary);
}

PyRef plan_body(const Arguments& args) {
  osmira_base::Result<vintrel_core::commands::plan::PlanResult> plan =
      vintrel_core::commands::plan::generate_plan(args.text(0));
  if (!plan.ok()) return raise(plan.error());
  return json_value_to_py(vintrel_core::commands::plan::to_value(*plan));
}

// Parameter 0 (`yaml_a`) is the old spec and parameter 1 (`yaml_b`) the new one, however the
// caller passed them.
PyRef diff_body(const Arguments& args) {
  osmira_base::Result<vintrel_core::commands::diff::DiffResult> diff =
      vintrel_core::commands::diff::compute_diff(args.text(0), args.text(1));
  if (!diff.ok()) return raise(diff.error());
  return json_value_to_py(vintrel_core::commands::diff::to_value(*diff));
}

}  // namespace vintrel_native
