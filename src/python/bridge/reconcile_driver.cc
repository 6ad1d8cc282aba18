#include "python/bridge/reconcile_driver.h"

#include <boost/container/small_vector.hpp>
#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <cxxabi.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
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
using osmira_core::engine::types::MatchDecision;
using osmira_core::engine::types::NormalizedEntity;
using osmira_core::engine::types::RecordSet;

// The stages whose failures the drivers report, each as "<prefix><reader's message>".
constexpr std::string_view kInvalidSpec = "Invalid spec YAML: ";
constexpr std::string_view kCompilationError = "Compilation error: ";
constexpr std::string_view kInvalidEntities = "Invalid entities JSON: ";
constexpr std::string_view kInvalidTrainedParams = "Invalid trained_fs_params: ";
constexpr std::string_view kInvalidNewEntities = "Invalid new entities JSON: ";
constexpr std::string_view kInvalidExistingEntities = "Invalid existing entities JSON: ";
constexpr std::string_view kInvalidExistingClusters = "Invalid existing clusters JSON: ";

constexpr size_t kClusterIdDigits = 12;

// glibc allocates the thread-local storage of a dynamically loaded library (this module's,
// and the C++ runtime's, which holds the thread's exception state) on a thread's first use,
// and aborts the process when that allocation fails. A thread that first runs this module's
// code, or first throws, in the middle of a call that is exhausting memory would take the
// process down instead of raising an error. So each call first makes sure that the calling
// thread and every worker of the pool have both, while memory is still there.
thread_local void* volatile thread_prepared = nullptr;
std::atomic<int> prepared_workers{0};

// Touches both storages on the running thread; true the first time on this thread.
bool prepare_this_thread() {
  if (thread_prepared != nullptr) return false;
  // The runtime declares this look-up free of side effects; storing the result keeps it.
  thread_prepared = abi::__cxa_get_globals();
  if (thread_prepared == nullptr) thread_prepared = &prepared_workers;
  return true;
}

// The pool starts its worker threads on first use, and a thread that cannot be started
// there ends the process. Before the pool may start threads, check that the address space
// has room for what each new thread takes: its stack (8 MiB, the usual default) and the
// malloc arena glibc reserves for it on its first allocation (64 MiB); fail the call with
// NoRoomForWorkers (MemoryError) if it has not.
void check_room_for_workers(int workers) {
  if (workers <= 0) return;
  const size_t bytes = static_cast<size_t>(workers) * (size_t{72} << 20);
  void* room = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (room == MAP_FAILED) throw NoRoomForWorkers();
  munmap(room, bytes);
}

// The threads that can run a call's work now, the calling thread included: the arena's
// concurrency within the cap a tbb::global_control may set for the whole process (any library
// sharing oneTBB can set one). Workers above the cap never come.
int runnable_threads() {
  const size_t cap =
      tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
  return static_cast<int>(std::clamp<size_t>(
      cap, 1, static_cast<size_t>(std::max(1, tbb::this_task_arena::max_concurrency()))));
}

}  // namespace

bool prepare_worker_threads() {
  prepare_this_thread();
  const int threads = runnable_threads();
  const int prepared = prepared_workers.load(std::memory_order_acquire);
  if (prepared >= threads - 1) return true;
  check_room_for_workers(threads - 1 - prepared);
  // One task per thread, each held until all have arrived (or a short time has passed, when
  // other calls keep some workers busy; a later call catches up on them).
  std::atomic<int> arrived{0};
  std::atomic<bool> all_came{true};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  tbb::parallel_for(
      0, threads,
      [&](int) {
        if (prepare_this_thread()) prepared_workers.fetch_add(1, std::memory_order_acq_rel);
        arrived.fetch_add(1, std::memory_order_acq_rel);
        while (arrived.load(std::memory_order_acquire) < threads) {
          if (std::chrono::steady_clock::now() >= deadline) {
            all_came.store(false, std::memory_order_relaxed);
            break;
          }
          std::this_thread::yield();
        }
      },
      tbb::static_partitioner());
  return all_came.load(std::memory_order_relaxed);
}

