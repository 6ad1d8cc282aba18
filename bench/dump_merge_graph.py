"""Writes the merge graph of one dense-clustering workload for `clustering_replay_bench`: the
graph settings, the records' identifiers in input order and every decision of the call (the
two records' positions, m/r/n for merge/review/no merge, the confidence as a hexadecimal
float, so that it reads back exactly). The workload is one of
`bench/random_dense_clustering_bench.py` (by seed and index) or a shape of
`bench/dense_graph_clustering_bench.py` at N records.

    PYTHONPATH=$WT/.site python3 bench/dump_merge_graph.py random 14 /tmp/w14.graph
    PYTHONPATH=$WT/.site python3 bench/dump_merge_graph.py shape some 2000 /tmp/some.graph
    build/release/clustering_replay_bench /tmp/w14.graph 3
"""

import argparse
import json
import pathlib
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import dense_graph_clustering_bench as dense_bench  # noqa: E402 - beside this file
import random_dense_clustering_bench as random_bench  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=["random", "shape"])
    parser.add_argument("which", help="workload index, or shape name")
    parser.add_argument("rest", nargs="+", help="[records, for a shape] output file")
    parser.add_argument("--seed", type=int, default=38)
    args = parser.parse_args()
    if args.kind == "random":
        spec, text, _ = random_bench.workload(args.seed, int(args.which), None)
    else:
        spec, text = (dense_bench.spec(args.which),
                      dense_bench.records(int(args.rest[0]), args.which))
    settings = re.search(r"min_edge_weight: ([0-9.]+), min_cluster_coherence: ([0-9.]+), "
                         r"max_cluster_size: ([0-9]+)", spec)
    from vintrel import _native
    result = _native.reconcile_local(spec, text)
    records = json.loads(text)
    position = {record["id"]: k for k, record in enumerate(records)}
    with open(args.rest[-1], "w") as out:
        out.write(f"{' '.join(settings.groups())} {len(records)} {len(result['decisions'])}\n")
        out.writelines(record["id"] + "\n" for record in records)
        out.writelines(f"{position[d['entity_a_id']]} {position[d['entity_b_id']]} "
                       f"{d['decision'][0]} {float(d['confidence']).hex()}\n"
                       for d in result["decisions"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
