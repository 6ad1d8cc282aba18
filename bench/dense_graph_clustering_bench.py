"""Graph clustering of one dense block through the whole `reconcile_local` call: N records
that all merge with each other (customers sharing one placeholder e-mail), cut down to pairs
by `max_cluster_size: 2`, and the same block with a coherence threshold that cuts every
piece (all scores equal, threshold just above them). Every measurement runs in a child
process; with --baseline the old build is measured alongside, alternating old and new, for
the sizes given by --baseline-records (the old build needs edges x edges). Prints seconds
per call and the old/new ratio; asserts nothing.

    PYTHONPATH=$WT/.site python3 bench/dense_graph_clustering_bench.py
    PYTHONPATH=$WT/.site python3 bench/dense_graph_clustering_bench.py \\
        --baseline /work/baseline/site --baseline-records 100 200 300
"""

import argparse
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
decision:
  thresholds: {match: 0.8, review: 0.6}
  clustering: {method: graph, min_edge_weight: 0.5, %s}
survivorship:
  default: most_recent
"""

SHAPES = {
    "pairs": "min_cluster_coherence: 0.0, max_cluster_size: 2",
    "coherence": "min_cluster_coherence: 1.5, max_cluster_size: 1000000",
}


def records(count: int) -> str:
    rng = random.Random(count)
    return json.dumps([{
        "id": str(uuid.UUID(int=rng.getrandbits(128), version=4)),
        "tenant_id": "7d444840-9dc0-11d1-b245-5ffdce74fad2",
        "entity_type": "person",
        "source_name": "crm",
        "external_id": f"C-{k}",
        "data": {"email": "noreply@example.com", "first_name": f"Name{k}"},
        "last_updated": "2024-01-01T00:00:00Z",
    } for k in range(count)])


def child(count: int, shape: str) -> None:
    from vintrel import _native
    spec, text = SPEC % SHAPES[shape], records(count)
    start = time.perf_counter()
    result = _native.reconcile_local(spec, text)
    seconds = time.perf_counter() - start
    sizes = sorted({len(c) for c in result["clusters"]})
    print(json.dumps({"seconds": seconds, "clusters": len(result["clusters"]), "sizes": sizes}))


def measure(count: int, shape: str, site: str | None) -> dict:
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (site, env.get("PYTHONPATH")) if p)
    out = subprocess.run([sys.executable, __file__, "--child", str(count), shape], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--records", type=int, nargs="+", default=[100, 200, 300, 600],
                        help="sizes to time (2000 takes many minutes)")
    parser.add_argument("--baseline", help="directory holding the old vintrel package")
    parser.add_argument("--baseline-records", type=int, nargs="+", default=[100, 200, 300])
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    if args.child:
        child(int(args.child[0]), args.child[1])
        return 0
    print(f"{'shape':10} {'records':>8} {'new s':>9} {'old s':>9} {'old/new':>8}  clusters")
    for shape in SHAPES:
        for count in args.records:
            old_too = args.baseline and count in args.baseline_records
            new_times, old_times = [], []
            for _ in range(args.repeat):  # old and new alternating
                if old_too:
                    old = measure(count, shape, args.baseline)
                    old_times.append(old["seconds"])
                new = measure(count, shape, None)
                new_times.append(new["seconds"])
                if old_too and (old["clusters"], old["sizes"]) != (new["clusters"], new["sizes"]):
                    print(f"  different clusters: old {old} new {new}")
            n, o = min(new_times), (min(old_times) if old_times else None)
            ratio = f"{o / n:8.1f}" if o else f"{'':8}"
            old_text = f"{o:9.3f}" if o else f"{'':9}"
            print(f"{shape:10} {count:8} {n:9.3f} {old_text} {ratio}  "
                  f"{new['clusters']} of sizes {new['sizes']}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
