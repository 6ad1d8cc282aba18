"""reconcile_local and reconcile_incremental end to end: result shape, canonical cluster ids,
golden records, trained parameters, error messages, incremental clustering, and the release
of the interpreter lock around the engine's work."""

import hashlib
import json
import random
import re
import sys
import threading
import time
import uuid

import pytest

from conftest import EXAMPLE_SPEC, REPO, run_isolated

# One exact e-mail rule scored by weighted sum, records blocked by e-mail: records with the
# same e-mail merge, all others stay apart.
EMAIL_SPEC = """\
api_version: vintrel/v1
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
"""

# Fellegi-Sunter scoring with EM training.
FS_SPEC = """\
api_version: vintrel/v1
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
    training: {method: em, max_iterations: 20}
"""

RESULT_KEYS = ["clusters", "decisions", "golden_records", "telemetry", "trained_fs_params"]
TENANT = "7d444840-9dc0-11d1-b245-5ffdce74fad2"


def uid(n: int) -> str:
    return f"00000000-0000-4000-8000-{n:012x}"


def record(n, source="crm", external_id=None, updated="2024-01-01T00:00:00Z", id_text=None, **data):
    return {
        "id": id_text or uid(n),
        "tenant_id": TENANT,
        "external_id": external_id if external_id is not None else f"e{n}",
        "entity_type": "person",
        "data": data,
        "source_name": source,
        "valid_from": None,
        "valid_to": None,
        "last_updated": updated,
    }


def dumps(records) -> str:
    return json.dumps(records)


def vtl(*texts: str) -> str:
    return "vtl_" + hashlib.sha256("".join(sorted(texts)).encode()).hexdigest()[:12]


def sample_records():
    return [
        record(3, "crm", "c-1", email="ann@example.com", name="Ann"),
        record(1, "web", "w-9", email="ann@example.com", name="Ann Lee"),
        record(2, "web", "w-2", email="bob@example.com", name="Bob"),
    ]


def generated(count: int, blocks: int):
    return [record(n, "crm" if n % 3 else "web", f"x{n}",
                   email=f"p{n % blocks}@example.com", name=f"Person {n % 7}")
            for n in range(1, count + 1)]


# ---------------------------------------------------------------------------------------------
# Results


def test_local_result(native):
    result = native.reconcile_local(EMAIL_SPEC, dumps(sample_records()))
    assert list(result) == RESULT_KEYS
    assert result["clusters"] == [[uid(1), uid(3)], [uid(2)]]
    [decision] = result["decisions"]
    # Members of a block are paired in external-id order: c-1 (record 3) comes first.
    assert (decision["entity_a_id"], decision["entity_b_id"]) == (uid(3), uid(1))
    assert decision["decision"] == "merge"
    assert decision["blocking_key"] is not None
    assert result["golden_records"] == [
        {"email": "ann@example.com", "member_count": "2", "name": "Ann Lee",
         "vintrel_id": vtl("crm:c-1", "web:w-9")},
        {"email": "bob@example.com", "member_count": "1", "name": "Bob",
         "vintrel_id": vtl("web:w-2")},
    ]
    for golden in result["golden_records"]:
        assert list(golden) == sorted(golden)
        assert re.fullmatch(r"vtl_[0-9a-f]{12}", golden["vintrel_id"])
    telemetry = result["telemetry"]
    assert telemetry["blocking_groups"] == 2
    assert telemetry["pairs_evaluated"] == 1
    assert telemetry["decisions_by_type"] == {"merge": 1}
    assert telemetry["scoring_method"] == "weighted_sum"
    assert telemetry["merge_threshold"] == 0.9
    assert result["trained_fs_params"] is None


def test_canonical_id_of_a_single_record(native):
    result = native.reconcile_local(EMAIL_SPEC, dumps([record(1, "crm", "42", email="a@x")]))
    [golden] = result["golden_records"]
    assert golden["vintrel_id"] == "vtl_" + hashlib.sha256(b"crm:42").hexdigest()[:12]
    assert golden["member_count"] == "1"


def test_canonical_id_ignores_identifiers_and_member_order(native):
    first = [record(1, "b", "1", email="same@x"), record(2, "a", "2", email="same@x")]
    second = [record(9, "a", "2", email="same@x"), record(5, "b", "1", email="same@x")]
    ids = [native.reconcile_local(EMAIL_SPEC, dumps(records))["golden_records"][0]["vintrel_id"]
           for records in (first, second)]
    # The texts b:1 and a:2 are hashed sorted and without separator: the bytes a:2b:1.
    assert ids == ["vtl_" + hashlib.sha256(b"a:2b:1").hexdigest()[:12]] * 2


def test_system_fields_replace_data_fields(native):
    records = [record(1, "crm", "42", email="a@x", vintrel_id="mine", member_count="7", city="Oslo")]
    [golden] = native.reconcile_local(EMAIL_SPEC, dumps(records))["golden_records"]
    assert golden == {"city": "Oslo", "email": "a@x", "member_count": "1",
                      "vintrel_id": vtl("crm:42")}


def test_identifiers_come_out_lowercase(native):
    upper = str(uuid.UUID(int=0xABCDEF)).upper()
    records = [record(0, id_text=upper, email="a@x"), record(0, id_text="{" + uid(0xAB) + "}", email="a@x")]
    result = native.reconcile_local(EMAIL_SPEC, dumps(records))
    assert result["clusters"] == [[upper.lower(), uid(0xAB)]]
    assert {result["decisions"][0]["entity_a_id"], result["decisions"][0]["entity_b_id"]} == {
        uid(0xAB), upper.lower()}


