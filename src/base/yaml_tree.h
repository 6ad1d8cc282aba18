// Composes a document tree from one YAML document's events: plain scalars typed by
// classify_plain_scalar, every other scalar as text, sequences as arrays, mappings as
// objects keyed by the key scalar's text (a later repeat of a key replaces the earlier).
//
// Aliases are expanded by walking the anchored node's events again. Hostile input is
// bounded: nesting deeper than kMaxNestingDepth fails with "recursion limit exceeded", and
// alias expansion fails with "repetition limit exceeded" once either the number of alias
// expansions or the number of events walked again through aliases exceeds
// kRepetitionFactor times the document's event count, so the tree never grows beyond a
// fixed multiple of the input. The walk uses an explicit stack, never recursion.
//
// Explicit tags: a scalar tagged "!!str" is text; every other tag is ignored (the scalar is
// typed as if untagged), on scalars, sequences and mappings alike.
//
// Floats: the tree normally holds finite numbers only (".inf" and ".nan" become null, as the
// JSON forms of the tree require); validation asks to keep them, so that a range check can
// tell an infinite or NaN value from an absent one.
#pragma once

#include <cstddef>
#include <string>

#include "base/result.h"
#include "base/value.h"
#include "base/yaml_events.h"

namespace osmira_base::yaml {

// Sequences and mappings may nest this deep; one level more fails.
inline constexpr size_t kMaxNestingDepth = 128;
// Alias expansions (and events walked through them) allowed per event of the document.
inline constexpr size_t kRepetitionFactor = 100;

// What a float scalar ".inf", "-.inf" or ".nan" becomes in the tree (see the note above).
enum class NonFinite { kNull, kKeep };

// " at line L column C" (counted from 1), or nothing for the very start of the text.
std::string error_position(const Mark& mark);

// The tree of `doc`. Fails with "EOF while parsing a value" for a stream without a
// document, with the messages above, with "JSON number out of range" (and the scalar's
// position) for an integer beyond 64 bits, with "invalid type: map, expected a string key"
// ("sequence") for a first key that is not a scalar ("expected a string" for a later key),
// and with `doc.error` when the events stop before the document is complete.
Result<Value> compose_tree(const Document& doc, NonFinite non_finite = NonFinite::kNull);

}  // namespace osmira_base::yaml
