"""Shows that two builds of the module give the same results: runs a fixed set of generated
reconcile workloads (every scoring method, every rule kind, multi-key blocking with pairs shared
by several blocks, one big block, temporal bounds, clustering settings, incremental runs with
given Fellegi-Sunter parameters, and bad inputs) through each build in a child process and
compares the results text for text (key order, values and types included). Used to check that
speed and memory work changes nothing observable; asserts nothing beyond that comparison.

    python3 bench/result_equivalence.py --baseline /path/to/old/site   # old vs installed build
    python3 bench/result_equivalence.py --dump out.txt                 # this build's results only

`--baseline` names a directory holding an older `vintrel` package; it is put first on
PYTHONPATH of the child that stands for the old build. The other child keeps the caller's
PYTHONPATH, so that `PYTHONPATH=$WT/.site` compares a build installed there.
"""

import argparse
import json
import os
import pathlib
import random
import subprocess
import sys
import tempfile
import uuid

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import dense_graph_clustering_bench as dense_bench  # noqa: E402 - beside this file

ROOT = pathlib.Path(__file__).resolve().parents[1]
TENANTS = ["7d444840-9dc0-11d1-b245-5ffdce74fad2", "1b4e28ba-2fa1-11d2-883f-0016d3cca427"]
FIRST = ["Anna", "Ann", "William", "Bill", "Maria", "Marie", "James", "Jim", "Sophie", "José",
         "Hiroshi", "Olivia", "Robert", "Bob", "Chen", "Zoë", "Lukas", "Fatima", "Noah", "Ines"]
LAST = ["Kowalski", "Kowalsky", "Turner", "Garcia", "García", "O'Brien", "Martin", "Tanaka",
        "Smith", "Smyth", "Johnson", "Wei", "Müller", "Mueller", "Schneider", "Haddad", "Silva"]

HEAD = """\
api_version: vintrel/v1
identity_version: "1"
entity: {name: person}
sources:
  - name: crm
    reliability: 0.95
  - name: web
    reliability: 0.8
  - name: billing
"""

SEVEN_RULES = """\
rules:
  - {name: first, type: similarity, field: first_name, algorithm: jaro_winkler, threshold: 0.85, weight: 0.5, normalizer: name}
  - {name: last, type: similarity, field: last_name, algorithm: jaro_winkler, threshold: 0.88, weight: 0.8, normalizer: name}
  - {name: street, type: similarity, field: street, algorithm: levenshtein, threshold: 0.8, weight: 0.4}
  - {name: email, type: exact, field: email, weight: 1.0, options: {case_insensitive: true, normalizer: email}}
  - {name: phone, type: exact, field: phone, weight: 0.7, options: {normalizer: phone}}
  - {name: dob, type: exact, field: dob, weight: 0.6}
  - {name: zip, type: exact, field: zip, weight: 0.3}
"""

ALL_KINDS = """\
rules:
  - {name: jw, type: similarity, fields: [first_name, last_name], algorithm: jaro_winkler, threshold: 0.88, weight: 0.6, normalizer: name}
  - {name: lev, type: similarity, field: last_name, algorithm: levenshtein, threshold: 0.7, weight: 0.3}
  - {name: sdx, type: similarity, field: last_name, algorithm: soundex, threshold: 1.0, weight: 0.2}
  - {name: mph, type: similarity, field: first_name, algorithm: metaphone, threshold: 1.0, weight: 0.2}
  - {name: cos, type: similarity, field: street, algorithm: cosine, threshold: 0.6, weight: 0.3}
  - {name: geo, type: similarity, fields: [lat, lon], algorithm: haversine, threshold: 0.5, weight: 0.3}
  - {name: age, type: range, field: age, tolerance: 2, weight: 0.2}
  - name: both
    type: composite
    operator: and
    children:
      - {name: dob_exact, type: exact, field: dob}
      - {name: zip_exact, type: exact, field: zip, options: {normalize: true}}
  - name: either
    type: composite
    operator: or
    children:
      - {name: email_exact, type: exact, field: email, options: {case_insensitive: true}}
      - {name: phone_exact, type: exact, field: phone, options: {normalizer: phone}}
"""

MULTI_KEY = "blocking:\n  strategy: composite\n  keys: [[last_name, zip], [first_name, dob], [email]]\n"
ONE_KEY = "blocking:\n  strategy: single\n  keys: [[tag]]\n"