def test_empty_records(native):
    result = native.reconcile_local(EMAIL_SPEC, "[]")
    assert list(result) == RESULT_KEYS
    assert result["clusters"] == result["decisions"] == result["golden_records"] == []
    assert result["telemetry"]["pairs_evaluated"] == 0
    assert result["telemetry"]["blocking_groups"] == 0
    assert result["trained_fs_params"] is None


def test_every_record_in_exactly_one_cluster(native):
    records = generated(300, 40)
    result = native.reconcile_local(EMAIL_SPEC, dumps(records))
    listed = [i for cluster in result["clusters"] for i in cluster]
    assert sorted(listed) == sorted(r["id"] for r in records)
    assert len(result["clusters"]) == 40 == len(result["golden_records"])
    for cluster, golden in zip(result["clusters"], result["golden_records"]):
        assert golden["member_count"] == str(len(cluster))
        assert cluster == sorted(cluster)
    assert [c[0] for c in result["clusters"]] == sorted(c[0] for c in result["clusters"])


def test_results_repeat(native, example_spec):
    examples = (REPO / "examples" / "customers.json").read_text(encoding="utf-8")
    for spec, records in ((EMAIL_SPEC, dumps(generated(400, 30))), (example_spec, examples)):
        first = native.reconcile_local(spec, records)
        for _ in range(3):
            assert native.reconcile_local(spec, records) == first


def test_example_records_reconcile(native, example_spec):
    examples = (REPO / "examples" / "customers.json").read_text(encoding="utf-8")
    records = {r["id"]: r for r in json.loads(examples)}
    result = native.reconcile_local(example_spec, examples)
    labels = [sorted(f"{records[i]['source_name']}:{records[i]['external_id']}" for i in cluster)
              for cluster in result["clusters"]]
    # The two people behind one family e-mail are an excluded pair; QA accounts never merge.
    assert ["crm:C-10042"] in labels and ["crm:C-20917"] in labels
    assert ["webshop:W-QA-1"] in labels
    assert ["billing:B-9000", "crm:C-10000", "webshop:W-500"] in labels
    assert len(records) == sum(len(cluster) for cluster in result["clusters"])


DECISION_KEYS = ["blocking_key", "confidence", "decision", "entity_a_id", "entity_b_id",
                 "matched_on", "posterior_probability", "rule_results", "temporal_adjustment"]
RULE_RESULT_KEYS = ["explanation", "matched", "rule_name", "score", "weight"]
RULE_TELEMETRY_KEYS = ["avg_score", "evaluated", "matched", "rule_name", "skip_reason", "skipped"]


def _check_sorted_keys(value, path="result"):
    if isinstance(value, dict):
        assert list(value) == sorted(value), path
        for key, item in value.items():
            _check_sorted_keys(item, f"{path}[{key!r}]")
    elif isinstance(value, list):
        for n, item in enumerate(value):
            _check_sorted_keys(item, f"{path}[{n}]")


def _unicode_records():
    return [record(n, "crm" if n % 2 else "web", f"u{n}", email=f"x{n % 3}@example.com",
                   name=f"Zoë {n % 4}", **{"ørsted": "a", "Ärger": str(n), "zeta": "z"})
            for n in range(1, 40)]


@pytest.mark.parametrize("spec_name", ["email", "fellegi_sunter", "example"])
def test_result_keys_ascend_and_types_hold(native, example_spec, spec_name):
    """Every dict of the result iterates in ascending key order (byte order of the UTF-8
    keys, which is code point order) and every value has its documented type."""
    spec = {"email": EMAIL_SPEC, "fellegi_sunter": FS_SPEC, "example": example_spec}[spec_name]
    records = ((REPO / "examples" / "customers.json").read_text(encoding="utf-8")
               if spec_name == "example" else dumps(_unicode_records()))
    result = native.reconcile_local(spec, records)
    assert result["decisions"]
    _check_sorted_keys(result)
    for decision in result["decisions"]:
        # posterior_probability only where the scoring gives one
        assert list(decision) in (DECISION_KEYS,
                                  [k for k in DECISION_KEYS if k != "posterior_probability"])
        if spec_name == "fellegi_sunter":
            assert type(decision["posterior_probability"]) is float
        assert type(decision["confidence"]) is float
        assert decision["decision"] in ("merge", "review", "no_merge")
        assert all(type(name) is str for name in decision["matched_on"])
        for rule in decision["rule_results"]:
            assert list(rule) == RULE_RESULT_KEYS
            assert type(rule["matched"]) is bool and type(rule["rule_name"]) is str
            assert rule["score"] is None or type(rule["score"]) is float
            assert rule["weight"] is None or type(rule["weight"]) is float
    telemetry = result["telemetry"]
    for key in ("blocking_groups", "pairs_evaluated"):
        assert type(telemetry[key]) is int
    assert all(type(v) is int for v in telemetry["decisions_by_type"].values())
    for rule in telemetry["rule_telemetry"]:
        assert list(rule) == RULE_TELEMETRY_KEYS
        assert type(rule["evaluated"]) is int and type(rule["avg_score"]) is float
    for golden in result["golden_records"]:
        assert all(type(k) is str and type(v) is str for k, v in golden.items())
    for cluster in result["clusters"]:
        assert all(type(i) is str and i == i.lower() and len(i) == 36 for i in cluster)


# Three rules, blocked by city: neighbouring decisions differ in some values and share others.
THREE_RULE_SPEC = """\
api_version: vintrel/v1
identity_version: "1"
entity: {name: person}
sources:
  - name: crm
blocking:
  strategy: single
  keys: [[city]]
rules:
  - {name: email, type: exact, field: email, weight: 1.0}
  - {name: name, type: similarity, algorithm: jaro_winkler, field: name, threshold: 0.8, weight: 0.5}
  - {name: city, type: exact, field: city, weight: 0.25}
decision:
  thresholds: {match: 0.6, review: 0.3}
survivorship:
  default: most_recent
"""


