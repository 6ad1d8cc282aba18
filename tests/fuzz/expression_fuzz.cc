// The scoring expression compiler and evaluator. Every variable of a compiled program is
// bound (from a fixed list of scores that includes zero, NaN and infinities) and the
// program is evaluated twice: the result must not depend on anything but its inputs.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "core/engine/expression.h"
#include "fuzz_support.h"

namespace {

namespace expr = osmira_core::engine::expression;

constexpr double kScores[] = {0.0, 1.0, 0.5, -1.0, 1e308, -0.0,
                              std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity()};

bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = vintrel_fuzz::as_text(data, size);
  (void)expr::tokenize(text);
  const osmira_base::Result<expr::Program> program = expr::compile_expression(text);
  if (!program.ok()) return 0;

  expr::Variables variables;
  size_t next = 0;
  for (const expr::Op& op : *program) {
    if (op.kind == expr::OpKind::kVar && !variables.contains(op.name)) {
      variables.emplace(op.name, kScores[next++ % std::size(kScores)]);
    }
  }
  const osmira_base::Result<double> first = expr::evaluate(*program, variables);
  const osmira_base::Result<double> second = expr::evaluate(*program, variables);
  if (first.ok() != second.ok() || (first.ok() && !same(*first, *second))) {
    vintrel_fuzz::fuzz_fail("evaluation is not repeatable", text);
  }
  // With no variable bound every name reads as 0.0.
  (void)expr::evaluate(*program, expr::Variables{});
  return 0;
}