DECISION = """\
decision:
  thresholds: {match: 0.8, review: 0.6}
  tie_breaking: [exact_match_priority, earliest_timestamp, lowest_entity_id]
"""

FS_FIELDS = """\
    fields:
      - {name: email, comparator: exact, m_probability: 0.95, u_probability: 0.01}
      - {name: first, comparator: jaro_winkler, m_probability: 0.9, u_probability: 0.1}
      - {name: last, comparator: jaro_winkler, m_probability: 0.9, u_probability: 0.05}
      - {name: dob, comparator: exact, m_probability: 0.85, u_probability: 0.02}
      - {name: street, comparator: levenshtein, m_probability: 0.7, u_probability: 0.2}
    thresholds: {match: 4, possible: 1, non_match: -2}
"""

SURVIVORSHIP = """\
survivorship:
  default: most_recent
  overrides:
    - {field: email, strategy: source_priority, priority: [crm, web, billing]}
    - {field: phone, strategy: most_complete}
    - {field: spend, strategy: aggregate, function: sum}
"""


def spec(*parts: str) -> str:
    return HEAD + "".join(parts)


SPECS = {
    "weighted_sum": spec(MULTI_KEY, SEVEN_RULES, DECISION, SURVIVORSHIP),
    "all_rule_kinds": spec(MULTI_KEY, ALL_KINDS, DECISION, SURVIVORSHIP),
    "fellegi_sunter_logged": spec(
        MULTI_KEY, SEVEN_RULES,
        "decision:\n  thresholds: {match: 0.8}\n  scoring:\n    strategy: fellegi_sunter\n",
        FS_FIELDS, "governance: {log_probabilities: true}\n", SURVIVORSHIP),
    "fellegi_sunter_em": spec(
        MULTI_KEY, SEVEN_RULES,
        "decision:\n  thresholds: {match: 0.8}\n  scoring:\n    strategy: fellegi_sunter\n",
        FS_FIELDS, "    training: {method: em, max_iterations: 20}\n", SURVIVORSHIP),
    "custom": spec(
        MULTI_KEY, SEVEN_RULES,
        "decision:\n  thresholds: {match: 0.7, review: 0.5}\n  scoring:\n    method: custom\n"
        "    custom: {expression: 'max(email, phone) * 0.6 + (first + last) * 0.2 + min(dob, zip) * 0.1'}\n",
        SURVIVORSHIP),
    "ml_ensemble": spec(
        MULTI_KEY, SEVEN_RULES,
        "decision:\n  thresholds: {match: 0.9, review: 0.7}\n  scoring:\n    method: ml_ensemble\n"
        "    ml_ensemble: {coefficients: {email: 3.0, first: 1.5, last: 2.0, dob: 1.0, street: 0.5}, bias: -3.5}\n",
        SURVIVORSHIP),
    "graph_clustering": spec(
        MULTI_KEY, SEVEN_RULES,
        "decision:\n  thresholds: {match: 0.75, review: 0.6}\n"
        "  clustering: {method: graph, min_edge_weight: 0.8, min_cluster_coherence: 0.7, max_cluster_size: 4}\n"
        "  min_total_weight: 1.5\n  allow_single_field: [email]\n",
        SURVIVORSHIP),
    "big_block": spec(ONE_KEY, SEVEN_RULES, DECISION, SURVIVORSHIP),
    "example": (ROOT / "examples" / "customer.yaml").read_text(encoding="utf-8"),
}


