#include "python/bridge/reconcile_driver.h"

#include <gtest/gtest.h>
#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/json_writer.h"
#include "base/sha256.h"
#include "base/uuid.h"
#include "base/value.h"
#include "common/ir/fellegi_sunter.h"
#include "core/engine/types.h"

namespace vintrel_bridge {
namespace {

using osmira_base::Uuid;
using osmira_base::Value;
using osmira_core::engine::types::NormalizedEntity;

// Weighted sum over one exact e-mail rule, records blocked by e-mail: records with the same
// e-mail merge, all others stay apart.
constexpr const char* kEmailSpec = R"(api_version: vintrel/v1
identity_version: "1"
entity: {name: person}
sources:
  - name: crm
  - name: web
blocking:
  strategy: single
  keys: [[email]]
rules:
  - {name: email_exact, type: exact, field: email, weight: 1.0}
decision:
  thresholds: {match: 0.9, review: 0.5}
survivorship:
  default: most_recent
  overrides:
    - {field: name, strategy: most_complete}
)";

// Fellegi-Sunter scoring with EM training switched on.
constexpr const char* kFsSpec = R"(api_version: vintrel/v1
identity_version: "1"
entity: {name: person}
sources:
  - name: crm
blocking:
  strategy: single
  keys: [[email]]
rules: []
decision:
  thresholds: {match: 0.9}
  scoring:
    strategy: fellegi_sunter
    fields:
      - {name: email, comparator: exact, m_probability: 0.9, u_probability: 0.1}
      - {name: name, comparator: jaro_winkler, m_probability: 0.8, u_probability: 0.2}
    thresholds: {match: 2, possible: 0, non_match: -2}
    training: {method: em, max_iterations: 5}
)";

std::string uuid_text(uint32_t n) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "00000000-0000-4000-8000-%012x", n);
  return buf;
}

struct Rec {
  uint32_t n;
  std::string source;
  std::string external_id;
  std::vector<std::pair<std::string, std::string>> data;
  std::string last_updated = "2024-01-01T00:00:00Z";
};

std::string entities_json(const std::vector<Rec>& recs) {
  std::string out = "[";
  for (const Rec& r : recs) {
    if (out.size() > 1) out += ',';
    Value::Object data;
    for (const auto& [k, v] : r.data) data.emplace(k, Value(v));
    Value::Object o;
    o.emplace("id", Value(uuid_text(r.n)));
    o.emplace("tenant_id", Value(uuid_text(999)));
    o.emplace("external_id", Value(r.external_id));
    o.emplace("entity_type", Value("person"));
    o.emplace("data", Value(std::move(data)));
    o.emplace("source_name", Value(r.source));
    o.emplace("last_updated", Value(r.last_updated));
    osmira_base::append_compact_json(out, Value(std::move(o)));
  }
  out += "]";
  return out;
}

NormalizedEntity member(std::string source, std::string external_id) {
  NormalizedEntity e;
  e.source_name = std::move(source);
  e.external_id = std::move(external_id);
  return e;
}

std::string vtl(std::string_view hashed) {
  return "vtl_" + osmira_base::sha256_hex(hashed).substr(0, 12);
}

Value run_local(std::string_view yaml, std::string_view entities) {
  auto driver = ReconcileDriver::prepare_local(yaml, entities);
  if (!driver.ok()) {
    ADD_FAILURE() << driver.error().message();
    return Value();
  }
  driver->reconcile();
  return result_tree(driver->finish());
}

Value run_incremental(std::string_view yaml, std::string_view new_entities,
                      std::string_view existing_entities, std::string_view clusters,
                      std::optional<std::string_view> trained) {
  auto driver =
      ReconcileDriver::prepare_incremental(yaml, new_entities, existing_entities, clusters, trained);
  if (!driver.ok()) {
    ADD_FAILURE() << driver.error().message();
    return Value();
  }
  driver->reconcile();
  return result_tree(driver->finish());
}

std::vector<std::vector<std::string>> cluster_texts(const Value& result) {
  std::vector<std::vector<std::string>> out;
  for (const Value& cluster : result.get("clusters")->as_array()) {
    std::vector<std::string> ids;
    for (const Value& id : cluster.as_array()) ids.push_back(id.as_string());
    out.push_back(std::move(ids));
  }
  return out;
}

