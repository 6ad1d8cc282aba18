// The JSON readers of reconcile input: entity records and existing clusters. Both run on
// every input (the same text is a plausible value for either).
#include <cstddef>
#include <cstdint>

#include "core/engine/types.h"
#include "fuzz_support.h"
#include "python/bridge/reconcile_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = vintrel_fuzz::as_text(data, size);
  const auto records = osmira_core::engine::types::read_entities_json(text);
  if (!records.ok() && records.error().message().find(" at line ") == std::string::npos) {
    vintrel_fuzz::fuzz_fail("entity JSON error without a position", records.error().message());
  }
  const auto clusters = vintrel_bridge::read_existing_clusters(text);
  if (!clusters.ok() && clusters.error().message().find(" at line ") == std::string::npos) {
    vintrel_fuzz::fuzz_fail("cluster JSON error without a position", clusters.error().message());
  }
  return 0;
}
