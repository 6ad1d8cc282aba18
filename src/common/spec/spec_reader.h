// The spec reader: the text of one identity spec (a YAML document) to an IdentitySpec, or
// exactly one failure with its message, path and position. It keeps no state between calls
// and is safe to call from several threads at once.
#pragma once

#include <string_view>

#include "base/result.h"
#include "common/spec/identity_spec.h"

namespace osmira_common::spec {

// Reads the whole text as one identity spec. The first problem met ends the read.
//
// The Error's message is complete: "<path>: " when the failing node is not the root, the
// body, and " at line L column C" unless the position is line 1 column 1 (the location keeps
// that position even when the message leaves it out, and its path is the one in the message).
// Its kind and offending text say what failed: a missing key, an unknown variant, a value of
// the wrong type, or nothing finer.
using SpecReadResult = osmira_base::Result<IdentitySpec>;
SpecReadResult read_identity_spec(std::string_view text);

}  // namespace osmira_common::spec