def person_records(count: int, seed: int, *, big_tag: bool = False) -> list[dict]:
    """Persons seen in one to three sources, with typos, nicknames, case changes, missing
    fields, shared surnames, temporal bounds on some copies and two tenants."""
    rng = random.Random(seed)
    out: list[dict] = []
    person = 0
    while len(out) < count:
        person += 1
        first, last = rng.choice(FIRST), rng.choice(LAST)
        email = f"{first}.{last}.{person % 300}@example.com".lower()
        base = {
            "first_name": first, "last_name": last, "email": email,
            "phone": f"+1 ({200 + person % 80}) 555-{person % 10000:04d}",
            "dob": f"19{50 + person % 50}-{1 + person % 12:02d}-{1 + person % 28:02d}",
            "zip": f"{10000 + rng.randrange(40)}", "street": f"{person % 97} Elm Street",
            "lat": f"{52.5 + rng.random() / 100:.5f}", "lon": f"{13.4 + rng.random() / 100:.5f}",
            "age": str(20 + person % 60), "spend": str(rng.randrange(1000)),
            "loyalty_id": f"L{person}" if rng.random() < 0.3 else "",
            "tag": "all" if big_tag else str(person % 5),
        }
        for source in rng.sample(["crm", "web", "billing"], rng.choice([1, 1, 2, 3])):
            data = dict(base)
            roll = rng.random()
            if roll < 0.15:
                data["last_name"] = last[:-2] + last[-1] + last[-2]
            elif roll < 0.25:
                data["email"] = email.upper()
            elif roll < 0.35:
                del data["phone"]
            elif roll < 0.4:
                data["first_name"] = ""
            if rng.random() < 0.05:
                data["email"] = f"qa{person}@qa.example.com"
            n = len(out)
            out.append({
                "id": str(uuid.UUID(int=rng.getrandbits(128), version=4)),
                "tenant_id": TENANTS[1] if rng.random() < 0.03 else TENANTS[0],
                "external_id": f"{source[0].upper()}-{n % 4000}",
                "entity_type": "person",
                "data": data,
                "source_name": source,
                "valid_from": "2020-01-01T00:00:00Z" if rng.random() < 0.1 else None,
                "valid_to": "2021-06-01T00:00:00+02:00" if rng.random() < 0.05 else None,
                "last_updated": f"2024-{1 + n % 12:02d}-{1 + n % 28:02d}T10:00:{n % 60:02d}Z",
            })
    return out[:count]


DENSE_SPEC = spec(
    "blocking:\n  strategy: single\n  keys: [[email]]\n",
    "rules:\n"
    "  - {name: email, type: exact, field: email, weight: 1.0}\n"
    "  - {name: first, type: similarity, field: first_name, algorithm: jaro_winkler, threshold: 0.0, weight: 0.5}\n",
    "decision:\n  thresholds: {match: 0.5, review: 0.3}\n  clustering: {method: graph, %s}\n",
    SURVIVORSHIP)
DENSE_CLUSTERING = {
    "dense_graph_pairs": "min_edge_weight: 0.0, min_cluster_coherence: 0.0, max_cluster_size: 2",
    "dense_graph_size_5": "min_edge_weight: 0.7, min_cluster_coherence: 0.0, max_cluster_size: 5",
    "dense_graph_coherence": "min_edge_weight: 0.0, min_cluster_coherence: 0.86, max_cluster_size: 40",
    "dense_graph_both": "min_edge_weight: 0.6, min_cluster_coherence: 0.9, max_cluster_size: 8",
}


# (shape of the dense-graph bench, coherence, size limit)
MIXED_CLUSTERING = [("few", 0.99, 2), ("few", 0.8, 3), ("some", 0.99, 2), ("some", 0.85, 4),
                    ("distinct", 0.99, 2), ("distinct", 0.8, 2), ("distinct", 0.0, 5)]


def dense_block_records(count: int, seed: int) -> list[dict]:
    """Records that all share one e-mail, in random identifier order, with first names from a
    short list (so that many pairs score the same) and now and then a copy of an earlier
    identifier."""
    rng = random.Random(seed)
    out: list[dict] = []
    for n in range(count):
        ident = (out[rng.randrange(n)]["id"] if n and rng.random() < 0.03
                 else str(uuid.UUID(int=rng.getrandbits(128), version=4)))
        out.append({
            "id": ident, "tenant_id": TENANTS[0], "external_id": f"D-{n}",
            "entity_type": "person", "source_name": rng.choice(["crm", "web", "billing"]),
            "data": {"email": "noreply@example.com", "first_name": rng.choice(FIRST)},
            "last_updated": f"2024-{1 + n % 12:02d}-{1 + n % 28:02d}T10:00:{n % 60:02d}Z",
        })
    return out


