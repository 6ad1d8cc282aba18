"""Graph clustering judged on random dense workloads rather than chosen ones: from a seed, COUNT
workloads of one to three blocks (up to 700 records each, every block sharing its own e-mail,
records of the blocks interleaved) scored by four rules and cut by random graph settings:
- four rules: exact e-mail (weight 1), Jaro-Winkler first name (threshold 0.7-0.95), city by
  exact match or similarity over a pool of 2-5 cities, and cosine similarity of a note (2-40
  letters of an alphabet of 2-12); the last three weigh 0.25, 0.5, 1 or 1.5; first names from a
  pool of 2 or 6, or random; the match threshold a little above the e-mail rule's share, so
  the blocks mostly merge; random min_edge_weight, min_cluster_coherence and max_cluster_size;
- every sixth workload three rules over a handful of names: exact e-mail, Jaro-Winkler over 3-6
  first names with a high threshold, exact city over three cities, one block, cut to pairs with
  min_cluster_coherence 0.99.
Each workload's whole `reconcile_local` call is timed in a child process, with --baseline the old
build alongside, alternating old and new; a call that takes longer than --timeout is killed and
shown as ">T". Prints per workload its settings, the shape of its graph (edges, distinct
confidences, edges at the lowest confidence, the most edges at one confidence, the most distinct
confidences among one record's edges), old and new seconds and new/old; then the median and
worst new/old. A line warns when old and new results (hashed whole) differ; asserts nothing.

    PYTHONPATH=$WT/.site python3 bench/random_dense_clustering_bench.py \\
        --baseline /work/baseline/7561c1d/site --timeout 120
    python3 bench/random_dense_clustering_bench.py --module-path $WT/.site \\
        --baseline /work/baseline/7561c1d/site --only 3,17 --records-cap 400
"""

import argparse
import collections
import json
import math
import pathlib
import random
import signal
import statistics
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import dense_graph_clustering_bench as dense_bench  # noqa: E402 - beside this file

WEIGHTS = [0.25, 0.5, 1.0, 1.5]
CITIES = ["Oslo", "Bergen", "Trondheim", "Stavanger", "Tromsø"]
LETTERS = "abcdefghijklmnopqrstuvwxyz"


def rule(name: str, field: str, weight: float, algorithm: str | None, threshold: float) -> str:
    if algorithm is None:
        return f"  - {{name: {name}, type: exact, field: {field}, weight: {weight}}}"
    return (f"  - {{name: {name}, type: similarity, algorithm: {algorithm}, field: {field}, "
            f"threshold: {threshold}, weight: {weight}}}")


def four_rules(rng: random.Random) -> tuple[str, list[int], dict]:
    """A four-rule workload drawn from `rng`: its spec, block sizes and description."""
    weights = [rng.choice(WEIGHTS) for _ in range(3)]
    name_threshold = rng.choice([0.7, 0.8, 0.85, 0.9, 0.95])
    city_algorithm = rng.choice([None, None, "jaro_winkler", "levenshtein"])
    note_threshold = rng.choice([0.3, 0.5, 0.7])
    rules = "\n".join([
        rule("name", "first_name", weights[0], "jaro_winkler", name_threshold),
        rule("city", "city", weights[1], city_algorithm, rng.choice([0.7, 0.8, 0.9])),
        rule("note", "note", weights[2], "cosine", note_threshold)])
    # Every pair shares its e-mail, so its confidence is at least the e-mail rule's share of
    # the weight; a match threshold a little above that keeps the blocks mostly merging.
    floor = 1.0 / (1.0 + sum(weights))
    match = round(floor + rng.choice([0.0, 0.05, 0.1, 0.15]), 3)
    review = round(max(0.0, match - 0.1), 3)
    min_edge_weight = round(rng.choice([0.0, floor, match, match + 0.05, match + 0.1]), 3)
    coherence = rng.choice([0.0, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 0.99, 1.5])
    max_size = rng.choice([2, 2, 3, 5, 10, 50, 1000000])
    names = rng.choice([2, 6, 0])
    cities = rng.choice([2, 3, 5])
    alphabet = LETTERS[:rng.choice([2, 3, 4, 8, 12])]
    low, high = rng.choice([(2, 5), (3, 8), (5, 10), (10, 20), (20, 40)])
    sizes = [rng.randint(100, 700) for _ in range(rng.randint(1, 3))]
    summary = (f"four rules, names {names or 'random'}, name>={name_threshold} "
               f"w{weights[0]}, city {city_algorithm or 'exact'}/{cities} w{weights[1]}, "
               f"note {alphabet}x{low}-{high} cos>={note_threshold} w{weights[2]}, "
               f"match {match}")
    settings = (f"min_edge_weight: {min_edge_weight}, min_cluster_coherence: {coherence}, "
                f"max_cluster_size: {max_size}")

    def fields(rng: random.Random) -> dict:
        return {"first_name": (rng.choice(dense_bench.NAMES[:names]) if names
                               else dense_bench.random_text(rng, LETTERS, 4, 10)),
                "city": rng.choice(CITIES[:cities]),
                "note": dense_bench.random_text(rng, alphabet, low, high)}
    return (dense_bench.SPEC % (rules, f"match: {match}, review: {review}", settings), sizes,
            {"summary": summary, "settings": settings, "min_edge_weight": min_edge_weight,
             "fields": fields})


