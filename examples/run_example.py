"""Validates and hashes the example identity spec, reconciles the example customer records
with it, then reconciles a few new records incrementally against the result.

Usage: python3 examples/run_example.py [path/to/spec.yaml [path/to/records.json]]
"""

import json
import pathlib
import sys

from vintrel import _native

EXAMPLES = pathlib.Path(__file__).resolve().parent
DEFAULT_SPEC = EXAMPLES / "customer.yaml"
DEFAULT_RECORDS = EXAMPLES / "customers.json"
TENANT = "7d444840-9dc0-11d1-b245-5ffdce74fad2"

# Records that arrive after the first reconciliation: Anna again (from a new billing account),
# Olivia's first purchase, and someone nobody has seen yet.
NEW_RECORDS = [
    {
        "id": "0b7e2a55-3f8c-4d0e-9a51-6c1f2d3e4a01",
        "tenant_id": TENANT,
        "external_id": "B-9300",
        "entity_type": "customer",
        "data": {
            "first_name": "Anna",
            "last_name": "Kowalski",
            "email": "anna.kowalski@example.com",
            "date_of_birth": "1985-03-12",
            "postal_code": "94107",
            "lifetime_value": "99.00",
        },
        "source_name": "billing",
        "valid_from": None,
        "valid_to": None,
        "last_updated": "2024-11-02T10:00:00Z",
    },
    {
        "id": "0b7e2a55-3f8c-4d0e-9a51-6c1f2d3e4a02",
        "tenant_id": TENANT,
        "external_id": "B-9301",
        "entity_type": "customer",
        "data": {
            "first_name": "Olivia",
            "last_name": "Smith",
            "email": "olivia.smith@example.com",
            "date_of_birth": "1999-12-24",
            "postal_code": "97201",
            "lifetime_value": "45.00",
        },
        "source_name": "billing",
        "valid_from": None,
        "valid_to": None,
        "last_updated": "2024-11-03T10:00:00Z",
    },
    {
        "id": "0b7e2a55-3f8c-4d0e-9a51-6c1f2d3e4a03",
        "tenant_id": TENANT,
        "external_id": "W-900",
        "entity_type": "customer",
        "data": {
            "first_name": "Noah",
            "last_name": "Williams",
            "email": "noah.w@example.com",
            "phone": "+1 206 555 0107",
            "postal_code": "98101",
        },
        "source_name": "webshop",
        "valid_from": "2024-11-01T00:00:00Z",
        "valid_to": None,
        "last_updated": "2024-11-04T10:00:00Z",
    },
]


def show_messages(title: str, messages: list[str]) -> None:
    if not messages:
        print(f"  {title}: no problems")
        return
    print(f"  {title}: {len(messages)} problem(s)")
    for message in messages:
        print(f"    - {message}")


def member_label(record: dict) -> str:
    data = record["data"]
    name = " ".join(part for part in (data.get("first_name"), data.get("last_name")) if part)
    return f"{record['source_name']}:{record['external_id']} ({name or '?'})"