namespace {

// The steps both drivers share: the spec read, its compilation and the engine built from
// the plan.
osmira_base::Status compile_into(std::string_view yaml, osmira_common::ir::IdentityPlan* plan,
                                 ReconciliationEngine* engine,
                                 osmira_core::engine::log::Events* events) {
  osmira_common::spec::SpecReadResult spec = osmira_common::spec::read_identity_spec(yaml);
  if (!spec.ok()) return spec.error().with_prefix(kInvalidSpec);
  Result<osmira_common::ir::IdentityPlan> compiled =
      osmira_core::engine::compiler::SpecCompiler::compile(*spec, events);
  if (!compiled.ok()) return compiled.error().with_prefix(kCompilationError);
  *plan = std::move(compiled).value();
  *engine = ReconciliationEngine::from_plan(*plan, events);
  return osmira_base::ok_status();
}

// The records point into `text` where a value needed no unescaping: the driver's input texts
// outlive it.
Result<RecordSet> read_records(std::string_view text, std::string_view prefix) {
  Result<RecordSet> records = osmira_core::engine::types::read_entities_json(
      text, osmira_core::engine::types::TextUse::kBorrow);
  if (!records.ok()) return records.error().with_prefix(prefix);
  return records;
}

// The engine's Fellegi-Sunter parameters as compact JSON text, when it holds any.
std::optional<std::string> trained_params_text(const ReconciliationEngine& engine) {
  if (!engine.settings().fs_plan) return std::nullopt;
  return osmira_common::ir::write_trained_params(*engine.settings().fs_plan);
}

// The golden record of one cluster, with the canonical identifier and the member count in
// place of any data fields of those names. Each member identifier stands for the last record
// carrying it; an identifier without a record contributes nothing.
osmira_core::engine::GoldenRecord golden_record(
    const Cluster& cluster, std::span<const NormalizedEntity> records,
    const osmira_core::engine::RecordIndex& index,
    const osmira_core::engine::SurvivorshipEngine& survivorship,
    std::vector<const NormalizedEntity*>& members) {
  members.clear();
  for (const Uuid& id : cluster) {
    const uint32_t at = index.find(id);
    if (at != osmira_core::engine::RecordIndex::kAbsent) members.push_back(&records[at]);
  }
  osmira_core::engine::GoldenRecord golden =
      survivorship.golden_record_of_members(members, /*spare_fields=*/2);
  golden.insert_or_assign(std::string(kClusterIdField), canonical_cluster_id(members));
  golden.insert_or_assign(std::string(kMemberCountField), std::to_string(cluster.size()));
  return golden;
}

// Fills the result's identifier listings (see ReconcileResult) of its clusters and of
// `decisions` from the record index: the look-ups run on the pool, one pass in listing order
// picks each record's first listing.
void list_identifiers(const osmira_core::engine::RecordIndex& index,
                      std::span<const MatchDecision> decisions, ReconcileResult& result) {
  constexpr uint32_t kUnlisted = ReconcileResult::kUnlisted;
  constexpr uint32_t kAbsent = osmira_core::engine::RecordIndex::kAbsent;
  std::vector<size_t> begin(result.clusters.size() + 1, 0);
  for (size_t k = 0; k < result.clusters.size(); ++k) {
    begin[k + 1] = begin[k] + result.clusters[k].size();
  }
  const size_t listings = begin.back();
  if (listings >= kUnlisted) return;  // the builder then looks every identifier up
  std::vector<uint32_t> listed_record(listings);
  tbb::parallel_for(tbb::blocked_range<size_t>(0, result.clusters.size(), 1024),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t k = range.begin(); k != range.end(); ++k) {
                        const Cluster& cluster = result.clusters[k];
                        for (size_t i = 0; i < cluster.size(); ++i) {
                          listed_record[begin[k] + i] = index.find(cluster[i]);
                        }
                      }
                    });
  std::vector<uint32_t> first_of_record;
  result.first_listing.assign(listings, kUnlisted);
  for (size_t f = 0; f < listings; ++f) {
    const uint32_t record = listed_record[f];
    if (record == kAbsent) continue;
    if (record >= first_of_record.size()) first_of_record.resize(size_t{record} + 1, kUnlisted);
    if (first_of_record[record] == kUnlisted) first_of_record[record] = static_cast<uint32_t>(f);
    result.first_listing[f] = first_of_record[record];
  }
  result.decision_listings.resize(2 * decisions.size());
  const auto listing_of = [&](const Uuid& id) {
    const uint32_t record = index.find(id);
    return record < first_of_record.size() ? first_of_record[record] : kUnlisted;
  };
  tbb::parallel_for(tbb::blocked_range<size_t>(0, decisions.size(), 1024),
                    [&](const tbb::blocked_range<size_t>& range) {
                      for (size_t d = range.begin(); d != range.end(); ++d) {
                        result.decision_listings[2 * d] = listing_of(decisions[d].entity_a_id);
                        result.decision_listings[2 * d + 1] =
                            listing_of(decisions[d].entity_b_id);
                      }
                    });
}

}  // namespace