def three_rules(rng: random.Random) -> tuple[str, list[int], dict]:
    """A three-rule workload drawn from `rng`: its spec, block sizes and description."""
    name_threshold = rng.choice([0.85, 0.9, 0.95])
    names = rng.randint(3, 6)
    rules = "\n".join([rule("name", "first_name", 0.5, "jaro_winkler", name_threshold),
                       rule("city", "city", 0.5, None, 0.0)])
    summary = f"three rules, names {names}, name>={name_threshold}, city exact/3, match 0.5"

    def fields(rng: random.Random) -> dict:
        return {"first_name": rng.choice(dense_bench.NAMES[:names]),
                "city": rng.choice(CITIES[:3])}
    about = {"summary": summary, "settings": dense_bench.MIXED, "min_edge_weight": 0.5,
             "fields": fields}
    return (dense_bench.SPEC % (rules, "match: 0.5, review: 0.3", dense_bench.MIXED),
            [rng.randint(300, 700)], about)


def workload(seed: int, index: int, cap: int | None) -> tuple[str, str, dict]:
    """Workload `index` of `seed`: its spec, its records (the first `cap` of them) and a
    description."""
    rng = random.Random(f"{seed}/{index}")
    spec, sizes, about = (three_rules if index % 6 == 5 else four_rules)(rng)
    blocks = [b for b, size in enumerate(sizes) for _ in range(size)]
    rng.shuffle(blocks)
    blocks = blocks[:cap]
    entities = []
    for k, b in enumerate(blocks):
        data = {"email": f"shared{b}@example.com", **about["fields"](rng)}
        entities.append(dense_bench.entity(dense_bench.random_id(rng), k, data))
    about["blocks"] = [blocks.count(b) for b in range(len(sizes))]
    return spec, json.dumps(entities), about


def graph_shape(result: dict, min_edge_weight: float) -> dict:
    """The shape of the graph that clustering cut: its edges (merge decisions not below
    `min_edge_weight`), their distinct confidences, how many edges tie at the lowest
    confidence and at the most common one, and the most distinct confidences at one record."""
    counts = collections.Counter()
    at_record = collections.defaultdict(set)
    for d in result["decisions"]:
        if d["decision"] != "merge" or min_edge_weight > d["confidence"]:
            continue
        counts[d["confidence"]] += 1
        at_record[d["entity_a_id"]].add(d["confidence"])
        at_record[d["entity_b_id"]].add(d["confidence"])
    return {"edges": sum(counts.values()), "confidences": len(counts),
            "lowest": counts[min(counts)] if counts else 0,
            "tie": max(counts.values(), default=0),
            "node": max(map(len, at_record.values()), default=0)}


def child(seed: int, index: int, cap: int | None, timeout: float, shape: bool) -> None:
    from vintrel import _native
    spec, text, about = workload(seed, index, cap)
    # SIGALRM's default action ends the process, however long the call keeps the interpreter.
    signal.setitimer(signal.ITIMER_REAL, timeout)
    start = time.perf_counter()
    result = _native.reconcile_local(spec, text)
    seconds = time.perf_counter() - start
    signal.setitimer(signal.ITIMER_REAL, 0)
    figures = {"seconds": seconds, "sha256": dense_bench.result_digest(result)}
    if shape:
        figures.update(graph_shape(result, about["min_edge_weight"]))
    print(json.dumps(figures))