def test_every_decision_holds_its_own_values(native):
    """Each decision's values are its own, however many it shares with the one before: the
    verdict and the confidence follow from its rule results, each rule's outcome from its score,
    its explanation from both, its blocking key from its records; and every dict and list of
    the decisions is an object of its own."""
    rng = random.Random(7)
    syllables = ["an", "bo", "ce", "da", "el", "fi", "go", "ha", "ir", "jo"]
    records = []
    for n in range(1, 241):
        data = {"city": f"Town {n % 3}"}
        if n % 11:
            data["email"] = f"p{rng.randrange(40)}@example.com"
        if n % 13:
            data["name"] = "".join(rng.choice(syllables) for _ in range(rng.randrange(2, 5)))
        records.append(record(n, **data))
    city = {uid(n): records[n - 1]["data"]["city"] for n in range(1, 241)}
    weights = {"email": 1.0, "name": 0.5, "city": 0.25}
    decisions = native.reconcile_local(THREE_RULE_SPEC, dumps(records))["decisions"]
    assert len(decisions) > 3000
    key_of_city = {}
    for d in decisions:
        assert city[d["entity_a_id"]] == city[d["entity_b_id"]]
        key = key_of_city.setdefault(city[d["entity_a_id"]], d["blocking_key"])
        assert d["blocking_key"] == key
        rules = d["rule_results"]
        assert [r["rule_name"] for r in rules] == ["email", "name", "city"]
        assert d["matched_on"] == [r["rule_name"] for r in rules if r["matched"]]
        for r in rules:
            field = r["rule_name"]  # each rule is named after its field
            if r["explanation"] == f"Missing data on field {field}":
                assert (r["weight"], r["matched"]) == (0.0, False)
                continue
            assert r["weight"] == weights[r["rule_name"]]
            if r["rule_name"] == "name":
                shown = float(re.search(r"\(score: ([0-9.]+)\)$", r["explanation"]).group(1))
                assert abs(shown - r["score"]) <= 0.005 + 1e-9
                assert r["matched"] == (r["score"] >= 0.8)
                assert r["explanation"].startswith(
                    "Fuzzy match" if r["matched"] else "Insufficient fuzzy")
            else:
                assert r["matched"] == (r["score"] == 1.0)
                verdict = "Exact match" if r["matched"] else "No match"
                assert r["explanation"] == f"{verdict} on field {field}"
        total = sum(r["score"] * r["weight"] for r in rules)
        weight = sum(r["weight"] for r in rules)
        expected = total / weight * d["temporal_adjustment"]
        assert d["confidence"] == pytest.approx(expected, abs=1e-12)
        assert d["decision"] == ("merge" if d["confidence"] >= 0.6
                                 else "review" if d["confidence"] >= 0.3 else "no_merge")
    assert len(set(key_of_city.values())) == 3
    # Every dict and list its own object, so that a change to one cannot show in another.
    for objects in ([d for d in decisions], [r for d in decisions for r in d["rule_results"]],
                    [d[k] for d in decisions for k in ("matched_on", "rule_results")]):
        assert len({id(o) for o in objects}) == len(objects)
    # The values do change from one decision to the next.
    assert len({round(d["confidence"], 9) for d in decisions}) > 20
    assert len({r["explanation"] for d in decisions for r in d["rule_results"]}) > 20


def test_repeated_texts_are_shared_objects(native):
    """Rule names, decision texts and identifiers are one object per text within a result (the
    memory of a large result depends on it); equal values, so nothing else can tell."""
    result = native.reconcile_local(EMAIL_SPEC, dumps(generated(300, 20)))
    decisions = result["decisions"]
    assert len(decisions) > 10
    assert len({id(d["decision"]) for d in decisions}) <= 3
    assert len({id(d["rule_results"][0]["rule_name"]) for d in decisions}) == 1
    assert len({id(key) for d in decisions for key in d}) == len(DECISION_KEYS) - 1
    in_clusters = {i: i for cluster in result["clusters"] for i in cluster}
    assert all(in_clusters[d["entity_a_id"]] is d["entity_a_id"] for d in decisions)


def test_large_results_built_side_by_side_are_identical(native):
    """Results large enough to be built from memory prepared ahead by another thread, built by
    several threads at once while one more keeps allocating and freeing Python objects: each
    equals the result built alone, and the objects of every thread stay intact."""
    records = dumps(generated(400, 2))
    alone = native.reconcile_local(EMAIL_SPEC, records)
    assert len(alone["decisions"]) > 30000
    results = [None] * 3
    stop = threading.Event()
    kept = []

    def churn():
        n = 0
        while not stop.is_set():
            kept.append([{"n": n, "text": f"item {n}"} for n in range(n, n + 500)])
            if len(kept) > 40:
                kept.pop(0)
            n += 500

    def build(slot):
        results[slot] = native.reconcile_local(EMAIL_SPEC, records)

    churner = threading.Thread(target=churn)
    builders = [threading.Thread(target=build, args=(slot,)) for slot in range(len(results))]
    churner.start()
    try:
        for builder in builders:
            builder.start()
        for builder in builders:
            builder.join()
    finally:
        stop.set()
        churner.join()
    assert all(result == alone for result in results)
    assert all(item["text"] == f"item {item['n']}" for batch in kept for item in batch)


