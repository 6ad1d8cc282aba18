"""Graph clustering of one dense block through the whole `reconcile_local` call: N records
that all merge with each other (customers sharing one placeholder e-mail). Shapes:
- pairs: one exact rule (every confidence 1.0), cut down to pairs by `max_cluster_size: 2`;
- coherence: the same block with a coherence threshold that cuts every piece;
- few, some, distinct: three rules (exact e-mail, Jaro-Winkler name, and exact city or, for
  distinct, cosine similarity of a free-text note), `max_cluster_size: 2` and
  `min_cluster_coherence: 0.99`, giving 2-5 distinct confidences (two names, two cities),
  10-50 (six names), or nearly all distinct (random names and notes);
- cities: as some, with a name threshold of 0.9 and three cities: 19 distinct confidences,
  14% of the pairs at the lowest.
Every measurement runs in a child process; with --baseline the old build is measured
alongside, alternating old and new, for the sizes given by --baseline-records. Prints the
distinct confidences, seconds per call, the old/new ratio and a hash of the whole result
(a line warns when old and new results differ); asserts nothing.

    PYTHONPATH=$WT/.site python3 bench/dense_graph_clustering_bench.py
    PYTHONPATH=$WT/.site python3 bench/dense_graph_clustering_bench.py \\
        --baseline /work/baseline/site --baseline-records 300 600
"""

import argparse
import hashlib
import json
import os
import random
import subprocess
import sys
import time
import uuid

SPEC = """\
api_version: vintrel/v1
identity_version: "1"
entity: {name: person}
sources:
  - name: crm
blocking:
  strategy: single
  keys: [[email]]
rules:
  - {name: email, type: exact, field: email, weight: 1.0}
%s
decision:
  thresholds: {%s}
  clustering: {method: graph, %s}
survivorship:
  default: most_recent
"""
ONE_RULE = ("", "match: 0.8, review: 0.6")
THREE_RULES = ("""\
  - {name: name, type: similarity, algorithm: jaro_winkler, field: first_name, threshold: 0.8,
     weight: 0.5}
  - {name: city, type: exact, field: city, weight: 0.5}""", "match: 0.5, review: 0.3")
NOTE_RULES = (THREE_RULES[0].replace(
    "{name: city, type: exact, field: city,",
    "{name: note, type: similarity, algorithm: cosine, field: note, threshold: 0.5,"),
    THREE_RULES[1])
HIGH_NAME_RULES = (THREE_RULES[0].replace("threshold: 0.8", "threshold: 0.9"), THREE_RULES[1])
EDGES = "min_edge_weight: 0.5"
MIXED = f"{EDGES}, min_cluster_coherence: 0.99, max_cluster_size: 2"
NAMES = ["Anna", "Anne", "Hanna", "Johan", "Maria", "Marie"]


def random_text(rng: random.Random, letters: str, low: int, high: int) -> str:
    return "".join(rng.choice(letters) for _ in range(rng.randint(low, high)))


# shape: (rules and decision thresholds, clustering settings, the varying fields of record k)
SHAPES = {
    "pairs": (ONE_RULE, f"{EDGES}, min_cluster_coherence: 0.0, max_cluster_size: 2",
              lambda rng, k: {"first_name": f"Name{k}"}),
    "coherence": (ONE_RULE, f"{EDGES}, min_cluster_coherence: 1.5, max_cluster_size: 1000000",
                  lambda rng, k: {"first_name": f"Name{k}"}),
    "few": (THREE_RULES, MIXED,
            lambda rng, k: {"first_name": rng.choice(NAMES[:2]),
                            "city": rng.choice(["Oslo", "Bergen"])}),
    "some": (THREE_RULES, MIXED,
             lambda rng, k: {"first_name": rng.choice(NAMES),
                             "city": rng.choice(["Oslo", "Bergen"])}),
    "distinct": (NOTE_RULES, MIXED,
                 lambda rng, k: {"first_name": random_text(rng, "abcdefghijklmnopqrstuvwxyz", 8, 14),
                                 "note": random_text(rng, "abcdefgh", 40, 40)}),
    "cities": (HIGH_NAME_RULES, MIXED,
               lambda rng, k: {"first_name": rng.choice(NAMES),
                               "city": rng.choice(["Oslo", "Bergen", "Trondheim"])}),
}