osmira_base::Status check_record_count(uint64_t count) {
  if (count <= kMaxRecords) return osmira_base::ok_status();
  return osmira_base::Error("Too many records: " + std::to_string(count) +
                            " in one call, at most " + std::to_string(kMaxRecords) +
                            " are supported");
}

osmira_base::Status check_value_sizes(std::span<const NormalizedEntity> records) {
  for (const NormalizedEntity& record : records) {
    for (const auto& [name, value] : record.data) {
      if (value.size() <= kMaxValueBytes) continue;
      return osmira_base::Error("Field value too large: " + std::to_string(value.size()) +
                                " bytes in field `" + std::string(name) + "`, at most " +
                                std::to_string(kMaxValueBytes) + " are supported");
    }
  }
  return osmira_base::ok_status();
}

Value result_tree(const ReconcileResult& result) {
  Value::Array cluster_trees;
  cluster_trees.reserve(result.clusters.size());
  for (const Cluster& cluster : result.clusters) {
    Value::Array ids;
    ids.reserve(cluster.size());
    for (const Uuid& id : cluster) ids.emplace_back(id.to_string());
    cluster_trees.emplace_back(std::move(ids));
  }
  Value::Array golden_trees;
  golden_trees.reserve(result.golden_records.size());
  for (const osmira_core::engine::GoldenRecord& golden : result.golden_records) {
    Value::Object out;
    for (const auto& [field, value] : golden) out.emplace_hint(out.end(), field, Value(value));
    golden_trees.emplace_back(std::move(out));
  }
  Value::Array decision_trees;
  decision_trees.reserve(result.decisions.size());
  for (const auto& decision : result.decisions) {
    decision_trees.push_back(osmira_core::engine::types::to_json(decision));
  }
  Value tree = Value::object();
  tree.set("clusters", Value(std::move(cluster_trees)));
  tree.set("decisions", Value(std::move(decision_trees)));
  tree.set("golden_records", Value(std::move(golden_trees)));
  tree.set("telemetry", osmira_core::engine::observability::to_json(result.telemetry));
  tree.set("trained_fs_params",
           result.trained_fs_params ? Value(*result.trained_fs_params) : Value(nullptr));
  return tree;
}

Result<ReconcileDriver> ReconcileDriver::prepare_local(std::string_view yaml,
                                                       std::string_view entities_json,
                                                       const osmira_base::CancelFlag* cancel,
                                                       osmira_core::engine::log::Events* events) {
  prepare_worker_threads();
  ReconcileDriver driver;
  RETURN_IF_ERROR(compile_into(yaml, &driver.plan_, &driver.engine_, events));
  ASSIGN_OR_RETURN(driver.records_, read_records(entities_json, kInvalidEntities));
  RETURN_IF_ERROR(check_record_count(driver.records_.size()));
  RETURN_IF_ERROR(check_value_sizes(driver.records_));
  driver.train(cancel);
  return driver;
}