def show_result(result: dict, records: dict[str, dict], focus: set[str] | None = None) -> None:
    """Prints clusters with their golden records (only those holding a record of `focus`, when
    given), the decisions and the telemetry."""
    clusters = result["clusters"]
    merged = sum(1 for cluster in clusters if len(cluster) > 1)
    print(f"  {len(records)} records -> {len(clusters)} customers ({merged} with several records)")
    hidden = 0
    for cluster, golden in zip(clusters, result["golden_records"]):
        if focus is not None and focus.isdisjoint(cluster):
            hidden += 1
            continue
        print(f"  {golden['vintrel_id']}  members: {golden['member_count']}")
        for entity_id in cluster:
            print(f"      - {member_label(records[entity_id])}")
        fields = {k: v for k, v in golden.items() if k not in ("vintrel_id", "member_count")}
        print("      golden: " + ", ".join(f"{k}={v}" for k, v in fields.items()))
    if hidden:
        print(f"  ({hidden} customers without new records not shown)")

    decisions = result["decisions"]
    reviews = [d for d in decisions if d["decision"] == "review"]
    print(f"  decisions returned: {len(decisions)} ({len(reviews)} for review)")
    for decision in reviews:
        a = member_label(records[decision["entity_a_id"]])
        b = member_label(records[decision["entity_b_id"]])
        print(f"      review {decision['confidence']:.3f}: {a} ~ {b}"
              f"  [{', '.join(decision['matched_on'])}]")

    telemetry = result["telemetry"]
    print("  telemetry:")
    print(f"      scoring: {telemetry.get('scoring_method')}, "
          f"merge threshold: {telemetry.get('merge_threshold')}")
    print(f"      blocking groups: {telemetry['blocking_groups']}, "
          f"pairs evaluated: {telemetry['pairs_evaluated']}, "
          f"oversized groups: {telemetry.get('oversized_blocking_groups', 0)}")
    counts = telemetry["decisions_by_type"]
    print("      pair decisions: " + ", ".join(f"{k} {v}" for k, v in counts.items()))
    for rule in telemetry["rule_telemetry"]:
        print(f"      rule {rule['rule_name']:<24} evaluated {rule['evaluated']:>3}, "
              f"matched {rule['matched']:>3}, average score {rule['avg_score']:.3f}")
    trained = result["trained_fs_params"]
    if trained is None:
        print("  trained Fellegi-Sunter parameters: none (the spec does not score by Fellegi-Sunter)")
    else:
        fields = json.loads(trained)["fields"]
        print(f"  trained Fellegi-Sunter parameters: {len(fields)} field(s)")
        for field in fields:
            print(f"      {field['name']:<16} m={field['m_probability']:.4f} "
                  f"u={field['u_probability']:.4f}")


def reconcile(spec_text: str, records_path: pathlib.Path) -> int:
    records_text = records_path.read_text(encoding="utf-8")
    records = {record["id"]: record for record in json.loads(records_text)}

    print(f"Reconciliation of {records_path.name}:")
    try:
        result = _native.reconcile_local(spec_text, records_text)
    except ValueError as error:
        print(f"  failed: {error}")
        return 1
    show_result(result, records)

    # The new records are compared with each other and with the known ones; the clusters found
    # above are kept whole, and the trained parameters (if any) are reused instead of
    # training again.
    print(f"Incremental reconciliation of {len(NEW_RECORDS)} new records:")
    try:
        update = _native.reconcile_incremental(
            spec_text,
            json.dumps(NEW_RECORDS),
            records_text,
            json.dumps(result["clusters"]),
            result["trained_fs_params"],
        )
    except ValueError as error:
        print(f"  failed: {error}")
        return 1
    records.update((record["id"], record) for record in NEW_RECORDS)
    show_result(update, records, focus={record["id"] for record in NEW_RECORDS})
    return 0


def main() -> int:
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_SPEC
    records_path = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else DEFAULT_RECORDS
    text = path.read_text(encoding="utf-8")

    try:
        spec = _native.parse(text)
    except ValueError as error:
        print(f"{path}: not a readable YAML document: {error}")
        return 1

    print(f"Spec: {path}")
    if isinstance(spec, dict):
        entity = spec.get("entity")
        entity_name = entity.get("name") if isinstance(entity, dict) else None
        sources = spec.get("sources") or []
        rules = spec.get("rules") or []
        print(f"  api_version:      {spec.get('api_version')}")
        print(f"  identity_version: {spec.get('identity_version')}")
        print(f"  entity:           {entity_name}")
        print(f"  sources:          {len(sources)}")
        print(f"  rules:            {len(rules)}")

    print("Validation:")
    show_messages("schema", _native.validate_schema(text))
    show_messages("semantics", _native.validate_semantics(text))
    problems = _native.validate(text)
    print(f"  result: {'valid' if not problems else 'INVALID'}")

    print(f"Hash: {_native.hash(text)}")
    if problems:
        return 2
    return reconcile(text, records_path)


if __name__ == "__main__":
    sys.exit(main())
