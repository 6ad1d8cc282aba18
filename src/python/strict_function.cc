// Python body of `validate_strict`: the plain C++ work is vintrel_bridge::validate_strict; this
// only converts its result. Text that is not YAML raises ValueError with the parser's message;
// a spec that cannot be read as the typed spec is never raised, it is the list's last message.
#include <string>
#include <vector>

#include "base/result.h"
#include "python/boundary.h"
#include "python/bridge/strict_validation.h"
#include "python/convert.h"
#include "python/functions.h"

namespace vintrel_native {

PyRef validate_strict_body(const Arguments& args) {
  osmira_base::Result<std::vector<std::string>> messages = vintrel_bridge::validate_strict(args.text(0));
  if (!messages.ok()) return raise(messages.error());
  return string_list_to_py(*messages);
}

}  // namespace vintrel_native