def _repeated_identifiers():
    # Identifiers 1..40 twice (the later record stands), sharing emails in groups of three.
    first = [record(n, "crm", f"a{n}", email=f"old{n}@x.org") for n in range(1, 41)]
    later = [record(n, "web", f"b{n}", email=f"p{n % 13}@x.org") for n in range(1, 41)]
    return first + generated(60, 11) + later


SHARED_ID_CASES = [
    # (name, new records, existing records, existing clusters or None for a batch run)
    ("batch", generated(300, 20), [], None),
    ("batch, identifiers sent twice", _repeated_identifiers(), [], None),
    ("incremental, clusters with unknown and repeated identifiers",
     generated(300, 20)[200:], generated(300, 20)[:200],
     [[uid(n) for n in range(1, 200, 7)], [uid(999), uid(998)], [uid(999)], ["bad"],
      [uid(n) for n in range(2, 200, 7)]]),
]


@pytest.mark.parametrize("name, new, existing, clusters", SHARED_ID_CASES,
                         ids=[case[0] for case in SHARED_ID_CASES])
def test_decision_identifiers_are_the_pairs_records(native, name, new, existing, clusters):
    """Each decision names the two records it compared (the rule only merges equal emails),
    with the identifier texts the clusters list, and the same objects."""
    if clusters is None:
        result = native.reconcile_local(EMAIL_SPEC, dumps(new))
    else:
        result = native.reconcile_incremental(EMAIL_SPEC, dumps(new), dumps(existing),
                                              json.dumps(clusters), None)
    email_of = {r["id"]: r["data"]["email"] for r in existing + new}  # the later record stands
    decisions = result["decisions"]
    assert len(decisions) > 10
    listed = {}
    for cluster in result["clusters"]:
        for i in cluster:
            listed.setdefault(i, i)
    for d in decisions:
        a, b = d["entity_a_id"], d["entity_b_id"]
        assert a != b and email_of[a] == email_of[b], (name, a, b)
        assert listed[a] is a and listed[b] is b
    cluster_of = {i: n for n, cluster in enumerate(result["clusters"]) for i in cluster}
    assert all(cluster_of[d["entity_a_id"]] == cluster_of[d["entity_b_id"]] for d in decisions)


# ---------------------------------------------------------------------------------------------
# Trained parameters


def test_trained_params_present_only_with_fellegi_sunter(native):
    records = dumps(sample_records())
    assert native.reconcile_local(EMAIL_SPEC, records)["trained_fs_params"] is None
    assert native.reconcile_incremental(EMAIL_SPEC, records, "[]", "[]", None)["trained_fs_params"] is None
    text = native.reconcile_local(FS_SPEC, records)["trained_fs_params"]
    assert isinstance(text, str)
    assert " " not in text and "\n" not in text
    params = json.loads(text)
    assert [field["name"] for field in params["fields"]] == ["email", "name"]
    assert params["em_training"]["max_iterations"] == 20


def test_given_trained_params_are_used_and_rewritten(native):
    records = dumps(sample_records())
    trained = json.loads(native.reconcile_local(FS_SPEC, records)["trained_fs_params"])
    trained["fields"][0]["m_probability"] = 0.75
    given = json.dumps(trained, indent=2)  # not compact: the output is written anew
    for spec in (FS_SPEC, EMAIL_SPEC):
        out = native.reconcile_incremental(spec, records, "[]", "[]", given)["trained_fs_params"]
        # No training ran, although FS_SPEC asks for it: the values are the given ones.
        assert json.loads(out) == trained
        assert out != given and "\n" not in out


def test_trained_params_feed_the_next_run(native):
    records = dumps(sample_records())
    first = native.reconcile_local(FS_SPEC, records)
    again = native.reconcile_incremental(FS_SPEC, records, "[]", "[]", first["trained_fs_params"])
    assert again["trained_fs_params"] == first["trained_fs_params"]


# Specs whose real runs write trained parameters at the edges of what training produces:
# probabilities clamped to both bounds, a field name given twice (each entry is kept),
# negative and large weights, a held u from random pairs, no training at all.
ROUND_TRIP_SPECS = {
    "trained": FS_SPEC,
    "clamped bounds": FS_SPEC.replace("m_probability: 0.9, u_probability: 0.1",
                                      "m_probability: 1, u_probability: 0"),
    "repeated field": FS_SPEC.replace(
        "      - {name: name,",
        "      - {name: email, comparator: jaro_winkler, m_probability: 0, u_probability: 1, "
        "weight: -3}\n      - {name: name,"),
    "large weight": FS_SPEC.replace("u_probability: 0.2}", "u_probability: 0.2, weight: 1e300}"),
    "random u": FS_SPEC.replace("max_iterations: 20}", "max_iterations: 20, estimate_u: random_sampling}"),
    "no training": FS_SPEC.replace("    training: {method: em, max_iterations: 20}\n", ""),
    "all bounds": FS_SPEC.replace("max_iterations: 20}", "max_iterations: 0}").replace(
        "m_probability: 0.8, u_probability: 0.2", "m_probability: 0.0000001, u_probability: 7"),
}


@pytest.mark.parametrize("name", sorted(ROUND_TRIP_SPECS))
def test_trained_params_of_real_runs_are_accepted_again(native, name):
    spec = ROUND_TRIP_SPECS[name]
    records = dumps(generated(60, 4) + sample_records())
    first = native.reconcile_local(spec, records)["trained_fs_params"]
    assert first is not None
    again = native.reconcile_incremental(spec, records, "[]", "[]", first)
    assert again["trained_fs_params"] == first
    params = json.loads(first)
    for field in params["fields"]:
        assert 0.0001 <= field["m_probability"] <= 0.9999
        assert 0.0001 <= field["u_probability"] <= 0.9999