TEST(CanonicalClusterId, HashesSortedSourceAndExternalIds) {
  struct Row {
    std::vector<std::pair<std::string, std::string>> members;
    std::string hashed;  // the bytes that must be fed to SHA-256
  };
  const std::vector<Row> rows = {
      {{{"crm", "42"}}, "crm:42"},
      {{{"b", "1"}, {"a", "2"}}, "a:2b:1"},
      {{{"a", "2"}, {"b", "1"}}, "a:2b:1"},
      // A text that is a prefix of another sorts first; duplicates stay.
      {{{"crm", "11"}, {"crm", "1"}, {"crm", "1"}}, "crm:1crm:1crm:11"},
      // Byte order, not character order: 'Z' < 'a' < bytes above 0x7f.
      {{{"\xC3\xA9", "x"}, {"a", "x"}, {"Z", "x"}}, "Z:xa:x\xC3\xA9:x"},
      // Nothing is escaped or trimmed.
      {{{" crm", "a:b "}}, " crm:a:b "},
      {{}, ""},
  };
  for (const Row& row : rows) {
    std::vector<NormalizedEntity> members;
    for (const auto& [source, external] : row.members) members.push_back(member(source, external));
    const std::string id = canonical_cluster_id(members);
    EXPECT_EQ(id, vtl(row.hashed)) << row.hashed;
    EXPECT_EQ(id.size(), 16u);
  }
  EXPECT_EQ(canonical_cluster_id(std::vector{member("crm", "42")}),
            "vtl_" + osmira_base::sha256_hex("crm:42").substr(0, 12));
}

TEST(ReadExistingClusters, AcceptedAndRejectedTexts) {
  const std::string a = uuid_text(1), b = uuid_text(2);
  struct Accepted {
    std::string text;
    std::vector<std::vector<std::string>> clusters;
  };
  const std::vector<Accepted> accepted = {
      {"[]", {}},
      {" [ [ ] ] \n", {{}}},
      {"[[\"" + a + "\",\"" + b + "\"]]", {{a, b}}},
      // Identifiers that are not UUIDs are dropped; the cluster keeps its place.
      {"[[\"nope\",\"" + a + "\"],[\"x\",\"\"],[\"" + b + "\"]]", {{a}, {}, {b}}},
      // Other UUID text forms are read and written back in the canonical form.
      {"[[\"00000000000040008000000000000001\",\"{" + b + "}\"]]", {{a, b}}},
      {"[[\"00000000-0000-4000-8000-00000000000A\"]]", {{uuid_text(10)}}},
  };
  for (const Accepted& row : accepted) {
    auto clusters = read_existing_clusters(row.text);
    ASSERT_TRUE(clusters.ok()) << row.text << ": " << clusters.error().message();
    std::vector<std::vector<std::string>> texts;
    for (const auto& cluster : *clusters) {
      texts.emplace_back();
      for (const Uuid& id : cluster) texts.back().push_back(id.to_string());
    }
    EXPECT_EQ(texts, row.clusters) << row.text;
  }

  const std::vector<std::pair<std::string, std::string>> rejected = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{}", "invalid type: map, expected a sequence at line 1 column 0"},
      {"[[1]]", "invalid type: integer `1`, expected a string at line 1 column 3"},
      {"[\"a\"]", "invalid type: string \"a\", expected a sequence at line 1 column 4"},
      {"[[]] x", "trailing characters at line 1 column 6"},
      {"[[\"a\"]", "EOF while parsing a list at line 1 column 6"},
      {"[[null]]", "invalid type: null, expected a string at line 1 column 6"},
  };
  for (const auto& [text, message] : rejected) {
    auto clusters = read_existing_clusters(text);
    ASSERT_FALSE(clusters.ok()) << text;
    EXPECT_EQ(clusters.error().message(), message) << text;
  }
}