def measure(args, index: int, site: str | None, shape: bool) -> dict | str:
    """One timed call in a child process: its figures, or ">T" when it ran out of time, or
    "failed" (the child's message goes to stderr)."""
    argv = [__file__, "--child", str(args.seed), str(index), str(args.records_cap or 0),
            "--timeout", str(args.timeout)] + (["--shape"] if shape else [])
    try:
        return dense_bench.run_child(argv, site)
    except subprocess.CalledProcessError as error:
        if error.returncode == -signal.SIGALRM:
            return f">{args.timeout:g}"
        print(f"workload {index}: the child failed: {error.stderr.strip()[-400:]}",
              file=sys.stderr)
        return "failed"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", nargs=3, type=int, help=argparse.SUPPRESS)
    parser.add_argument("--shape", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--seed", type=int, default=38)
    parser.add_argument("--count", type=int, default=60, help="how many workloads")
    parser.add_argument("--only", help="comma-separated workload indices to run")
    parser.add_argument("--records-cap", type=int, help="keep each workload's first N records")
    parser.add_argument("--module-path", help="directory holding the new vintrel package "
                        "(default: the one on PYTHONPATH)")
    parser.add_argument("--baseline", help="directory holding the old vintrel package")
    parser.add_argument("--repeat", type=int, default=1, help="runs per build; the fastest counts")
    parser.add_argument("--timeout", type=float, default=120.0,
                        help="seconds a call may take before it is killed and shown as >T")
    args = parser.parse_args()
    if args.child:
        seed, index, cap = args.child
        child(seed, index, cap or None, args.timeout, args.shape)
        return 0
    indices = ([int(i) for i in args.only.split(",")] if args.only else range(args.count))
    builds = ["old", "new"] if args.baseline else ["new"]
    sites = {"old": args.baseline, "new": args.module_path}
    print(f"seed {args.seed}, timeout {args.timeout:g} s, best of {args.repeat}, "
          f"records cap {args.records_cap or 'none'}")
    print(f"{'#':>3} {'records':>7} {'edges':>7} {'confs':>6} {'lowest':>6} {'tie':>6} "
          f"{'node':>5} {'old s':>8} {'new s':>8} {'new/old':>8}  blocks; settings")
    ratios, bounded = [], False
    for index in indices:
        _, _, about = workload(args.seed, index, args.records_cap)
        best: dict[str, float | str] = {build: math.inf for build in builds}
        results, shape = {}, None
        for _ in range(args.repeat):
            for build in builds:  # old and new alternating
                if isinstance(best[build], str):  # ran out of time or failed: not again
                    continue
                figures = measure(args, index, sites[build], shape is None)
                if isinstance(figures, str):
                    best[build] = figures
                    continue
                best[build] = min(best[build], figures["seconds"])
                results[build] = figures["sha256"]
                if shape is None:
                    shape = figures
        if len(set(results.values())) > 1:
            print(f"  different results in workload {index}: {results}")
        ratio_text = ""
        timed = [b for b in builds if not isinstance(best[b], str)]
        if args.baseline and timed and "failed" not in best.values():
            # A call that ran out of time counts as the time limit: the ratio is then a bound.
            old, new = (best[b] if b in timed else args.timeout for b in ("old", "new"))
            ratios.append(new / old)
            bounded |= len(timed) < 2
            mark = "" if len(timed) == 2 else ">" if "old" in timed else "<"
            ratio_text = f"{mark}{new / old:.2f}"
        graph = [f"{shape[k]:>{w}}" if shape else f"{'?':>{w}}"
                 for k, w in (("edges", 7), ("confidences", 6), ("lowest", 6), ("tie", 6),
                              ("node", 5))]
        old, new = (f"{best[b]:8.2f}" if b in timed else f"{best.get(b, ''):>8}"
                    for b in ("old", "new"))
        print(f"{index:3} {sum(about['blocks']):7} {' '.join(graph)} {old} {new} "
              f"{ratio_text:>8}  "
              f"{'+'.join(map(str, about['blocks']))}; {about['summary']}; {about['settings']}",
              flush=True)
    if ratios:
        bound = " (calls that ran out of time counted at the limit)" if bounded else ""
        print(f"new/old over {len(ratios)} workloads: median {statistics.median(ratios):.2f}, "
              f"worst {max(ratios):.2f}, best {min(ratios):.2f}{bound}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