# Four records in one block on which EM never settles: m alternates between two values for
# ever while the log-likelihood stays put, so no threshold of 0, NaN or below ends training.
CYCLE_SPEC = """\
api_version: vintrel/v1
identity_version: "1"
entity: {{name: person}}
sources:
  - name: crm
blocking:
  strategy: single
  keys: [[blk]]
rules: []
decision:
  thresholds: {{match: 0.9}}
  scoring:
    strategy: fellegi_sunter
    fields:
      - {{name: v, comparator: levenshtein, m_probability: 0.9, u_probability: 0.1}}
    thresholds: {{match: 2, possible: 0, non_match: -2}}
    training: {{method: em, max_iterations: {iterations}, convergence_threshold: {threshold}}}
"""
CYCLE_RECORDS = [record(n, blk="b", v=v) for n, v in enumerate(["aaaa", "bbbb", "bbbb", "baaa"], 1)]


def cycle_spec(iterations, threshold) -> str:
    return CYCLE_SPEC.format(iterations=iterations, threshold=threshold)


def trained_fields(native, iterations, threshold):
    result = native.reconcile_local(cycle_spec(iterations, threshold), dumps(CYCLE_RECORDS))
    return json.loads(result["trained_fs_params"])["fields"]


@pytest.mark.parametrize("threshold", ["0", ".nan", "-1", "-.inf"])
@pytest.mark.parametrize("iterations, same_as", [(2**64 - 1, 1001), (2**64 - 2, 1000)])
def test_endless_em_cycle_ends_with_the_full_runs_result(native, threshold, iterations, same_as):
    # In a child process with a timeout: this call once never returned.
    code = f"""
        import json
        from vintrel import _native
        result = _native.reconcile_local({cycle_spec(iterations, threshold)!r},
                                         {dumps(CYCLE_RECORDS)!r})
        print(json.dumps(json.loads(result["trained_fs_params"])["fields"]))
    """
    done = run_isolated(code, timeout=60)
    assert done.returncode == 0, done.stderr
    # The parity of the iteration bound decides where along the two-cycle the run ends.
    assert json.loads(done.stdout) == trained_fields(native, same_as, threshold)


def test_em_cycle_parity_is_visible(native):
    even, odd = trained_fields(native, 1000, "0"), trained_fields(native, 1001, "0")
    assert even[0]["m_probability"] != odd[0]["m_probability"]
    assert trained_fields(native, 1002, "0") == even


# ---------------------------------------------------------------------------------------------
# Incremental


def test_incremental_never_splits_existing_clusters(native):
    existing = [
        record(1, "crm", "c1", email="ann@x.org"),
        record(2, "crm", "c2", email="other@x.org"),
        record(4, "crm", "c4", email="same@x.org"),
        record(5, "web", "w5", email="same@x.org"),
    ]
    new = [record(3, "web", "w3", email="ann@x.org")]
    clusters = [[uid(2), uid(1), "not-a-uuid"], ["nope"], [uid(77)]]
    result = native.reconcile_incremental(EMAIL_SPEC, dumps(new), dumps(existing),
                                          json.dumps(clusters), None)
    assert list(result) == RESULT_KEYS
    # 1 and 2 were clustered before and stay together; 3 joins them through 1; 4 and 5 both
    # existed, so their pair is not evaluated; the unknown identifier 77 adds nothing.
    assert result["clusters"] == [[uid(1), uid(2), uid(3)], [uid(4)], [uid(5)]]
    assert [(d["entity_a_id"], d["entity_b_id"]) for d in result["decisions"]] == [(uid(1), uid(3))]
    assert result["telemetry"]["pairs_evaluated"] == 1
    assert result["golden_records"][0]["vintrel_id"] == vtl("crm:c1", "crm:c2", "web:w3")
    assert result["golden_records"][0]["member_count"] == "3"


UPDATED_RECORD_CASES = [
    # (name, existing, new, existing clusters, expected clusters, expected golden (id texts, name))
    ("updated record alone",
     [record(1, "crm", "c1", email="a@x.org", name="Old")],
     [record(1, "crm", "c1", email="b@x.org", name="New", updated="2024-02-01T00:00:00Z")],
     [[uid(1)]], [[uid(1)]], [(("crm:c1",), "New")]),
    ("updated record keeps its existing cluster",
     [record(1, "crm", "c1", email="a@x.org", name="Old"), record(2, "web", "w2", email="q@x.org")],
     [record(1, "crm", "c1x", email="a@x.org", name="New")],
     [[uid(1), uid(2)]], [[uid(1), uid(2)]], [(("crm:c1x", "web:w2"), "New")]),
    ("updated record now matches a new record",
     [record(1, "crm", "c1", email="a@x.org", name="Old")],
     [record(1, "crm", "c1", email="b@x.org", name="New"), record(3, "web", "w3", email="b@x.org")],
     [[uid(1)]], [[uid(1), uid(3)]], [(("crm:c1", "web:w3"), "New")]),
    ("two copies in the new records: the later wins",
     [],
     [record(1, "crm", "first", email="a@x.org", name="First"),
      record(1, "crm", "second", email="b@x.org", name="Second")],
     [], [[uid(1)]], [(("crm:second",), "Second")]),
    ("updated record now matches an existing record",
     [record(1, "crm", "c1", email="a@x.org", name="Old"),
      record(2, "web", "w2", email="b@x.org", name="Two")],
     [record(1, "crm", "c1", email="b@x.org", name="Newer")],
     [[uid(1)], [uid(2)]], [[uid(1), uid(2)]], [(("crm:c1", "web:w2"), "Newer")]),
    ("existing record sent again unchanged",
     [record(1, "crm", "c1", email="a@x.org", name="Anna"),
      record(2, "web", "w2", email="a@x.org", name="Bo"),
      record(3, "web", "w3", email="b@x.org", name="Cy")],
     [record(1, "crm", "c1", email="a@x.org", name="Anna")],
     [[uid(1), uid(2)], [uid(3)]], [[uid(1), uid(2)], [uid(3)]],
     [(("crm:c1", "web:w2"), "Anna"), (("web:w3",), "Cy")]),
    ("first member of an existing cluster gone: the others stay together",
     [record(2, "crm", "c2", email="a@x.org", name="Two"),
      record(3, "web", "w3", email="b@x.org", name="Three")],
     [], [[uid(1), uid(2), uid(3)]], [[uid(2), uid(3)]], [(("crm:c2", "web:w3"), "Three")]),
]