TEST(ReconcileDriver, LocalResultShape) {
  const std::string entities = entities_json({
      {3, "crm", "c-1", {{"email", "ann@example.com"}, {"name", "Ann"}}},
      {1, "web", "w-9", {{"email", "ann@example.com"}, {"name", "Ann Lee"}}},
      {2, "web", "w-2", {{"email", "bob@example.com"}, {"name", "Bob"}}},
  });
  const Value result = run_local(kEmailSpec, entities);
  ASSERT_TRUE(result.is_object());
  std::vector<std::string> keys;
  for (const auto& [key, value] : result.as_object()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"clusters", "decisions", "golden_records", "telemetry",
                                            "trained_fs_params"}));

  EXPECT_EQ(cluster_texts(result),
            (std::vector<std::vector<std::string>>{{uuid_text(1), uuid_text(3)}, {uuid_text(2)}}));

  const Value::Array& decisions = result.get("decisions")->as_array();
  ASSERT_EQ(decisions.size(), 1u);
  EXPECT_EQ(decisions[0].get("decision")->as_string(), "merge");

  const Value::Array& golden = result.get("golden_records")->as_array();
  ASSERT_EQ(golden.size(), 2u);
  EXPECT_EQ(*golden[0].get("vintrel_id"), Value(vtl("crm:c-1web:w-9")));
  EXPECT_EQ(*golden[0].get("member_count"), Value("2"));
  EXPECT_EQ(*golden[0].get("name"), Value("Ann Lee"));  // most complete
  EXPECT_EQ(*golden[0].get("email"), Value("ann@example.com"));
  EXPECT_EQ(*golden[1].get("vintrel_id"), Value(vtl("web:w-2")));
  EXPECT_EQ(*golden[1].get("member_count"), Value("1"));
  for (const Value& record : golden) {
    for (const auto& [field, value] : record.as_object()) EXPECT_TRUE(value.is_string()) << field;
  }

  const Value& telemetry = *result.get("telemetry");
  EXPECT_EQ(*telemetry.get("blocking_groups"), Value(2));
  EXPECT_EQ(*telemetry.get("pairs_evaluated"), Value(1));
  EXPECT_EQ(*telemetry.get("scoring_method"), Value("weighted_sum"));
  EXPECT_TRUE(result.get("trained_fs_params")->is_null());
}

TEST(ReconcileDriver, IncrementalReadsInputsInOrder) {
  const std::string good = entities_json({{1, "crm", "1", {{"email", "a@x"}}}});
  const std::string params = osmira_common::ir::write_trained_params({});
  struct Row {
    std::string yaml, new_entities, existing, clusters;
    std::optional<std::string> trained;
    std::string message;
  };
  const std::vector<Row> rows = {
      {"{", "x", "x", "x", "x", "Invalid spec YAML: "},
      {kEmailSpec, "x", "x", "x", "", "Invalid trained_fs_params: EOF while parsing a value at line 1 column 0"},
      {kEmailSpec, "x", "x", "x", "[", "Invalid trained_fs_params: "},
      {kEmailSpec, "x", "x", "x", params, "Invalid new entities JSON: "},
      {kEmailSpec, "x", "x", "x", std::nullopt, "Invalid new entities JSON: "},
      {kEmailSpec, good, "x", "x", std::nullopt, "Invalid existing entities JSON: "},
      {kEmailSpec, good, "[]", "x", std::nullopt, "Invalid existing clusters JSON: expected value at line 1 column 1"},
      {kEmailSpec, good, "[]", "[[\"a\", 5]]", std::nullopt,
       "Invalid existing clusters JSON: invalid type: integer `5`, expected a string at line 1 column 8"},
  };
  for (const Row& row : rows) {
    std::optional<std::string_view> trained;
    if (row.trained) trained = *row.trained;
    auto driver =
        ReconcileDriver::prepare_incremental(row.yaml, row.new_entities, row.existing, row.clusters, trained);
    ASSERT_FALSE(driver.ok()) << row.message;
    EXPECT_EQ(driver.error().message().substr(0, row.message.size()), row.message);
  }
}

TEST(ReconcileDriver, IncrementalNeverSplitsExistingClusters) {
  // Existing records 1 and 2 share nothing, yet they were clustered together before; new
  // record 3 matches record 1 by e-mail and joins that cluster. Records 4 and 5 existed and
  // match each other, but pairs of two existing records are not evaluated.
  const std::string existing = entities_json({
      {1, "crm", "c1", {{"email", "ann@x.org"}}},
      {2, "crm", "c2", {{"email", "other@x.org"}}},
      {4, "crm", "c4", {{"email", "same@x.org"}}},
      {5, "web", "w5", {{"email", "same@x.org"}}},
  });
  const std::string fresh = entities_json({{3, "web", "w3", {{"email", "ann@x.org"}}}});
  const std::string clusters =
      "[[\"" + uuid_text(2) + "\",\"" + uuid_text(1) + "\",\"not-a-uuid\"],[\"" + uuid_text(77) + "\"]]";
  const Value result = run_incremental(kEmailSpec, fresh, existing, clusters, std::nullopt);
  EXPECT_EQ(cluster_texts(result),
            (std::vector<std::vector<std::string>>{
                {uuid_text(1), uuid_text(2), uuid_text(3)}, {uuid_text(4)}, {uuid_text(5)}}));
  const Value::Array& decisions = result.get("decisions")->as_array();
  ASSERT_EQ(decisions.size(), 1u);
  EXPECT_EQ(*decisions[0].get("entity_a_id"), Value(uuid_text(1)));
  EXPECT_EQ(*decisions[0].get("entity_b_id"), Value(uuid_text(3)));
  EXPECT_EQ(*result.get("telemetry")->get("pairs_evaluated"), Value(1));
  const Value::Array& golden = result.get("golden_records")->as_array();
  ASSERT_EQ(golden.size(), 3u);
  EXPECT_EQ(*golden[0].get("vintrel_id"), Value(vtl("crm:c1crm:c2web:w3")));
  EXPECT_EQ(*golden[0].get("member_count"), Value("3"));
}

