"""The spec commands end to end: compile_ir, plan and diff as Python sees them."""

import hashlib
import json

import pytest

from conftest import value_error_args

SPEC = """\
api_version: vintrel/v1
identity_version: "3"
entity: {name: customer}
sources:
  - {name: crm, system: sf, table: contacts, attributes: {email: mail, phone: tel}}
  - {name: web, adapter: http}
rules:
  - {name: email_exact, type: exact, field: email, weight: 1}
  - {name: phone_fuzzy, type: similarity, field: phone, threshold: 0.7, weight: 0.95}
blocking: {strategy: standard, keys: [{field: email, transform: lower}]}
decision:
  thresholds: {match: 0.9, review: 0.6}
  scoring:
    strategy: fellegi_sunter
    fields: [{name: email, m_probability: 0.9, u_probability: 0.1, weight: 1}]
    thresholds: {match: 0.9}
survivorship: {rules: [{field: email, strategy: most_recent, source_priority: [crm]}]}
"""

DIFF_KEYS = [
    "blocking_changed", "blocking_changes", "decision_changes", "entity_changed", "entity_changes",
    "metadata_changed", "metadata_changes", "rules_added", "rules_modified", "rules_removed",
    "scoring_changed", "scoring_changes", "sources_added", "sources_modified", "sources_removed",
    "summary", "survivorship_changed", "survivorship_changes", "thresholds_changed",
    "version_changed",
]


def assert_byte_ordered(value, where="result"):
    """Every dict, at every level, iterates its keys in ascending UTF-8 byte order."""
    if isinstance(value, dict):
        keys = list(value)
        assert keys == sorted(keys, key=lambda k: k.encode()), where
        for key, child in value.items():
            assert_byte_ordered(child, f"{where}.{key}")
    elif isinstance(value, list):
        for index, child in enumerate(value):
            assert_byte_ordered(child, f"{where}[{index}]")


