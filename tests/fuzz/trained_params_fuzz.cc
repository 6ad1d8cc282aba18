// The trained-parameter reader. Whatever it accepts must survive write -> read unchanged:
// the written text reads back to an equal plan, and writing that gives the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/ir/fellegi_sunter.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace ir = osmira_common::ir;
  const osmira_base::Result<ir::CompiledFellegiSunterPlan> plan =
      ir::read_trained_params(vintrel_fuzz::as_text(data, size));
  if (!plan.ok()) {
    // A reading error carries its position; a value out of range names its field instead
    // ("fields[i] (`name`): m_probability ... is outside [...]").
    const std::string& message = plan.error().message();
    const bool range = message.starts_with("fields[") && message.find(" is outside [") != std::string::npos;
    if (!range && message.find(" at line ") == std::string::npos) {
      vintrel_fuzz::fuzz_fail("trained-parameter error without a position", plan.error().message());
    }
    return 0;
  }
  const std::string written = ir::write_trained_params(*plan);
  const osmira_base::Result<ir::CompiledFellegiSunterPlan> again = ir::read_trained_params(written);
  if (!again.ok()) {
    vintrel_fuzz::fuzz_fail("written trained parameters do not read back",
                            again.error().message() + "\n" + written);
  }
  if (!(*again == *plan)) vintrel_fuzz::fuzz_fail("trained parameters changed in a round trip", written);
  const std::string rewritten = ir::write_trained_params(*again);
  if (rewritten != written) {
    vintrel_fuzz::fuzz_fail("trained parameters written twice differ", written + "\n" + rewritten);
  }
  return 0;
}
