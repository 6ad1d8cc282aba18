#include "tooling/commands/compile.h"

#include <initializer_list>
#include <string_view>

#include "tooling/validator.h"

namespace vintrel_core::commands::compile {
namespace {

using osmira_base::Value;

// The node at the end of `path`, read key by key from `root`, copied; null when any step
// finds nothing.
Value copy_at(const Value& root, std::initializer_list<std::string_view> path) {
  const Value* node = &root;
  for (std::string_view key : path) {
    node = node->get(key);
    if (node == nullptr) return Value();
  }
  return *node;
}

// One summary entry per source: its "name", "system" and "table", each null when absent.
Value summarise_sources(const Value& sources) {
  Value::Array out;
  for (const Value& source : sources.as_array()) {
    Value::Object entry;
    for (std::string_view key : {"name", "system", "table"}) {
      entry.emplace(key, copy_at(source, {key}));
    }
    out.emplace_back(std::move(entry));
  }
  return Value(std::move(out));
}

}  // namespace

osmira_base::Result<Value> compile_to_ir(const Value& doc) {
  Value::Object facts;
  facts.emplace("api_version", copy_at(doc, {"api_version"}));
  facts.emplace("identity_version", copy_at(doc, {"identity_version"}));
  facts.emplace("entity", copy_at(doc, {"entity", "name"}));

  const Value* sources = doc.get("sources");
  facts.emplace("sources",
                sources != nullptr && sources->is_array() ? summarise_sources(*sources) : Value());

  const Value* rules = doc.get("rules");
  facts.emplace("rule_count", rules != nullptr && rules->is_array()
                                  ? Value(static_cast<uint64_t>(rules->as_array().size()))
                                  : Value());

  facts.emplace("blocking_strategy", copy_at(doc, {"blocking", "strategy"}));
  facts.emplace("thresholds", copy_at(doc, {"decision", "thresholds"}));

  // The hash covers the seven facts above and never itself.
  Value summary(std::move(facts));
  std::string hash = document_hash(summary);
  summary.as_object().emplace("plan_hash", Value(std::move(hash)));
  // Assigned into a constructed Result rather than converted on return: the conversion
  // trips a false -Wmaybe-uninitialized in GCC 12's std::variant move at -O3.
  osmira_base::Result<Value> out(Value::object());
  out.value() = std::move(summary);
  return out;
}

}  // namespace vintrel_core::commands::compile