Result<ReconcileDriver> ReconcileDriver::prepare_incremental(
    std::string_view yaml, std::string_view new_entities_json,
    std::string_view existing_entities_json, std::string_view existing_clusters_json,
    std::optional<std::string_view> trained_fs_params_json,
    const osmira_base::CancelFlag* cancel,
    osmira_core::engine::log::Events* events) {
  prepare_worker_threads();
  ReconcileDriver driver;
  driver.incremental_ = true;
  RETURN_IF_ERROR(compile_into(yaml, &driver.plan_, &driver.engine_, events));
  if (trained_fs_params_json) {
    Result<osmira_common::ir::CompiledFellegiSunterPlan> params =
        osmira_common::ir::read_trained_params(*trained_fs_params_json);
    if (!params.ok()) return params.error().with_prefix(kInvalidTrainedParams);
    driver.engine_.set_fs_plan(std::move(params).value());
  }
  ASSIGN_OR_RETURN(RecordSet new_records,
                   read_records(new_entities_json, kInvalidNewEntities));
  ASSIGN_OR_RETURN(driver.records_, read_records(existing_entities_json, kInvalidExistingEntities));
  Result<std::vector<Cluster>> clusters = read_existing_clusters(existing_clusters_json);
  if (!clusters.ok()) return clusters.error().with_prefix(kInvalidExistingClusters);
  driver.existing_clusters_ = std::move(clusters).value();
  RETURN_IF_ERROR(check_record_count(static_cast<uint64_t>(driver.records_.size()) +
                                     new_records.size()));
  RETURN_IF_ERROR(check_value_sizes(driver.records_));
  RETURN_IF_ERROR(check_value_sizes(new_records));

  // An identifier counts as existing when the record standing for it (its last) is an
  // existing record. A new record carrying an existing identifier is an update: it stands
  // for the identifier, and its pairs are evaluated as those of any new record.
  driver.existing_ids_.reserve(driver.records_.size());
  for (const NormalizedEntity& record : driver.records_) driver.existing_ids_.insert(record.id);
  for (const NormalizedEntity& record : new_records) driver.existing_ids_.erase(record.id);
  driver.records_.append(std::move(new_records));

  if (!trained_fs_params_json) {
    driver.train(cancel);
  } else {
    driver.trained_fs_params_ = trained_params_text(driver.engine_);
  }
  return driver;
}

void ReconcileDriver::train(const osmira_base::CancelFlag* cancel) {
  try {
    osmira_core::engine::fellegi_sunter::train_fellegi_sunter(engine_, records_, cancel);
  } catch (osmira_base::Cancelled& cancelled) {
    cancelled.leave(std::move(*this));  // the records, for the catcher to destroy
    throw;
  }
  trained_fs_params_ = trained_params_text(engine_);
}

void ReconcileDriver::reconcile(const osmira_base::CancelFlag* cancel) {
  if (output_ || finished_) throw std::logic_error("reconcile driver: reconcile ran twice");
  // The overrides are always empty: neither Python function takes any.
  if (incremental_) {
    output_ = engine_.reconcile_incremental_with_telemetry(records_, existing_ids_, {}, cancel);
  } else {
    output_ = engine_.reconcile_with_telemetry(records_, {}, cancel);
  }
}

