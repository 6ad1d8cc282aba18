// The typed spec reader as strict validation uses it: the lenient messages of the tooling
// followed by at most one coded message of the typed reading.
#include <cstddef>
#include <cstdint>

#include "common/spec/spec_reader.h"
#include "fuzz_support.h"
#include "python/bridge/strict_validation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = vintrel_fuzz::as_text(data, size);
  (void)vintrel_bridge::validate_strict(text);
  // The reader keeps no state: a second read gives the same outcome.
  const osmira_common::spec::SpecReadResult first = osmira_common::spec::read_identity_spec(text);
  const osmira_common::spec::SpecReadResult second = osmira_common::spec::read_identity_spec(text);
  if (first.ok() != second.ok()) vintrel_fuzz::fuzz_fail("spec read is not repeatable");
  if (!first.ok() && first.error().message() != second.error().message()) {
    vintrel_fuzz::fuzz_fail("spec read message is not repeatable", first.error().message());
  }
  return 0;
}
