// Blocking: the block keys under which a record is filed, so that only records sharing a
// key are compared. The engine owns its strategies as a list of `BlockingStrategy` objects
// and files every record under every key of every strategy.
#pragma once

#include <string>
#include <vector>

#include "core/engine/types.h"

namespace osmira_core::engine::blocking {

// One way of deriving block keys from a record. Implementations hold no mutable state after
// construction, so one object may serve any number of threads at once.
class BlockingStrategy {
 public:
  virtual ~BlockingStrategy() = default;

  // The record's block keys, in the strategy's order; the same key may appear more than
  // once. Never fails.
  virtual std::vector<std::string> generate_block_key(
      const types::NormalizedEntity& entity) const = 0;
};

}  // namespace osmira_core::engine::blocking