@pytest.mark.parametrize("name, existing, new, clusters, expected, golden", UPDATED_RECORD_CASES,
                         ids=[case[0] for case in UPDATED_RECORD_CASES])
def test_incremental_updated_record_stands_for_its_identifier(native, name, existing, new,
                                                              clusters, expected, golden):
    """An identifier that is sent again (an updated record) is represented by its last record:
    listed in exactly one cluster, with the updated data in the golden record."""
    result = native.reconcile_incremental(EMAIL_SPEC, dumps(new), dumps(existing),
                                          json.dumps(clusters), None)
    assert result["clusters"] == expected
    listed = [i for cluster in result["clusters"] for i in cluster]
    assert len(listed) == len(set(listed))
    assert [(g["vintrel_id"], g["name"]) for g in result["golden_records"]] == \
        [(vtl(*texts), value) for texts, value in golden]
    assert [g["member_count"] for g in result["golden_records"]] == \
        [str(len(c)) for c in expected]


# Records blocked by city, merged by e-mail.
CITY_SPEC = EMAIL_SPEC.replace("keys: [[email]]", "keys: [[city]]")

SUPERSEDED_COPY_CASES = [
    # (name, existing records or None for reconcile_local, records, existing clusters,
    #  expected clusters, expected pairs_evaluated, expected decisions_by_type)
    ("updated record is not paired through its old city", [
        record(1, "crm", "e1", email="a@x", city="boston"),
        record(2, "web", "x", email="z@x", city="boston")],
     [record(1, "crm", "e1", email="z@x", city="denver")],
     [[uid(1)], [uid(2)]], [[uid(1)], [uid(2)]], 0, {}),
    ("updated record is not paired through its old city, one call", None,
     [record(1, "crm", "e1", email="a@x", city="boston"),
      record(2, "web", "x", email="z@x", city="boston"),
      record(1, "crm", "e1", email="z@x", city="denver")],
     [], [[uid(1)], [uid(2)]], 0, {}),
    ("resent record is counted once", None,
     [record(1, "crm", "a", email="a@x", city="boston"),
      record(2, "web", "b", email="a@x", city="boston"),
      record(1, "crm", "a", email="a@x", city="boston")],
     [], [[uid(1), uid(2)]], 1, {"merge": 1}),
    ("resent existing record is counted once", [
        record(1, "crm", "a", email="a@x", city="boston")],
     [record(2, "web", "b", email="a@x", city="boston"),
      record(1, "crm", "a", email="a@x", city="boston")],
     [[uid(1)]], [[uid(1), uid(2)]], 1, {"merge": 1}),
    ("record sent three times, once in another city", None,
     [record(1, "crm", "a", email="q@x", city="denver"),
      record(1, "crm", "a", email="a@x", city="boston"),
      record(2, "web", "b", email="b@x", city="boston"),
      record(1, "crm", "a", email="a@x", city="boston")],
     [], [[uid(1)], [uid(2)]], 1, {"nomerge": 1}),
]


@pytest.mark.parametrize("name, existing, records, clusters, expected, pairs, by_type",
                         SUPERSEDED_COPY_CASES, ids=[case[0] for case in SUPERSEDED_COPY_CASES])
def test_superseded_copies_take_no_part(native, name, existing, records, clusters, expected,
                                        pairs, by_type):
    """Only the last record of an identifier is blocked and paired: an earlier copy neither
    pairs the identifier through values it no longer has nor counts its pairs again."""
    if existing is None:
        result = native.reconcile_local(CITY_SPEC, dumps(records))
    else:
        result = native.reconcile_incremental(CITY_SPEC, dumps(records), dumps(existing),
                                              json.dumps(clusters), None)
    assert result["clusters"] == expected
    telemetry = result["telemetry"]
    assert telemetry["pairs_evaluated"] == pairs
    assert telemetry["decisions_by_type"] == by_type
    assert [r["evaluated"] for r in telemetry["rule_telemetry"]] == ([pairs] if pairs else [])


def test_local_repeated_identifier_listed_once(native):
    records = [record(1, "crm", "a", email="a@x.org", name="First"),
               record(2, "web", "b", email="b@x.org"),
               record(1, "crm", "c", email="b@x.org", name="Last")]
    result = native.reconcile_local(EMAIL_SPEC, dumps(records))
    assert result["clusters"] == [[uid(1), uid(2)]]
    [golden] = result["golden_records"]
    assert (golden["vintrel_id"], golden["name"]) == (vtl("crm:c", "web:b"), "Last")