ReconcileResult ReconcileDriver::finish(const osmira_base::CancelFlag* cancel) {
  if (!output_ || finished_) throw std::logic_error("reconcile driver: finish before reconcile");
  finished_ = true;
  ReconcileResult result;
  result.telemetry = std::move(output_->telemetry);
  result.trained_fs_params = std::move(trained_fs_params_);
  std::shared_ptr<void> working_state = std::move(output_->working_state);
  std::shared_ptr<const osmira_core::engine::RecordIndex> engine_index =
      std::move(output_->record_index);
  // The decisions stay with the driver until the result is complete, so that the view of
  // decisions() stays valid when this fails.
  const std::span<const MatchDecision> decisions = output_->decisions;

  // The engine's per-record preparation is released on one worker while the others cluster
  // and build the golden records. When cancelled, what this holds is handed over with the
  // exception (Cancelled::leave), as the driver's own state is left to its owner.
  try {
    tbb::parallel_invoke([&] { working_state.reset(); }, [&] {
      // One identifier index for clustering and the golden-record lookup: the engine's, made
      // from the same records.
      if (!engine_index) {
        engine_index = std::make_shared<const osmira_core::engine::RecordIndex>(records_);
      }
      const osmira_core::engine::RecordIndex& index = *engine_index;
      result.clusters =
          incremental_
              ? osmira_core::engine::cluster_decisions_incremental(records_, index, decisions,
                                                                   existing_clusters_)
              : osmira_core::engine::cluster_decisions(engine_.clustering_settings(), records_,
                                                       index, decisions, cancel);
      existing_clusters_ = {};
      existing_ids_ = {};
      // The identifier listings and the golden records read the clusters and fill parts of
      // the result of their own: they are made side by side. Golden records are independent
      // per cluster; each lands at its cluster's position, so the result does not depend on
      // how the clusters are spread over the workers. An exception in a worker (out of memory)
      // cancels the rest and reaches the caller.
      result.golden_records.resize(result.clusters.size());
      const std::span<const NormalizedEntity> records(records_);
      const osmira_core::engine::SurvivorshipEngine survivorship(plan_.survivorship);
      tbb::parallel_invoke([&] { list_identifiers(index, decisions, result); }, [&] {
        tbb::parallel_for(
            tbb::blocked_range<size_t>(0, result.clusters.size(), 512),
            [&](const tbb::blocked_range<size_t>& range) {
              osmira_base::stop_if_cancelled(cancel);
              std::vector<const NormalizedEntity*> members;
              for (size_t k = range.begin(); k != range.end(); ++k) {
                result.golden_records[k] =
                    golden_record(result.clusters[k], records, index, survivorship, members);
              }
            });
      });
    });
  } catch (osmira_base::Cancelled& cancelled) {
    cancelled.leave(std::move(working_state));
    cancelled.leave(std::move(result));
    throw;
  }

  result.decisions = std::move(output_->decisions);
  output_.reset();
  // The working state is no longer needed: give its memory back before the caller builds
  // its own form of the result.
  records_ = {};
  engine_ = {};
  plan_ = {};
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

namespace {

template <typename Member>
std::string canonical_id_of(size_t count, Member member) {
  osmira_base::Sha256 digest;
  if (count == 1) {
    // One text, hashed in its three parts: the digest is that of their concatenation.
    const NormalizedEntity& m = member(0);
    digest.update(std::string_view(m.source_name));
    digest.update(":");
    digest.update(std::string_view(m.external_id));
  } else {
    boost::container::small_vector<std::string, 8> texts;
    texts.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      const NormalizedEntity& m = member(i);
      std::string text;
      text.reserve(m.source_name.size() + 1 + m.external_id.size());
      text += m.source_name;
      text += ':';
      text += m.external_id;
      texts.push_back(std::move(text));
    }
    // std::string compares its characters as unsigned bytes: plain byte order, with a text
    // that is a prefix of another first.
    std::sort(texts.begin(), texts.end());
    for (const std::string& text : texts) digest.update(text);
  }
  std::string id = "vtl_";
  id += std::string_view(digest.hex_digest()).substr(0, kClusterIdDigits);
  return id;
}

}  // namespace

std::string canonical_cluster_id(std::span<const NormalizedEntity> members) {
  return canonical_id_of(members.size(),
                         [members](size_t i) -> const NormalizedEntity& { return members[i]; });
}

std::string canonical_cluster_id(std::span<const NormalizedEntity* const> members) {
  return canonical_id_of(members.size(),
                         [members](size_t i) -> const NormalizedEntity& { return *members[i]; });
}

}  // namespace vintrel_bridge