// The same identifier in the existing and the new records (an updated record): the new one
// comes last in the working list and stands for the identifier in the clusters, the golden
// record and its canonical identifier; the identifier is listed once.
TEST(ReconcileDriver, LastRecordOfAnIdentifierStandsForIt) {
  struct Row {
    const char* name;
    std::string existing, fresh, clusters;
    std::vector<std::vector<std::string>> expected_clusters;
    std::vector<std::pair<std::string, std::string>> golden;  // vintrel_id source text, tag
  };
  const std::string e1 = entities_json({{1, "crm", "old", {{"email", "a@x"}, {"tag", "old"}}}});
  const std::string n1 = entities_json({{1, "web", "new", {{"email", "b@x"}, {"tag", "new"}}}});
  const std::string e12 = entities_json({{1, "crm", "old", {{"email", "a@x"}, {"tag", "old"}}},
                                         {2, "crm", "two", {{"email", "b@x"}}}});
  const std::vector<Row> rows = {
      {"updated record", e1, n1, "[]", {{uuid_text(1)}}, {{"web:new", "new"}}},
      // The updated e-mail now matches a new record 3: the identifier is listed once, in
      // that cluster, and the golden record carries the updated data.
      {"updated record matches a new one", e1,
       entities_json({{1, "web", "new", {{"email", "b@x"}, {"tag", "new"}}},
                      {3, "web", "three", {{"email", "b@x"}}}}),
       "[]", {{uuid_text(1), uuid_text(3)}}, {{"web:newweb:three", "new"}}},
      // An existing cluster still holds the identifier: it keeps it, with the new data.
      {"updated record inside an existing cluster", e12, n1,
       "[[\"" + uuid_text(1) + "\",\"" + uuid_text(2) + "\"]]", {{uuid_text(1), uuid_text(2)}},
       {{"crm:twoweb:new", "new"}}},
      // Two copies inside the new records: the later one wins.
      {"repeated inside one input", "[]",
       entities_json({{1, "crm", "first", {{"email", "q@x"}, {"tag", "first"}}},
                      {1, "crm", "second", {{"email", "r@x"}, {"tag", "second"}}}}),
       "[]", {{uuid_text(1)}}, {{"crm:second", "second"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Value result = run_incremental(kEmailSpec, row.fresh, row.existing, row.clusters,
                                         std::nullopt);
    EXPECT_EQ(cluster_texts(result), row.expected_clusters);
    const Value::Array& golden = result.get("golden_records")->as_array();
    ASSERT_EQ(golden.size(), row.golden.size());
    for (size_t k = 0; k < golden.size(); ++k) {
      EXPECT_EQ(*golden[k].get("vintrel_id"), Value(vtl(row.golden[k].first)));
      EXPECT_EQ(*golden[k].get("tag"), Value(row.golden[k].second));
    }
  }
  // The batch driver follows the same rule.
  const Value local = run_local(kEmailSpec, entities_json({
      {1, "crm", "first", {{"email", "q@x"}, {"tag", "first"}}},
      {2, "crm", "other", {{"email", "r@x"}, {"tag", "other"}}},
      {1, "crm", "second", {{"email", "r@x"}, {"tag", "second"}}}}));
  EXPECT_EQ(cluster_texts(local),
            (std::vector<std::vector<std::string>>{{uuid_text(1), uuid_text(2)}}));
  EXPECT_EQ(*local.get("golden_records")->as_array()[0].get("vintrel_id"),
            Value(vtl("crm:othercrm:second")));
}

TEST(ReconcileDriver, RecordCountLimit) {
  struct Row {
    uint64_t count;
    bool accepted;
  };
  const std::vector<Row> rows = {
      {0, true}, {1, true}, {UINT32_MAX - 1ull, true}, {UINT32_MAX, true},
      {UINT32_MAX + 1ull, false}, {UINT64_MAX, false}};
  for (const Row& row : rows) {
    const osmira_base::Status status = check_record_count(row.count);
    EXPECT_EQ(status.ok(), row.accepted) << row.count;
    if (!status.ok()) {
      EXPECT_EQ(status.error().message(),
                "Too many records: " + std::to_string(row.count) +
                    " in one call, at most 4294967295 are supported");
    }
  }
}

// A value too long for the engine's prepared texts is refused up front, naming its field;
// the check reads lengths only, so a long view stands in for a long text.
TEST(ReconcileDriver, FieldValueSizeLimit) {
  const std::string text(1024, 'x');
  struct Row {
    uint64_t size;
    bool accepted;
  };
  const std::vector<Row> rows = {{0, true}, {1024, true}, {kMaxValueBytes, true},
                                 {kMaxValueBytes + 1, false}, {uint64_t{1} << 32, false}};
  for (const Row& row : rows) {
    // Only the length is read: a view over `text` with the row's length, held in place (a
    // copy of the record would copy the text).
    const std::string_view name = "note";
    const osmira_core::engine::types::EntityData::Entry entry{
        &name, std::string_view(text.data(), static_cast<size_t>(row.size))};
    std::vector<osmira_core::engine::types::NormalizedEntity> records(1);
    records[0].data = osmira_core::engine::types::EntityData::borrow(&entry, 1);
    const osmira_base::Status status = check_value_sizes(records);
    EXPECT_EQ(status.ok(), row.accepted) << row.size;
    if (!status.ok()) {
      EXPECT_EQ(status.error().message(),
                "Field value too large: " + std::to_string(row.size) +
                    " bytes in field `note`, at most 1073741824 are supported");
    }
  }
}

TEST(ReconcileDriver, TrainedParametersText) {
  const std::string entities = entities_json({
      {1, "crm", "1", {{"email", "a@x"}, {"name", "Ann"}}},
      {2, "crm", "2", {{"email", "a@x"}, {"name", "Anne"}}},
      {3, "crm", "3", {{"email", "b@x"}, {"name", "Bob"}}},
  });
  // Weighted sum: no parameters, in both drivers, unless parameters are given.
  EXPECT_TRUE(run_local(kEmailSpec, entities).get("trained_fs_params")->is_null());
  EXPECT_TRUE(run_incremental(kEmailSpec, entities, "[]", "[]", std::nullopt)
                  .get("trained_fs_params")->is_null());

  // Fellegi-Sunter: the engine's parameters are written and read back.
  const Value local = run_local(kFsSpec, entities);
  ASSERT_TRUE(local.get("trained_fs_params")->is_string());
  const std::string& text = local.get("trained_fs_params")->as_string();
  auto read_back = osmira_common::ir::read_trained_params(text);
  ASSERT_TRUE(read_back.ok()) << read_back.error().message();
  EXPECT_EQ(read_back->fields.size(), 2u);
  EXPECT_EQ(osmira_common::ir::write_trained_params(*read_back), text);

  // Given parameters replace the engine's, also for a spec without any, and no training
  // runs: the output is the given set written anew.
  osmira_common::ir::CompiledFellegiSunterPlan given = *read_back;
  given.fields[0].m_probability = 0.75;
  given.em_training = osmira_common::ir::CompiledEmTraining{50, 0.0001, std::nullopt, 10, 0.5};
  const std::string given_text = " " + osmira_common::ir::write_trained_params(given) + "\n";
  for (const char* yaml : {kFsSpec, kEmailSpec}) {
    const Value incremental = run_incremental(yaml, entities, "[]", "[]", given_text);
    EXPECT_EQ(*incremental.get("trained_fs_params"),
              Value(osmira_common::ir::write_trained_params(given)));
  }
}

// Golden records and canonical identifiers are built per cluster on the worker pool; the
// result must not depend on the number of workers. Many clusters of several members, with
// a spec whose survivorship mixes strategies, in arenas of 1, 2 and 8 threads.
TEST(ReconcileDriver, SameResultForAnyNumberOfWorkers) {
  auto text = [](const char* head, uint32_t number, const char* tail) {
    std::string out(head);
    out.append(std::to_string(number));
    out.append(tail);
    return out;
  };
  std::vector<Rec> recs;
  for (uint32_t n = 1; n <= 3000; ++n) {
    recs.push_back({n, n % 3 == 0 ? "web" : "crm", text("e", n * 7919 % 3001, ""),
                    {{"email", text("p", n % 700, "@x")},
                     {"name", text("Name ", n % 13, "")},
                     {"city", n % 5 == 0 ? std::string() : text("City ", n % 4, "")}},
                    text("2024-0", 1 + n % 9, "-01T00:00:00Z")});
  }
  const std::string entities = entities_json(recs);
  std::vector<std::string> dumps;
  // Eight workers even on a smaller machine: the arenas below get the threads they ask for.
  tbb::global_control most(tbb::global_control::max_allowed_parallelism, 8);
  for (int threads : {1, 2, 8}) {
    tbb::task_arena arena(threads);
    arena.execute([&] {
      std::string text;
      osmira_base::append_compact_json(text, run_local(kEmailSpec, entities));
      dumps.push_back(std::move(text));
    });
  }
  ASSERT_EQ(dumps.size(), 3u);
  EXPECT_GT(dumps[0].size(), 100000u);
  EXPECT_EQ(dumps[0], dumps[1]);
  EXPECT_EQ(dumps[0], dumps[2]);
}

// A cap on the pool below the arena's concurrency, as any library sharing oneTBB may set (a
// fresh process: no worker was prepared before): a call's preparation waits only for the
// threads that can run, and they all come (with no cap, it used to wait for workers that
// never came, 200 ms per call). A call under the cap works.
TEST(PrepareWorkerThreads, WaitsOnlyForThreadsThatCanRun) {
  if (tbb::this_task_arena::max_concurrency() < 3) GTEST_SKIP() << "needs three threads";
  for (const size_t cap : {2, 1, 3}) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, cap);
    bool all_came = false;  // a worker may be slow to come on a loaded machine: tried again
    for (int attempt = 0; attempt < 3 && !all_came; ++attempt) all_came = prepare_worker_threads();
    EXPECT_TRUE(all_came) << cap;
    EXPECT_EQ(run_local(kEmailSpec, "[]").get("clusters")->as_array().size(), 0u) << cap;
  }
}

TEST(ReconcileDriver, StepsOutOfOrderAreInternalErrors) {
  auto driver = ReconcileDriver::prepare_local(kEmailSpec, "[]");
  ASSERT_TRUE(driver.ok());
  EXPECT_THROW(driver->finish(), std::logic_error);
  driver->reconcile();
  EXPECT_THROW(driver->reconcile(), std::logic_error);
  EXPECT_NO_THROW(driver->finish());
  EXPECT_THROW(driver->finish(), std::logic_error);
  EXPECT_THROW(driver->reconcile(), std::logic_error);
}

// Another thread may read the decisions through decisions() while finish runs: finish hands
// the same decisions over in place, and leaves them with the driver when it fails.
TEST(ReconcileDriver, DecisionsViewOutlivesFinish) {
  const std::string entities = entities_json({
      {1, "crm", "c-1", {{"email", "ann@example.com"}}},
      {2, "web", "w-1", {{"email", "ann@example.com"}}},
      {3, "web", "w-2", {{"email", "ann@example.com"}}},
  });
  for (const bool cancelled : {false, true}) {
    auto driver = ReconcileDriver::prepare_local(kEmailSpec, entities);
    ASSERT_TRUE(driver.ok());
    EXPECT_TRUE(driver->decisions().empty());
    driver->reconcile();
    const auto view = driver->decisions();
    ASSERT_EQ(view.size(), 3u);
    const Uuid first_a = view[0].entity_a_id;
    osmira_base::CancelFlag cancel;
    if (cancelled) {
      cancel.raise();
      EXPECT_THROW(driver->finish(&cancel), osmira_base::Cancelled);
      EXPECT_EQ(driver->decisions().data(), view.data());
      EXPECT_EQ(view[0].entity_a_id, first_a);  // still readable (checked by the ASan build)
    } else {
      const ReconcileResult result = driver->finish(&cancel);
      EXPECT_EQ(result.decisions.data(), view.data());
      EXPECT_EQ(view[0].entity_a_id, first_a);
    }
  }
}

}  // namespace
}  // namespace vintrel_bridge
