#include "python/bridge/reconcile_driver.h"

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "base/json_reader.h"
#include "base/sha256.h"
#include "common/ir/fellegi_sunter.h"
#include "common/spec/spec_reader.h"
#include "core/engine/compiler.h"
#include "core/engine/fellegi_sunter.h"
#include "core/engine/observability.h"
#include "core/engine/survivorship.h"

namespace vintrel_bridge {
namespace {

using osmira_base::Result;
using osmira_base::Uuid;
using osmira_base::Value;
using osmira_core::engine::Cluster;
using osmira_core::engine::ReconciliationEngine;
using osmira_core::engine::types::NormalizedEntity;

// The stages whose failures the drivers report, each as "<prefix><reader's message>".
constexpr std::string_view kInvalidSpec = "Invalid spec YAML: ";
constexpr std::string_view kCompilationError = "Compilation error: ";
constexpr std::string_view kInvalidEntities = "Invalid entities JSON: ";
constexpr std::string_view kInvalidTrainedParams = "Invalid trained_fs_params: ";
constexpr std::string_view kInvalidNewEntities = "Invalid new entities JSON: ";
constexpr std::string_view kInvalidExistingEntities = "Invalid existing entities JSON: ";
constexpr std::string_view kInvalidExistingClusters = "Invalid existing clusters JSON: ";

constexpr size_t kClusterIdDigits = 12;

// The steps both drivers share: the spec read, its compilation and the engine built from
// the plan.
osmira_base::Status compile_into(std::string_view yaml, osmira_common::ir::IdentityPlan* plan,
                                 ReconciliationEngine* engine) {
  osmira_common::spec::SpecReadResult spec = osmira_common::spec::read_identity_spec(yaml);
  if (!spec.ok()) return spec.error().with_prefix(kInvalidSpec);
  Result<osmira_common::ir::IdentityPlan> compiled =
      osmira_core::engine::compiler::SpecCompiler::compile(*spec);
  if (!compiled.ok()) return compiled.error().with_prefix(kCompilationError);
  *plan = std::move(compiled).value();
  *engine = ReconciliationEngine::from_plan(*plan);
  return osmira_base::ok_status();
}

Result<std::vector<NormalizedEntity>> read_records(std::string_view text,
                                                   std::string_view prefix) {
  Result<std::vector<NormalizedEntity>> records =
      osmira_core::engine::types::read_entities_json(text);
  if (!records.ok()) return records.error().with_prefix(prefix);
  return records;
}

// The engine's Fellegi-Sunter parameters as compact JSON text, when it holds any.
std::optional<std::string> trained_params_text(const ReconciliationEngine& engine) {
  if (!engine.settings().fs_plan) return std::nullopt;
  return osmira_common::ir::write_trained_params(*engine.settings().fs_plan);
}

// Identifier -> position of the first record of the working list that carries it.
using FirstRecordIndex = boost::unordered_flat_map<Uuid, size_t, boost::hash<Uuid>>;

// The golden record of one cluster, with the canonical identifier and the member count in
// place of any data fields of those names. The member records are the first record of each
// identifier, in the cluster's order; an identifier without a record contributes nothing.
Value golden_record_tree(const Cluster& cluster, std::span<const NormalizedEntity> records,
                         const FirstRecordIndex& first,
                         const osmira_common::ir::SurvivorshipPolicy& policy) {
  // Survivorship takes one contiguous list, so the members of a larger cluster are copied
  // together; a cluster of one record (most clusters) is read in place.
  std::vector<NormalizedEntity> copies;
  std::span<const NormalizedEntity> members;
  if (cluster.size() == 1) {
    auto it = first.find(cluster.front());
    if (it != first.end()) members = records.subspan(it->second, 1);
  } else {
    copies.reserve(cluster.size());
    for (const Uuid& id : cluster) {
      auto it = first.find(id);
      if (it != first.end()) copies.push_back(records[it->second]);
    }
    members = copies;
  }
  osmira_core::engine::GoldenRecord golden =
      osmira_core::engine::SurvivorshipEngine::construct_golden_record(members, policy);
  golden.insert_or_assign("vintrel_id", canonical_cluster_id(members));
  golden.insert_or_assign("member_count", std::to_string(cluster.size()));
  Value::Object out;
  for (auto& [field, value] : golden) out.emplace_hint(out.end(), field, Value(std::move(value)));
  return Value(std::move(out));
}

}  // namespace

Result<ReconcileDriver> ReconcileDriver::prepare_local(std::string_view yaml,
                                                       std::string_view entities_json) {
  ReconcileDriver driver;
  RETURN_IF_ERROR(compile_into(yaml, &driver.plan_, &driver.engine_));
  ASSIGN_OR_RETURN(driver.records_, read_records(entities_json, kInvalidEntities));
  osmira_core::engine::fellegi_sunter::train_fellegi_sunter(driver.engine_, driver.records_);
  driver.trained_fs_params_ = trained_params_text(driver.engine_);
  return driver;
}

Result<ReconcileDriver> ReconcileDriver::prepare_incremental(
    std::string_view yaml, std::string_view new_entities_json,
    std::string_view existing_entities_json, std::string_view existing_clusters_json,
    std::optional<std::string_view> trained_fs_params_json) {
  ReconcileDriver driver;
  driver.incremental_ = true;
  RETURN_IF_ERROR(compile_into(yaml, &driver.plan_, &driver.engine_));
  if (trained_fs_params_json) {
    Result<osmira_common::ir::CompiledFellegiSunterPlan> params =
        osmira_common::ir::read_trained_params(*trained_fs_params_json);
    if (!params.ok()) return params.error().with_prefix(kInvalidTrainedParams);
    driver.engine_.set_fs_plan(std::move(params).value());
  }
  ASSIGN_OR_RETURN(std::vector<NormalizedEntity> new_records,
                   read_records(new_entities_json, kInvalidNewEntities));
  ASSIGN_OR_RETURN(driver.records_, read_records(existing_entities_json, kInvalidExistingEntities));
  Result<std::vector<Cluster>> clusters = read_existing_clusters(existing_clusters_json);
  if (!clusters.ok()) return clusters.error().with_prefix(kInvalidExistingClusters);
  driver.existing_clusters_ = std::move(clusters).value();

  driver.existing_ids_.reserve(driver.records_.size());
  for (const NormalizedEntity& record : driver.records_) driver.existing_ids_.insert(record.id);
  driver.records_.reserve(driver.records_.size() + new_records.size());
  std::move(new_records.begin(), new_records.end(), std::back_inserter(driver.records_));

  if (!trained_fs_params_json) {
    osmira_core::engine::fellegi_sunter::train_fellegi_sunter(driver.engine_, driver.records_);
  }
  driver.trained_fs_params_ = trained_params_text(driver.engine_);
  return driver;
}

void ReconcileDriver::reconcile() {
  if (output_) throw std::logic_error("reconcile driver: reconcile ran twice");
  // The overrides are always empty: neither Python function takes any.
  if (incremental_) {
    output_ = engine_.reconcile_incremental_with_telemetry(records_, existing_ids_, {});
  } else {
    output_ = engine_.reconcile_with_telemetry(records_, {});
  }
}

Value ReconcileDriver::finish() {
  if (!output_) throw std::logic_error("reconcile driver: finish before reconcile");
  const std::vector<osmira_core::engine::types::MatchDecision>& decisions = output_->decisions;
  const std::vector<Cluster> clusters =
      incremental_ ? engine_.cluster_decisions_incremental(records_, decisions, existing_clusters_)
                   : engine_.cluster_decisions(records_, decisions);

  // Each identifier stands for the first record of the working list that carries it.
  FirstRecordIndex first;
  first.reserve(records_.size());
  for (size_t i = 0; i < records_.size(); ++i) first.try_emplace(records_[i].id, i);

  Value::Array cluster_trees;
  Value::Array golden_trees;
  cluster_trees.reserve(clusters.size());
  golden_trees.reserve(clusters.size());
  for (const Cluster& cluster : clusters) {
    Value::Array ids;
    ids.reserve(cluster.size());
    for (const Uuid& id : cluster) ids.emplace_back(id.to_string());
    cluster_trees.emplace_back(std::move(ids));
    golden_trees.push_back(golden_record_tree(cluster, records_, first, plan_.survivorship));
  }

  Value::Array decision_trees;
  decision_trees.reserve(decisions.size());
  for (const auto& decision : decisions) {
    decision_trees.push_back(osmira_core::engine::types::to_json(decision));
  }

  Value result = Value::object();
  result.set("clusters", Value(std::move(cluster_trees)));
  result.set("decisions", Value(std::move(decision_trees)));
  result.set("golden_records", Value(std::move(golden_trees)));
  result.set("telemetry", osmira_core::engine::observability::to_json(output_->telemetry));
  result.set("trained_fs_params",
             trained_fs_params_ ? Value(*trained_fs_params_) : Value(nullptr));
  return result;
}

Result<std::vector<Cluster>> read_existing_clusters(std::string_view text) {
  using osmira_base::json::Kind;
  osmira_base::json::Reader reader(text);
  ASSIGN_OR_RETURN(const Kind outer, reader.peek());
  if (outer != Kind::kArray) return reader.invalid_type("a sequence");
  RETURN_IF_ERROR(reader.begin_array());
  std::vector<Cluster> clusters;
  while (true) {
    ASSIGN_OR_RETURN(const bool more_clusters, reader.has_next());
    if (!more_clusters) break;
    ASSIGN_OR_RETURN(const Kind inner, reader.peek());
    if (inner != Kind::kArray) return reader.invalid_type("a sequence");
    RETURN_IF_ERROR(reader.begin_array());
    Cluster cluster;
    while (true) {
      ASSIGN_OR_RETURN(const bool more_ids, reader.has_next());
      if (!more_ids) break;
      ASSIGN_OR_RETURN(const std::string_view text_id, reader.read_string());
      Result<Uuid> id = Uuid::parse(text_id);
      if (id.ok()) cluster.push_back(*id);
    }
    RETURN_IF_ERROR(reader.end_array());
    clusters.push_back(std::move(cluster));
  }
  RETURN_IF_ERROR(reader.end_array());
  RETURN_IF_ERROR(reader.end());
  return clusters;
}

std::string canonical_cluster_id(std::span<const NormalizedEntity> members) {
  std::vector<std::string> texts;
  texts.reserve(members.size());
  for (const NormalizedEntity& member : members) {
    std::string text = member.source_name;
    text += ':';
    text += member.external_id;
    texts.push_back(std::move(text));
  }
  // std::string compares its characters as unsigned bytes: plain byte order, with a text
  // that is a prefix of another first.
  std::sort(texts.begin(), texts.end());
  osmira_base::Sha256 digest;
  for (const std::string& text : texts) digest.update(text);
  std::string id = "vtl_";
  id += digest.hex_digest().substr(0, kClusterIdDigits);
  return id;
}

}  // namespace vintrel_bridge