def spec(shape: str) -> str:
    (rules, thresholds), clustering, _ = SHAPES[shape]
    return SPEC % (rules, thresholds, clustering)


def random_id(rng: random.Random) -> str:
    return str(uuid.UUID(int=rng.getrandbits(128), version=4))


def entity(identifier: str, k: int, data: dict) -> dict:
    """Record k of a crm source."""
    return {
        "id": identifier,
        "tenant_id": "7d444840-9dc0-11d1-b245-5ffdce74fad2",
        "entity_type": "person",
        "source_name": "crm",
        "external_id": f"C-{k}",
        "data": data,
        "last_updated": "2024-01-01T00:00:00Z",
    }


def records(count: int, shape: str) -> str:
    rng = random.Random(count)
    fields = SHAPES[shape][2]
    return json.dumps([entity(random_id(rng), k, {"email": "noreply@example.com",
                                                  **fields(rng, k)}) for k in range(count)])


def result_digest(result: dict) -> str:
    """A hash of the whole result, keys in order. Hashed a slice at a time: at 5,000 records
    the result holds 12.5 million decisions."""
    hasher = hashlib.sha256()
    for key in sorted(result):
        value = result[key]
        parts = ([value[k:k + 10000] for k in range(0, len(value), 10000)]
                 if isinstance(value, list) else [value])
        hasher.update(key.encode())
        for part in parts:
            hasher.update(json.dumps(part, sort_keys=True).encode())
    return hasher.hexdigest()[:16]


def child(count: int, shape: str) -> None:
    from vintrel import _native
    text = records(count, shape)
    start = time.perf_counter()
    result = _native.reconcile_local(spec(shape), text)
    seconds = time.perf_counter() - start
    sizes = sorted({len(c) for c in result["clusters"]})
    weights = len({d["confidence"] for d in result["decisions"] if d["decision"] == "merge"})
    print(json.dumps({"seconds": seconds, "clusters": len(result["clusters"]), "sizes": sizes,
                      "weights": weights, "sha256": result_digest(result)}))


def run_child(argv: list[str], site: str | None, timeout: float | None = None) -> dict | None:
    """Runs `argv` in a child process with `site` first on its PYTHONPATH and returns the JSON
    object it prints, or None when it took longer than `timeout` seconds (then it is killed)."""
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (site, env.get("PYTHONPATH")) if p)
    try:
        out = subprocess.run([sys.executable, *argv], env=env, check=True, capture_output=True,
                             text=True, timeout=timeout).stdout
    except subprocess.TimeoutExpired:
        return None
    return json.loads(out)


def measure(count: int, shape: str, site: str | None) -> dict:
    return run_child([__file__, "--child", str(count), shape], site)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--records", type=int, nargs="+", default=[300, 600],
                        help="sizes to time (5000 needs about 12 GB)")
    parser.add_argument("--baseline", help="directory holding the old vintrel package")
    parser.add_argument("--baseline-records", type=int, nargs="+", default=[300, 600])
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--shapes", nargs="+", choices=list(SHAPES), default=list(SHAPES))
    args = parser.parse_args()
    if args.child:
        child(int(args.child[0]), args.child[1])
        return 0
    print(f"{'shape':10} {'records':>8} {'weights':>8} {'new s':>9} {'old s':>9} {'old/new':>8}"
          f"  clusters")
    for shape in args.shapes:
        for count in args.records:
            old_too = args.baseline and count in args.baseline_records
            new_times, old_times = [], []
            for _ in range(args.repeat):  # old and new alternating
                if old_too:
                    old = measure(count, shape, args.baseline)
                    old_times.append(old["seconds"])
                new = measure(count, shape, None)
                new_times.append(new["seconds"])
                if old_too and old["sha256"] != new["sha256"]:
                    print(f"  different results: old {old} new {new}")
            n, o = min(new_times), (min(old_times) if old_times else None)
            ratio = f"{o / n:8.1f}" if o else f"{'':8}"
            old_text = f"{o:9.3f}" if o else f"{'':9}"
            print(f"{shape:10} {count:8} {new['weights']:8} {n:9.3f} {old_text} {ratio}  "
                  f"{new['clusters']} of sizes {new['sizes']}, result {new['sha256']}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