def test_incremental_keeps_every_previous_cluster_whole(native):
    records = generated(200, 25)
    existing, new = records[:150], records[150:]
    before = native.reconcile_local(EMAIL_SPEC, dumps(existing))["clusters"]
    after = native.reconcile_incremental(EMAIL_SPEC, dumps(new), dumps(existing),
                                         json.dumps(before), None)["clusters"]
    cluster_of = {i: n for n, cluster in enumerate(after) for i in cluster}
    for cluster in before:
        assert len({cluster_of[i] for i in cluster}) == 1
    assert sorted(cluster_of) == sorted(r["id"] for r in records)


def test_incremental_without_existing_records_equals_batch(native):
    records = dumps(generated(120, 9))
    assert native.reconcile_incremental(EMAIL_SPEC, records, "[]", "[]", None) == \
        native.reconcile_local(EMAIL_SPEC, records)


# ---------------------------------------------------------------------------------------------
# Errors


LOCAL_ERRORS = [
    (EMAIL_SPEC, "", "Invalid entities JSON: EOF while parsing a value at line 1 column 0"),
    (EMAIL_SPEC, "[] x", "Invalid entities JSON: trailing characters at line 1 column 4"),
    (EMAIL_SPEC, "{}", "Invalid entities JSON: invalid type: map, expected a sequence at line 1 column 0"),
    ("api_version: vintrel/v1\n", "[]", "Invalid spec YAML: missing field `identity_version`"),
    # The spec is read first: a bad spec is reported even when the records are bad too.
    ("api_version: vintrel/v1\n", "nope", "Invalid spec YAML: missing field `identity_version`"),
]


@pytest.mark.parametrize("spec,entities,message", LOCAL_ERRORS)
def test_local_errors(native, spec, entities, message):
    with pytest.raises(ValueError) as info:
        native.reconcile_local(spec, entities)
    assert info.value.args == (message,)


def test_yaml_syntax_error_carries_the_reader_message(native):
    with pytest.raises(ValueError) as info:
        native.reconcile_local("a: [", "[]")
    assert str(info.value).startswith("Invalid spec YAML: ")
    assert " at line " in str(info.value)


GOOD = dumps([record(1, email="a@x")])

INCREMENTAL_ERRORS = [
    # (new, existing, clusters, trained, message): inputs are read in this order:
    # trained parameters, new records, existing records, existing clusters.
    ("x", "x", "x", "", "Invalid trained_fs_params: EOF while parsing a value at line 1 column 0"),
    ("x", "x", "x", "[", "Invalid trained_fs_params: EOF while parsing a list at line 1 column 1"),
    ("x", GOOD, "[]", None, "Invalid new entities JSON: expected value at line 1 column 1"),
    (GOOD, "[1]", "x", None,
     "Invalid existing entities JSON: invalid type: integer `1`, expected struct NormalizedEntity at line 1 column 2"),
    (GOOD, "[]", "{}", None,
     "Invalid existing clusters JSON: invalid type: map, expected a sequence at line 1 column 0"),
    (GOOD, "[]", "[[5]]", None,
     "Invalid existing clusters JSON: invalid type: integer `5`, expected a string at line 1 column 3"),
    (GOOD, "[]", '["a"]', None,
     'Invalid existing clusters JSON: invalid type: string "a", expected a sequence at line 1 column 4'),
    (GOOD, "[]", "[[]] []", None, "Invalid existing clusters JSON: trailing characters at line 1 column 6"),
]


@pytest.mark.parametrize("new,existing,clusters,trained,message", INCREMENTAL_ERRORS)
def test_incremental_errors(native, new, existing, clusters, trained, message):
    with pytest.raises(ValueError) as info:
        native.reconcile_incremental(EMAIL_SPEC, new, existing, clusters, trained)
    assert info.value.args == (message,)


# Inputs of more than a megabyte are read on several cores; their faults must be reported as
# for a small input: the first fault in text order, with its own line and column.
GOOD_LINE = json.dumps(record(1, email="a@x", name="Ann"))
FAULTY_LINES = [
    json.dumps(record(9, id_text="not-a-uuid")),
    json.dumps(record(9, updated="2024-13-01T00:00:00Z")),
    json.dumps(record(9)).replace('"crm"', "5"),
    json.dumps(record(9))[:-1] + ', "id": "x"}',
    '{"id": "' + uid(9) + '"}',
    json.dumps(record(9)).replace('"data": {}', '"data": {"a": "\\q"}'),
    json.dumps(record(9)).replace('"data": {}', '"data": {"a": "\\ud800"}'),
    "[" + ", ".join(json.dumps(v) for v in list(record(9).values())[:8]) + "]",
    json.dumps(record(9))[:-1],
    "nul",
]


def entity_lines(lines) -> str:
    return "[" + ",\n".join(lines) + "]"


@pytest.mark.parametrize("faulty", FAULTY_LINES)
def test_large_inputs_report_the_first_fault_like_small_ones(native, faulty):
    def message(text):
        with pytest.raises(ValueError) as info:
            native.reconcile_local(EMAIL_SPEC, text)
        return info.value.args[0]

    small = message(entity_lines([GOOD_LINE, faulty, GOOD_LINE]))
    line = int(re.search(r" at line (\d+) column \d+$", small).group(1))
    assert line in (2, 3)  # the faulty line, or the next one for a record left open
    before = 6000
    large_text = entity_lines([GOOD_LINE] * before + [faulty] + [GOOD_LINE] * 3000 +
                              [FAULTY_LINES[0]] + [GOOD_LINE] * 10)
    assert len(large_text) > 2 << 20
    assert message(large_text) == small.replace(f" at line {line} ", f" at line {line + before - 1} ")


