// The compiled summary: a handful of top-level facts of a spec, copied from its document tree,
// with a content hash over exactly those facts. A light-weight "compile" for the tooling; it
// never builds the typed spec and has nothing to do with the engine's plan or its hash.
#pragma once

#include "base/result.h"
#include "base/value.h"

namespace vintrel_core::commands::compile {

// The summary object of `doc`, with the keys "api_version", "blocking_strategy", "entity",
// "identity_version", "plan_hash", "rule_count", "sources" and "thresholds". Values are copied
// whole, never converted; a missing key, or one read through a non-object, gives null.
// "plan_hash" is the document hash of the other seven keys. Succeeds for every tree; the
// Result is kept for callers that chain it after parsing.
osmira_base::Result<osmira_base::Value> compile_to_ir(const osmira_base::Value& doc);

}  // namespace vintrel_core::commands::compile
