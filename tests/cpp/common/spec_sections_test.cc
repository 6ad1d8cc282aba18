// Sections read directly: entity, compliance, hierarchy, relations, reference identifiers
// with conditions, blocking, the decision section's own records and survivorship.
#include <string>
#include <vector>

#include "common/spec/spec_reader.h"
#include "spec_test_support.h"

namespace osmira_common::spec {
namespace {

using osmira_base::Value;
using testing::expect_failure;
using testing::FailureCase;
using testing::make_spec;
using testing::read_ok;
using testing::spec_with;
using testing::SpecParts;
using testing::with_extra;

std::string entity(std::string value) { return spec_with(&SpecParts::entity, std::move(value)); }

std::string decision(std::string value) { return spec_with(&SpecParts::decision, std::move(value)); }

TEST(SpecEntity, AcceptedFormsAndDefaults) {
  const IdentitySpec a = read_ok(entity("{name: person, Name: x}"));
  EXPECT_EQ(a.entity.name, "person");
  EXPECT_FALSE(a.entity.description.has_value());
  EXPECT_FALSE(a.entity.compliance.has_value());
  EXPECT_FALSE(a.entity.hierarchy.has_value());

  const IdentitySpec b = read_ok(entity("{name: p, compliance: {}, hierarchy: {parent_field: manager_id}}"));
  ASSERT_TRUE(b.entity.compliance.has_value());
  EXPECT_TRUE(b.entity.compliance->frameworks.empty());
  EXPECT_TRUE(b.entity.compliance->pii_fields.empty());
  EXPECT_FALSE(b.entity.compliance->audit_required);
  EXPECT_FALSE(b.entity.compliance->retention_days.has_value());
  EXPECT_EQ(b.entity.hierarchy->parent_field, "manager_id");
  EXPECT_EQ(b.entity.hierarchy->depth, 5);
  EXPECT_TRUE(b.entity.hierarchy->inheritance.empty());

  const IdentitySpec c = read_ok(entity(
      "{name: p, description: d, compliance: {frameworks: [gdpr], pii_fields: [email], audit_required: true, "
      "retention_days: 30}, hierarchy: {parent_field: m, depth: 255, inheritance: [region]}}"));
  EXPECT_EQ(c.entity.description, "d");
  EXPECT_EQ(c.entity.compliance->frameworks, std::vector<std::string>{"gdpr"});
  EXPECT_EQ(c.entity.compliance->pii_fields, std::vector<std::string>{"email"});
  EXPECT_TRUE(c.entity.compliance->audit_required);
  EXPECT_EQ(c.entity.compliance->retention_days, 30u);
  EXPECT_EQ(c.entity.hierarchy->depth, 255);
  EXPECT_EQ(c.entity.hierarchy->inheritance, std::vector<std::string>{"region"});

  EXPECT_FALSE(read_ok(entity("{name: p, compliance: ~}")).entity.compliance.has_value());
  EXPECT_FALSE(read_ok(entity("{name: p, compliance: }")).entity.compliance.has_value());
}

TEST(SpecEntity, Failures) {
  const std::vector<FailureCase> cases = {
      {entity(""), "entity: missing field `name`", "@3:8"},
      {entity("{description: d}"), "entity: missing field `name`", "entity: |{"},
      {entity("{name: a, name: b}"), "entity: duplicate field `name`", "entity: |{"},
      {entity("{name: p, hierarchy: {}}"), "entity.hierarchy: missing field `parent_field`", "hierarchy: |{"},
      {entity("{name: p, hierarchy: [m]}"),
       "entity.hierarchy: invalid type: sequence, expected struct HierarchySpec", "hierarchy: |["},
      {entity("{name: p, compliance: x}"),
       "entity.compliance: invalid type: string \"x\", expected struct ComplianceSpec", "compliance: |x"},
      {entity("{name: p, compliance: {audit_required: 1}}"),
       "entity.compliance.audit_required: invalid type: integer `1`, expected a boolean", "audit_required: |1"},
      {entity("{name: p, compliance: {frameworks: gdpr}}"),
       "entity.compliance.frameworks: invalid type: string \"gdpr\", expected a sequence", "frameworks: |gdpr"},
      {entity("{name: p, hierarchy: {parent_field: m, inheritance: [[a]]}}"),
       "entity.hierarchy.inheritance[0]: invalid type: sequence, expected a string", "[|[a]"},
  };
  for (const auto& c : cases) expect_failure(c);
}

TEST(SpecRelations, FormsAndFailures) {
  const IdentitySpec a = read_ok(with_extra(
      "relations:\n  - {name: 42, from_entity: a, to_entity: b, join_key: k, cardinality: one_to_many}\n"
      "  - {name: r, from_entity: a, to_entity: b, join_key: k, cardinality: 'many_to_many', propagate_match: true}\n"));
  ASSERT_EQ(a.relations->size(), 2u);
  EXPECT_EQ(a.relations->at(0).name, "42");
  EXPECT_EQ(a.relations->at(0).cardinality, ir::Cardinality::kOneToMany);
  EXPECT_FALSE(a.relations->at(0).propagate_match);
  EXPECT_EQ(a.relations->at(1).cardinality, ir::Cardinality::kManyToMany);
  EXPECT_TRUE(a.relations->at(1).propagate_match);

  const std::vector<FailureCase> cases = {
      {with_extra("relations: [{name: a, name: b}]\n"), "relations[0]: duplicate field `name`", "relations: [|{"},
      {with_extra("relations: [{name: a, from_entity: b, join_key: k}]\n"), "relations[0]: missing field `to_entity`",
       "relations: [|{"},
      {with_extra("relations:\n- {name: a, from_entity: b, to_entity: c, join_key: k, cardinality: one_to_one}\n"
                  "- {name: a, from_entity: b, to_entity: c, join_key: k, join_key: j}\n"),
       "relations[1]: duplicate field `join_key`", "- |{name: a, from_entity: b, to_entity: c, join_key: k, join_key"},
      {with_extra("relations:\n- {name: a, from_entity: b, to_entity: c, join_key: k, cardinality: one_to_one,"
                  " propagate_match: yes}\n"),
       "relations[0].propagate_match: invalid type: string \"yes\", expected a boolean", "propagate_match: |yes"},
      {with_extra("relations: [x]\n"), "relations[0]: invalid type: string \"x\", expected struct RelationSpec",
       "relations: [|x"},
      {with_extra("relations: [{name: a, from_entity: b, to_entity: c, join_key: k, cardinality: One_To_One}]\n"),
       "relations[0].cardinality: unknown variant `One_To_One`, expected one of `one_to_one`, `one_to_many`, "
       "`many_to_one`, `many_to_many`",
       "cardinality: |One"},
  };
  for (const auto& c : cases) expect_failure(c);
}

TEST(SpecReferenceIdentifiers, FormsAndDefaults) {
  const IdentitySpec a = read_ok(with_extra("reference_identifiers: [{name: ssn, type: external, field: ssn}]\n"));
  const auto& id = a.reference_identifiers->at(0);
  EXPECT_EQ(id.name, "ssn");
  EXPECT_EQ(id.id_type, ir::ReferenceIdType::kExternal);
  EXPECT_FALSE(id.authority.has_value());
  EXPECT_EQ(id.field, "ssn");
  EXPECT_EQ(id.match_weight, 1.0);
  EXPECT_TRUE(id.conditions.empty());

  const IdentitySpec b = read_ok(with_extra(
      "reference_identifiers:\n"
      "- {name: n, type: internal, authority: irs, field: f, match_weight: 2, conditions: [{field: c, operator: eq}]}\n"));
  const auto& id2 = b.reference_identifiers->at(0);
  EXPECT_EQ(id2.id_type, ir::ReferenceIdType::kInternal);
  EXPECT_EQ(id2.authority, "irs");
  EXPECT_EQ(id2.match_weight, 2.0);
  ASSERT_EQ(id2.conditions.size(), 1u);
  EXPECT_EQ(id2.conditions[0].op, "eq");
  EXPECT_FALSE(id2.conditions[0].value.has_value());
}

// A condition's value read directly into a document tree.
TEST(SpecReferenceIdentifiers, ConditionValues) {
  auto value_of = [](const std::string& v) {
    const IdentitySpec s = read_ok(with_extra(
        "reference_identifiers:\n- {name: n, type: external, field: f, conditions: [{field: c, operator: eq, value: " +
        v + "}]}\n"));
    return s.reference_identifiers->at(0).conditions.at(0).value;
  };
  Value::Object ba;
  ba.emplace("a", Value(2));
  ba.emplace("b", Value(1));
  const std::vector<std::pair<std::string, std::optional<Value>>> rows = {
      {"US", Value("US")},
      {"1", Value(1)},
      {"-3", Value(-3)},
      {"1.50", Value(1.5)},
      {"007", Value("007")},
      {"-01", Value("-01")},
      {"'true'", Value("true")},
      {"True", Value(true)},
      {".inf", Value()},
      {"-.Inf", Value()},
      {"~", std::nullopt},
      {"null", std::nullopt},
      {"'1'", Value("1")},
      {"18446744073709551615", Value(uint64_t{18446744073709551615u})},
      {"-9223372036854775808", Value(int64_t{-9223372036854775807} - 1)},
      {"0x1F", Value(31)},
      {"[a, 1]", Value(Value::Array{Value("a"), Value(1)})},
      {"{b: 1, a: 2}", Value(ba)},
      {"{a: 1, a: 2, b: 1}", Value(ba)},
      {"{1: x, true: y, ~: z}", Value(Value::Object{{"1", Value("x")}, {"true", Value("y")}, {"~", Value("z")}})},
      {"!!str 12", Value("12")},
      {"!!int '12'", Value(12)},
      {"!!bool 'true'", Value(true)},
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(value_of(text), expected) << text;

  const std::string prefix =
      "reference_identifiers:\n- {name: n, type: external, field: f, conditions: [{field: c, operator: eq},"
      " {field: c, operator: eq, value: ";
  const std::vector<FailureCase> cases = {
      {with_extra(prefix + "[1, 2, 18446744073709551616]}]}\n"),
       "reference_identifiers[0].conditions[1].value[2]: JSON number out of range", "1, 2, |1844"},
      {with_extra(prefix + "-9223372036854775809}]}\n"),
       "reference_identifiers[0].conditions[1].value: JSON number out of range", "value: |-92"},
      {with_extra(prefix + "{[x]: 1}}]}\n"),
       "reference_identifiers[0].conditions[1].value: invalid type: sequence, expected a string key", "{|[x]"},
      {with_extra(prefix + "{a: 1, {x: y}: 1}}]}\n"),
       "reference_identifiers[0].conditions[1].value: invalid type: map, expected a string", "a: 1, |{"},
      {with_extra(prefix + "!eq x}]}\n"),
       "reference_identifiers[0].conditions[1].value: invalid type: enum, expected any valid JSON value", "value: |!eq"},
      {with_extra(prefix + "[a, !eq x]}]}\n"),
       "reference_identifiers[0].conditions[1].value[1]: invalid type: enum, expected any valid JSON value", "a, |!eq"},
      {with_extra(prefix + "!!bool yes}]}\n"),
       "reference_identifiers[0].conditions[1].value: invalid value: string \"yes\", expected a boolean",
       "value: |!!bool"},
      {with_extra(prefix + "!!int x}]}\n"),
       "reference_identifiers[0].conditions[1].value: invalid value: string \"x\", expected an integer",
       "value: |!!int"},
  };
  for (const auto& c : cases) expect_failure(c);
}

TEST(SpecReferenceIdentifiers, Failures) {
  const std::string list = "reference_identifiers: [";
  const std::vector<FailureCase> cases = {
      {with_extra(list + "{authority: x}]\n"), "reference_identifiers[0]: missing field `name`", list + "|{"},
      {with_extra(list + "{name: a, type: external}]\n"), "reference_identifiers[0]: missing field `field`", list + "|{"},
      {with_extra(list + "{name: a, field: f}]\n"), "reference_identifiers[0]: missing field `type`", list + "|{"},
      {with_extra(list + "{name: a, type: External, field: f}]\n"),
       "reference_identifiers[0].type: unknown variant `External`, expected `external` or `internal`", "type: |Ext"},
      {with_extra(list + "{name: a, type: external, field: f, match_weight: '0.5'}]\n"),
       "reference_identifiers[0].match_weight: invalid type: string \"0.5\", expected f64", "match_weight: |'"},
      {with_extra(list + "{name: a, type: external, field: f, conditions: [{field: c}]}]\n"),
       "reference_identifiers[0].conditions[0]: missing field `operator`", "conditions: [|{"},
      {with_extra(list + "{name: a, type: external, field: f, conditions: {field: c}}]\n"),
       "reference_identifiers[0].conditions: invalid type: map, expected a sequence", "conditions: |{"},
  };
  for (const auto& c : cases) expect_failure(c);
}

TEST(SpecBlocking, FormsAndFailures) {
  const IdentitySpec a = read_ok(with_extra("blocking: {}\n"));
  EXPECT_EQ(a.blocking->strategy, ir::BlockingStrategy::kComposite);
  EXPECT_TRUE(a.blocking->keys.empty());
  EXPECT_FALSE(a.blocking->fallback.has_value());
  EXPECT_FALSE(read_ok(with_extra("blocking:\n")).blocking.has_value());

  const IdentitySpec b = read_ok(with_extra("blocking: {strategy: 'lsh', keys: [[email], [last_name, zip]]}\n"));
  EXPECT_EQ(b.blocking->strategy, ir::BlockingStrategy::kLsh);
  ASSERT_EQ(b.blocking->keys.size(), 2u);
  EXPECT_EQ(b.blocking->keys[1], (std::vector<std::string>{"last_name", "zip"}));
  EXPECT_EQ(read_ok(with_extra("blocking: {keys: [[]]}\n")).blocking->keys,
            std::vector<std::vector<std::string>>{{}});

  const IdentitySpec c = read_ok(with_extra("blocking: {fallback: {}}\n"));
  EXPECT_FALSE(c.blocking->fallback->enabled);
  EXPECT_FALSE(c.blocking->fallback->sample_rate.has_value());
  const IdentitySpec d = read_ok(with_extra("blocking: {fallback: {enabled: true, sample_rate: 1}}\n"));
  EXPECT_TRUE(d.blocking->fallback->enabled);
  EXPECT_EQ(d.blocking->fallback->sample_rate, 1.0);

  const std::vector<FailureCase> cases = {
      {with_extra("blocking: {keys: [email]}\n"),
       "blocking.keys[0]: invalid type: string \"email\", expected a sequence", "[|email"},
      {with_extra("blocking: {keys: ~}\n"), "blocking.keys: invalid type: unit value, expected a sequence",
       "keys: |~"},
      {with_extra("blocking: {keys: [[{a: b}]]}\n"), "blocking.keys[0][0]: invalid type: map, expected a string",
       "[[|{"},
      {with_extra("blocking: {strategy: LSH}\n"),
       "blocking.strategy: unknown variant `LSH`, expected one of `single`, `composite`, `lsh`, `ml_predicted`",
       "strategy: |LSH"},
      {with_extra("blocking: {fallback: {enabled: 'true'}}\n"),
       "blocking.fallback.enabled: invalid type: string \"true\", expected a boolean", "enabled: |'"},
      {with_extra("blocking: [a]\n"), "blocking: invalid type: sequence, expected struct BlockingSpec", "blocking: |["},
  };
  for (const auto& c : cases) expect_failure(c);
}

TEST(SpecDecision, DefaultsAndDirectRecords) {
  const IdentitySpec a = read_ok(decision("{thresholds: {match: 1}}"));
  const DecisionSpec& d = a.decision;
  EXPECT_FALSE(d.scoring.has_value());
  EXPECT_EQ(d.thresholds.match, 1.0);
  EXPECT_FALSE(d.thresholds.review.has_value());
  EXPECT_EQ(d.conflict_strategy, ir::ConflictStrategy::kPreferHighConfidence);
  EXPECT_FALSE(d.review_queue.has_value());
  EXPECT_FALSE(d.audit.has_value());
  EXPECT_FALSE(d.tie_breaking.has_value());
  EXPECT_FALSE(d.clustering.has_value());
  EXPECT_FALSE(d.min_total_weight.has_value());
  EXPECT_FALSE(d.allow_single_field.has_value());

  const IdentitySpec b = read_ok(decision(
      "{thresholds: {match: 0.9, review: 0.5, reject: 0.1}, conflict_strategy: manual_review, "
      "review_queue: {enabled: false, webhook: 'http://x', sla_hours: 4294967295}, audit: {log_decisions: true}, "
      "tie_breaking: [earliest_timestamp, earliest_timestamp], clustering: {}, min_total_weight: 2, "
      "allow_single_field: [email_rule]}"));
  const DecisionSpec& e = b.decision;
  EXPECT_EQ(e.thresholds.review, 0.5);
  EXPECT_EQ(e.thresholds.reject, 0.1);
  EXPECT_EQ(e.conflict_strategy, ir::ConflictStrategy::kManualReview);
  EXPECT_FALSE(e.review_queue->enabled);
  EXPECT_EQ(e.review_queue->webhook, "http://x");
  EXPECT_EQ(e.review_queue->sla_hours, 4294967295u);
  EXPECT_TRUE(e.audit->log_decisions);
  EXPECT_FALSE(e.audit->log_all_comparisons);
  EXPECT_EQ(e.tie_breaking, (std::vector<TieBreaker>{TieBreaker::kEarliestTimestamp, TieBreaker::kEarliestTimestamp}));
  EXPECT_EQ(e.clustering->method, ClusteringMethodSpec::kSimple);
  EXPECT_FALSE(e.clustering->max_cluster_size.has_value());
  EXPECT_EQ(e.min_total_weight, 2.0);
  EXPECT_EQ(e.allow_single_field, std::vector<std::string>{"email_rule"});

  EXPECT_TRUE(read_ok(decision("{thresholds: {match: 1}, tie_breaking: []}")).decision.tie_breaking->empty());
  const IdentitySpec c = read_ok(decision("{thresholds: {match: 1}, clustering: {method: graph, max_cluster_size: 0}}"));
  EXPECT_EQ(c.decision.clustering->method, ClusteringMethodSpec::kGraph);
  EXPECT_EQ(c.decision.clustering->max_cluster_size, 0u);
}

TEST(SpecDecision, Failures) {
  const std::vector<FailureCase> cases = {
      {decision(""), "decision: missing field `thresholds`", "@5:10"},
      {decision("{thresholds: }"), "decision.thresholds: missing field `match`", "thresholds: |}"},
      {decision("{thresholds: {review: 0.5}}"), "decision.thresholds: missing field `match`", "thresholds: |{"},
      {decision("{thresholds: {match: 1}, audit: {}, audit: {}}"), "decision: duplicate field `audit`", "decision: |{"},
      {decision("{thresholds: {match: 1}, conflict_strategy: newest}"),
       "decision.conflict_strategy: unknown variant `newest`, expected one of `prefer_high_confidence`, "
       "`prefer_recent`, `manual_review`",
       "conflict_strategy: |newest"},
      {decision("{thresholds: {match: 1}, conflict_strategy: ~}"),
       "decision.conflict_strategy: unknown variant `~`, expected one of `prefer_high_confidence`, "
       "`prefer_recent`, `manual_review`",
       "conflict_strategy: |~"},
      {decision("{thresholds: {match: 1}, tie_breaking: [newest]}"),
       "decision.tie_breaking[0]: unknown variant `newest`, expected one of `exact_match_priority`, "
       "`lowest_entity_id`, `earliest_timestamp`",
       "tie_breaking: [|newest"},
      {decision("{thresholds: {match: 1}, clustering: {method: Graph}}"),
       "decision.clustering.method: unknown variant `Graph`, expected `simple` or `graph`", "method: |Graph"},
      {decision("{thresholds: {match: 1}, allow_single_field: email_rule}"),
       "decision.allow_single_field: invalid type: string \"email_rule\", expected a sequence",
       "allow_single_field: |email"},
      {decision("{thresholds: {match: 1}, review_queue: {sla_hours: -1}}"),
       "decision.review_queue.sla_hours: invalid type: integer `-1`, expected u32", "sla_hours: |-1"},
      {decision("{thresholds: {match: 1}, review_queue: {sla_hours: 4294967296}}"),
       "decision.review_queue.sla_hours: invalid value: integer `4294967296`, expected u32", "sla_hours: |4"},
      {decision("{thresholds: {match: 1}, review_queue: {enabled: ~}}"),
       "decision.review_queue.enabled: invalid type: unit value, expected a boolean", "enabled: |~"},
      {decision("{thresholds: {match: '1'}}"), "decision.thresholds.match: invalid type: string \"1\", expected f64",
       "match: |'"},
  };
  for (const auto& c : cases) expect_failure(c);
}

TEST(SpecSurvivorship, FormsAndFailures) {
  const IdentitySpec a = read_ok(with_extra("survivorship: {}\n"));
  EXPECT_EQ(a.survivorship->default_strategy, ir::SurvivorshipStrategy::kMostRecent);
  EXPECT_TRUE(a.survivorship->overrides.empty());
  EXPECT_FALSE(read_ok(with_extra("survivorship:\n")).survivorship.has_value());

  const IdentitySpec b = read_ok(with_extra(
      "survivorship:\n  default: most_complete\n  overrides:\n"
      "    - {field: 123, strategy: aggregate, function: ~, priority: }\n"
      "    - {field: name, strategy: source_priority, priority: [crm, erp], function: sum}\n"
      "    - {field: name, strategy: aggregate, function: intersection}\n"));
  const auto& s = *b.survivorship;
  EXPECT_EQ(s.default_strategy, ir::SurvivorshipStrategy::kMostComplete);
  ASSERT_EQ(s.overrides.size(), 3u);
  EXPECT_EQ(s.overrides[0].field, "123");
  EXPECT_FALSE(s.overrides[0].function.has_value());
  EXPECT_TRUE(s.overrides[0].priority.empty());
  EXPECT_EQ(s.overrides[1].priority, (std::vector<std::string>{"crm", "erp"}));
  EXPECT_EQ(s.overrides[1].function, AggregateFunction::kSum);
  EXPECT_EQ(display_name(*s.overrides[2].function), "Intersection");

  const std::string o = "survivorship: {overrides: [";
  const std::vector<FailureCase> cases = {
      {with_extra(o + "{priority: [a]}]}\n"), "survivorship.overrides[0]: missing field `field`", o + "|{"},
      {with_extra(o + "{field: a}]}\n"), "survivorship.overrides[0]: missing field `strategy`", o + "|{"},
      {with_extra(o + "{field: a, strategy: aggregate, priority: ~}]}\n"),
       "survivorship.overrides[0].priority: invalid type: unit value, expected a sequence", "priority: |~"},
      {with_extra(o + "{field: a, strategy: aggregate, function: Max}]}\n"),
       "survivorship.overrides[0].function: unknown variant `Max`, expected one of `max`, `min`, `sum`, `avg`, "
       "`union`, `intersection`",
       "function: |Max"},
      {with_extra("survivorship: {default: newest}\n"),
       "survivorship.default: unknown variant `newest`, expected one of `most_recent`, `most_complete`, "
       "`source_priority`, `aggregate`, `custom`",
       "default: |newest"},
      {with_extra("survivorship: {default: most_recent, default: most_recent}\n"),
       "survivorship: duplicate field `default`", "survivorship: |{"},
      {with_extra(o + "{field: a, strategy: custom, priority: [a], priority: [b]}]}\n"),
       "survivorship.overrides[0]: duplicate field `priority`", o + "|{"},
  };
  for (const auto& c : cases) expect_failure(c);
}

}  // namespace
}  // namespace osmira_common::spec