def document_hash(tree) -> str:
    text = json.dumps(tree, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


def parse_error(native, text) -> str:
    return value_error_args(native.parse, text)[0]


# --- compile_ir --------------------------------------------------------------------------

def test_compile_ir_summary(native):
    summary = native.compile_ir(SPEC)
    assert list(summary) == ["api_version", "blocking_strategy", "entity", "identity_version",
                             "plan_hash", "rule_count", "sources", "thresholds"]
    assert_byte_ordered(summary)
    facts = {key: value for key, value in summary.items() if key != "plan_hash"}
    assert facts == {
        "api_version": "vintrel/v1",
        "blocking_strategy": "standard",
        "entity": "customer",
        "identity_version": "3",
        "rule_count": 2,
        "sources": [{"name": "crm", "system": "sf", "table": "contacts"},
                    {"name": "web", "system": None, "table": None}],
        "thresholds": {"match": 0.9, "review": 0.6},
    }
    assert type(summary["rule_count"]) is int
    assert summary["plan_hash"] == document_hash(facts)


def test_compile_ir_of_a_scalar_root(native):
    summary = native.compile_ir("hello")
    assert {key for key, value in summary.items() if value is not None} == {"plan_hash"}
    assert summary["plan_hash"] == document_hash({key: None for key in summary if key != "plan_hash"})


@pytest.mark.parametrize("text", ["a: [1", "", "a: 1\n---\nb: 2\n"])
def test_compile_ir_bad_yaml_raises_the_parse_message(native, text):
    assert value_error_args(native.compile_ir, text) == (parse_error(native, text),)


# --- plan --------------------------------------------------------------------------------

def test_plan_result_shape_and_types(native):
    plan = native.plan(SPEC)
    assert list(plan) == ["blocking_analysis", "entity", "execution_stages", "identity_version",
                          "match_strategies", "plan_hash", "risk_flags", "sources", "summary",
                          "survivorship_summary"]
    assert_byte_ordered(plan)
    assert plan["plan_hash"] == native.hash(SPEC)
    assert [stage["stage"] for stage in plan["execution_stages"]] == list(range(1, 9))
    assert all(type(stage["stage"]) is int for stage in plan["execution_stages"])
    assert plan["sources"] == [{"field_count": 2, "name": "crm", "system": "sf"},
                               {"field_count": 0, "name": "web", "system": "unknown"}]
    exact, fuzzy = plan["match_strategies"]
    assert exact == {"algorithm": None, "evaluation_order": 3, "field": "email", "match_type": "exact",
                     "rule_name": "email_exact", "threshold": None, "weight": 1.0}
    assert type(exact["weight"]) is float  # written 1 in the spec
    assert fuzzy["threshold"] == 0.7 and fuzzy["evaluation_order"] == 4
    assert plan["survivorship_summary"] == [
        {"field": "email", "source_priority": ["crm"], "strategy": "most_recent"}]
    assert [(flag["severity"], flag["code"]) for flag in plan["risk_flags"]] == [
        ("high", "LOW_THRESHOLD"), ("medium", "HIGH_WEIGHT_FUZZY"), ("high", "PHONE_WITHOUT_BLOCKING"),
        ("low", "MISSING_TEMPORAL")]
    assert plan["risk_flags"][0]["message"] == "Rule 'phone_fuzzy' has threshold 0.70 \u2014 risk of over-merging"
    assert plan["summary"] == "\n".join([
        "  Identity:     customer (3)",
        "  Sources:      2 (crm, web)",
        "  Signals:      email (exact, w=1), phone (similarity, w=0.95)",
        "  Blocking:     email",
        "  Thresholds:   merge >= 0.9, review >= 0.6",
        "  Stages:       8 execution stages",
        "  Survivorship: 1 fields configured",
        "  Risk flags:   0 critical, 2 high, 1 medium",
        "  Plan hash:    " + native.hash(SPEC)[:15] + "...",
    ])


def test_plan_of_an_empty_mapping(native):
    plan = native.plan("{}")
    assert plan["blocking_analysis"] == {
        "estimated_reduction": "none", "keys": [], "strategy": "none",
        "warnings": ["No blocking keys defined \u2014 O(n\u00b2) pairwise comparisons"]}
    assert [flag["code"] for flag in plan["risk_flags"]] == [
        "NO_BLOCKING", "NO_SURVIVORSHIP", "NO_REVIEW_THRESHOLD", "MISSING_TEMPORAL"]


def test_plan_of_the_example_spec(native, example_spec):
    plan = native.plan(example_spec)
    assert_byte_ordered(plan)
    assert plan["plan_hash"] == native.hash(example_spec)
    # Keys written as lists of field names are unnamed.
    assert {key["name"] for key in plan["blocking_analysis"]["keys"]} == {"unknown"}


@pytest.mark.parametrize("text", ["a: [1", "", "{a: 1", "a: 1\n---\nb: 2\n"])
def test_plan_bad_yaml_has_its_own_message(native, text):
    assert value_error_args(native.plan, text) == ("Failed to parse YAML for plan generation",)


# --- diff --------------------------------------------------------------------------------

def test_diff_without_changes(native):
    result = native.diff(SPEC, SPEC)
    assert list(result) == DIFF_KEYS
    assert result["summary"] == "No changes detected."
    assert all(result[key] is False for key in DIFF_KEYS if key.endswith("_changed"))
    assert all(result[key] == [] for key in DIFF_KEYS
               if not key.endswith("_changed") and key != "summary")


def test_diff_with_fellegi_sunter_changes(native):
    revised = SPEC.replace("m_probability: 0.9", "m_probability: 0.95").replace(
        "weight: 1}]\n    thresholds", "weight: 2}]\n    thresholds")
    result = native.diff(SPEC, revised)
    assert list(result) == DIFF_KEYS[:5] + ["fs_changes"] + DIFF_KEYS[5:]
    assert_byte_ordered(result)
    fs = result["fs_changes"]
    assert fs["m_probability_changes"] == [
        {"field": "email", "impact": "increases match likelihood", "new_value": 0.95, "old_value": 0.9}]
    assert fs["weight_changes"] == [
        {"new_value": "2.0000", "old_value": "1.0000", "path": "scoring.fields.email.weight"}]
    assert type(fs["max_composite_delta"]) is float and fs["max_composite_delta"] == 0.0
    assert result["scoring_changed"] is True
    assert result["summary"] == "1 scoring change(s); 2 Fellegi-Sunter change(s)"


def test_diff_records(native):
    old = "identity_version: '1.0'\nrules: [{name: r, weight: 1}]\nsources: [{name: a}]\n"
    new = "rules: [{name: r, weight: 1.0}]\nsources: [{name: a}, {name: b}]\ndecision: {x: 1}\n"
    result = native.diff(old, new)
    assert result["rules_modified"] == [
        {"field": "weight", "name": "r", "new_value": "1.0", "old_value": "1"}]
    assert result["sources_added"] == ["b"]
    assert result["decision_changes"] == [
        {"new_value": "<present>", "old_value": "<absent>", "path": "decision"}]
    assert result["summary"] == ("version: 1.0 -> unknown; sources: +1 -0 ~0; rules: +0 -0 ~1; "
                                 "thresholds changed; 1 other decision change(s)")


def test_diff_keywords_in_any_order_keep_a_as_the_old_spec(native):
    old, new = "identity_version: a\n", "identity_version: b\n"
    expected = native.diff(old, new)
    assert expected["summary"] == "version: a -> b"
    assert native.diff(yaml_b=new, yaml_a=old) == expected
    assert native.diff(yaml_a=old, yaml_b=new) == expected
    assert native.diff(old, yaml_b=new) == expected


def test_diff_bad_yaml_raises_the_first_failing_parse_message(native):
    old_message, new_message = parse_error(native, "a: [1"), parse_error(native, "")
    assert old_message != new_message
    assert value_error_args(native.diff, "a: [1", "") == (old_message,)
    assert value_error_args(native.diff, yaml_b="", yaml_a="{}") == (new_message,)


@pytest.mark.parametrize("text", ["hello", "[1, 2]", "42", "~", "rules: x\nsources: {a: 1}\ndecision: [1]"])
def test_commands_take_any_root_as_an_empty_spec(native, text):
    assert native.compile_ir(text)["rule_count"] is None
    plan = native.plan(text)
    assert plan["entity"] == "unknown" and plan["sources"] == [] and plan["match_strategies"] == []
    assert len(plan["execution_stages"]) == 8
    result = native.diff(text, "{}")
    assert list(result) == DIFF_KEYS
    assert result["summary"] in ("No changes detected.", "thresholds changed; 1 other decision change(s)")