def test_large_inputs_report_trailing_characters(native):
    lines = [GOOD_LINE] * 8000
    with pytest.raises(ValueError) as info:
        native.reconcile_local(EMAIL_SPEC, entity_lines(lines) + " x")
    assert info.value.args == (
        f"Invalid entities JSON: trailing characters at line {len(lines)} "
        f"column {len(GOOD_LINE) + 3}",)


def test_incremental_spec_is_read_first(native):
    with pytest.raises(ValueError) as info:
        native.reconcile_incremental("api_version: vintrel/v1\n", "x", "x", "x", "")
    assert info.value.args == ("Invalid spec YAML: missing field `identity_version`",)


def test_non_uuid_cluster_members_are_dropped_silently(native):
    existing = dumps([record(1, email="a@x"), record(2, email="b@x")])
    clusters = json.dumps([["junk", uid(1), "", uid(2).upper()], ["only junk"], []])
    result = native.reconcile_incremental(EMAIL_SPEC, "[]", existing, clusters, None)
    assert result["clusters"] == [[uid(1), uid(2)]]


def test_garbage_collector_state_is_left_as_found(native):
    import gc
    records = dumps(generated(50, 5))
    assert gc.isenabled()
    native.reconcile_local(EMAIL_SPEC, records)
    assert gc.isenabled()
    gc.disable()
    try:
        native.reconcile_local(EMAIL_SPEC, records)
        assert not gc.isenabled()
    finally:
        gc.enable()
    # Failed calls (bad input, every stage) leave it as found too.
    for enabled in (True, False):
        (gc.enable if enabled else gc.disable)()
        try:
            with pytest.raises(ValueError):
                native.reconcile_local(EMAIL_SPEC, records + "x")
            with pytest.raises(ValueError):
                native.reconcile_incremental(EMAIL_SPEC, records, "[]", "[[1]]", None)
            assert gc.isenabled() == enabled
        finally:
            gc.enable()


def test_nothing_process_wide_is_seen_outside_a_call(native):
    """Calls large enough to pause the collector and supply the host's arenas from memory
    prepared ahead, while another thread keeps switching the collector on and off and looking
    at it and at the arena allocator whenever it runs: that thread always finds the collector
    as it left it and the allocator as it was before the calls."""
    import ctypes
    import gc

    class ArenaAllocator(ctypes.Structure):
        _fields_ = [("ctx", ctypes.c_void_p), ("alloc", ctypes.c_void_p),
                    ("free", ctypes.c_void_p)]

    def arena_allocator():
        allocator = ArenaAllocator()
        ctypes.pythonapi.PyObject_GetArenaAllocator(ctypes.byref(allocator))
        return allocator.ctx, allocator.alloc, allocator.free

    records = dumps(generated(400, 2))
    host = arena_allocator()
    done = threading.Event()
    seen = {"polls": 0, "collector changed": 0, "allocator changed": 0}

    def poll():
        enabled = True
        while not done.is_set():
            seen["polls"] += 1
            seen["collector changed"] += gc.isenabled() != enabled
            seen["allocator changed"] += arena_allocator() != host
            enabled = not enabled
            (gc.enable if enabled else gc.disable)()

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    poller = threading.Thread(target=poll)
    try:
        poller.start()
        for _ in range(3):
            assert len(native.reconcile_local(EMAIL_SPEC, records)["decisions"]) > 30000
    finally:
        done.set()
        poller.join()
        sys.setswitchinterval(previous)
        gc.enable()
    assert seen["polls"] > 100
    assert seen["collector changed"] == 0 and seen["allocator changed"] == 0, seen


# ---------------------------------------------------------------------------------------------
# The interpreter lock


def _progress_during(call, state) -> int:
    before = state["count"]
    call()
    return state["count"] - before


@pytest.mark.skipif(hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled(),
                    reason="no interpreter lock to release")
def test_lock_released_for_all_work_but_building_the_result(native, example_spec):
    """With a huge switch interval the interpreter never takes the lock away from a running
    thread, so another thread makes progress during a call exactly when the call releases the
    lock. A spinning thread that counts and sleeps (releasing the lock) observes that: the
    reconcile functions release it for reading, training, pair evaluation, clustering and
    golden records, also when the input turns out bad at its very end."""
    # 4 blocks of 2000 records: 8 million pairs, none of which matches (every e-mail differs).
    records = dumps([record(n, external_id=f"x{n}", email=f"p{n}@example.com", zip=str(n % 4))
                     for n in range(8000)])
    spec = EMAIL_SPEC.replace("keys: [[email]]", "keys: [[zip]]")
    state = {"count": 0, "stop": False}
    started = threading.Event()

    def spin():
        started.set()
        while not state["stop"]:
            state["count"] += 1
            time.sleep(0.0002)

    previous = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    spinner = threading.Thread(target=spin)
    try:
        spinner.start()
        started.wait()
        held = _progress_during(lambda: [native.validate(example_spec) for _ in range(50)], state)
        local = _progress_during(lambda: native.reconcile_local(spec, records), state)
        incremental = _progress_during(
            lambda: native.reconcile_incremental(spec, records, "[]", "[]", None), state)
        # 32,000 records read before the trailing garbage is found.
        bad = "[" + ",".join([records[1:-1]] * 4) + "] x"
        failed = _progress_during(
            lambda: pytest.raises(ValueError, native.reconcile_local, spec, bad), state)
        # No pair at all (every record in a block of its own): reading, clustering and
        # golden records alone.
        unpaired = _progress_during(
            lambda: native.reconcile_local(EMAIL_SPEC, records), state)
    finally:
        state["stop"] = True
        sys.setswitchinterval(previous)
        spinner.join()
    assert held == 0
    assert failed > 0
    assert unpaired > 0
    assert local > 0
    assert incremental > 0