def workloads():
    """(name, function name, arguments) of every workload, in a fixed order."""
    records = person_records(3000, 11)
    text = json.dumps(records)
    big = json.dumps(person_records(1500, 12, big_tag=True))
    for name, yaml in SPECS.items():
        yield name, "reconcile_local", (yaml, big if name == "big_block" else text)
    # Incremental: 5% new records against the rest, existing clusters from a batch run,
    # given Fellegi-Sunter parameters (no training, so the run is deterministic).
    existing, new = records[:2850], records[2850:]
    fs_spec = SPECS["fellegi_sunter_logged"]
    yield "incremental_fs", "reconcile_incremental", (
        fs_spec, json.dumps(new), json.dumps(existing), "@clusters:fellegi_sunter_logged", "@params")
    yield "incremental_weighted", "reconcile_incremental", (
        SPECS["weighted_sum"], json.dumps(new), json.dumps(existing), "@clusters:weighted_sum", None)
    yield "incremental_example", "reconcile_incremental", (
        SPECS["example"], json.dumps(new), json.dumps(existing), "[]", None)
    # Records sent again: every 40th existing record updated (half of them to another
    # record's e-mail, half unchanged), and existing records deleted, among them the first
    # members of existing clusters.
    updated = [dict(r, data=dict(r["data"], email=existing[k + 1]["data"]["email"]))
               if k % 80 == 0 else r for k, r in enumerate(existing) if k % 40 == 0]
    kept = [r for k, r in enumerate(existing) if k % 9 != 4]
    yield "incremental_updates", "reconcile_incremental", (
        SPECS["weighted_sum"], json.dumps(new + updated), json.dumps(kept),
        "@clusters:weighted_sum", None)
    # Keys that repeat for one record: [email] given twice, and the trigrams of a value that
    # repeats its own text, so that many pairs share many blocks.
    repeating = [dict(r, data=dict(r["data"], name_trigram=f"{r['data']['last_name']} {r['data']['last_name']}"))
                 for r in records[:1500]]
    yield "repeated_block_keys", "reconcile_local", (
        spec("blocking:\n  keys: [[email], [email], [name_trigram]]\n", SEVEN_RULES, DECISION,
             SURVIVORSHIP), json.dumps(repeating))
    # Training on a list that carries superseded copies of identifiers.
    yield "repeated_ids_em", "reconcile_local", (
        SPECS["fellegi_sunter_em"], json.dumps(updated + records))
    # Long source_priority lists (indexed, not read in place), with repeated entries and
    # records from thousands of sources, listed and not.
    rng = random.Random(13)
    names = [f"src{k}" for k in range(5000)]
    shuffled = rng.sample(names, len(names)) + ["src7", "crm"]
    long_lists = ("survivorship:\n  default: most_recent\n  overrides:\n"
                  f"    - {{field: email, strategy: source_priority, priority: {json.dumps(shuffled)}}}\n"
                  f"    - {{field: phone, strategy: source_priority, priority: {json.dumps(names[::-1] + ['web', 'billing', 'crm'])}}}\n"
                  f"    - {{field: street, strategy: source_priority, priority: {json.dumps(names[:17])}}}\n"
                  f"    - {{field: zip, strategy: source_priority, priority: {json.dumps(names[:16])}}}\n")
    many_sources = [dict(r, source_name=rng.choice(["crm", "web", "billing", f"src{rng.randrange(6000)}"]))
                    for r in records]
    yield "long_priority_lists", "reconcile_local", (
        spec(MULTI_KEY, SEVEN_RULES, DECISION, long_lists), json.dumps(many_sources))
    # Graph clustering of dense blocks: every record shares one e-mail, so each block is one
    # component with a pair per two records, cut down to the size limit (equal scores, so the
    # first of the equally weak edges decides) or by coherence (scores spread by a name rule,
    # thresholds around the mean).
    dense = json.dumps(dense_block_records(150, 13))
    for name, clustering in DENSE_CLUSTERING.items():
        yield name, "reconcile_local", (DENSE_SPEC % clustering, dense)
    # The dense-graph bench's blocks scored by three rules: a few, some or nearly all distinct
    # confidences, cut to pairs at a coherence above every score or to small clusters at one
    # that some reach (ties decided by the orders, or unique weakest edges).
    for shape, coherence, size in MIXED_CLUSTERING:
        (rules, thresholds), _, _ = dense_bench.SHAPES[shape]
        settings = (f"{dense_bench.EDGES}, min_cluster_coherence: {coherence}, "
                    f"max_cluster_size: {size}")
        yield f"dense_{shape}_{coherence}_{size}", "reconcile_local", (
            dense_bench.SPEC % (rules, thresholds, settings), dense_bench.records(160, shape))
    # Bad inputs: the first failure in text order, with its position.
    for cut in (1, 50, len(text) // 2, len(text) - 1):
        yield f"truncated_{cut}", "reconcile_local", (SPECS["weighted_sum"], text[:cut])
    yield "bad_uuid", "reconcile_local", (SPECS["weighted_sum"], text.replace(records[1500]["id"], "nope"))
    yield "bad_time", "reconcile_local", (
        SPECS["weighted_sum"], text.replace(records[2000]["last_updated"], "2024-13-01T00:00:00Z"))
    yield "trailing", "reconcile_local", (SPECS["weighted_sum"], text + " x")
    # The same on an indented text, so that line numbers count too.
    pretty = json.dumps(records[:300], indent=2)
    yield "indented_bad_value", "reconcile_local", (
        SPECS["weighted_sum"], pretty.replace('"crm"', '17', 1).replace('"web"', '["web"]', 1))


def run_all(native) -> list[str]:
    """One line of text per workload: its name and the result or error, as JSON in key order."""
    lines: list[str] = []
    batch: dict[str, dict] = {}
    for name, function, args in workloads():
        args = list(args)
        if function == "reconcile_incremental":
            if isinstance(args[3], str) and args[3].startswith("@clusters:"):
                args[3] = json.dumps(batch[args[3].split(":", 1)[1]]["clusters"])
            if args[4] == "@params":
                args[4] = batch["fellegi_sunter_logged"]["trained_fs_params"]
        try:
            result = getattr(native, function)(*args)
            if function == "reconcile_local" and isinstance(result, dict):
                batch[name] = result
            text = json.dumps(result, ensure_ascii=False)
            types = repr(_types(result))
        except Exception as error:  # noqa: BLE001 - the error is the result here
            text, types = f"{type(error).__name__}: {error}", ""
        lines.append(f"{name}\t{text}\t{types}")
    return lines


def _types(value):
    """The Python types of a result, in its own shape (ints and floats are told apart)."""
    if isinstance(value, dict):
        return {k: _types(v) for k, v in value.items()}
    if isinstance(value, list):
        kinds = sorted({repr(_types(v)) for v in value})
        return kinds
    return type(value).__name__


def differing_keys(old: str, new: str) -> list[str]:
    """The keys of a result dict whose values differ between two lines of `run_all`, or what
    else differs (the error text, the types)."""
    (_, old_text, old_types), (_, new_text, new_types) = old.split("\t"), new.split("\t")
    try:
        a, b = json.loads(old_text), json.loads(new_text)
    except ValueError:
        return ["the error"]
    keys = ([k for k in sorted(set(a) | set(b)) if a.get(k) != b.get(k)]
            if isinstance(a, dict) and isinstance(b, dict) else ["the result"])
    return keys + (["the types"] if old_types != new_types else [])


def child(baseline: str | None, out: pathlib.Path) -> None:
    """Dumps the results of the build that the caller's PYTHONPATH finds, or with `baseline`
    put in front of it, of the old build."""
    env = dict(os.environ)
    if baseline:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (baseline, env.get("PYTHONPATH")) if p)
    subprocess.run([sys.executable, str(pathlib.Path(__file__).resolve()), "--dump", str(out)],
                   env=env, cwd=tempfile.gettempdir(), check=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dump", help="write this build's results to this file")
    parser.add_argument("--baseline", help="directory holding the old vintrel package")
    args = parser.parse_args()
    if args.dump:
        from vintrel import _native
        pathlib.Path(args.dump).write_text("\n".join(run_all(_native)) + "\n", encoding="utf-8")
        return 0
    if not args.baseline:
        parser.error("give --baseline or --dump")
    with tempfile.TemporaryDirectory() as tmp:
        old, new = pathlib.Path(tmp, "old.txt"), pathlib.Path(tmp, "new.txt")
        child(args.baseline, old)
        child(None, new)
        old_lines = old.read_text(encoding="utf-8").splitlines()
        new_lines = new.read_text(encoding="utf-8").splitlines()
    differing = [o.split("\t", 1)[0] for o, n in zip(old_lines, new_lines) if o != n]
    for o, n in zip(old_lines, new_lines):
        name = o.split("\t", 1)[0]
        size = len(o)
        where = "" if o == n else f" in {', '.join(differing_keys(o, n))}"
        print(f"{name:28} {'same' if o == n else 'DIFFERENT':9} ({size:,} characters of result){where}")
    if len(old_lines) != len(new_lines):
        print("different number of workloads")
        return 1
    print("all results identical" if not differing else f"{len(differing)} workloads differ")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
