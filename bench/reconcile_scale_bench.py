"""Reconciliation at scale through Python: N generated person records from three sources
(typos, nicknames, missing fields, shared surnames), blocked on [last_name, zip],
[first_name, dob] and [email], seven rules scored by weighted sum. Every measurement runs in a
child process (so that peak RSS is that run's own) and prints figures; nothing is asserted.

Printed: end-to-end time, pairs per second, peak RSS (ru_maxrss of the child), the bytes the
kept result costs per decision, the speedup at 1, 2, 4 and 8 cores (taskset), the incremental
case (1% new records against the rest with their clusters) and, with --perf, the share of
each phase in a sampling profile of one run (JSON read, training, pair evaluation,
clustering, golden records, Python conversion, freeing).

    python3 bench/reconcile_scale_bench.py                       # 100,000 records
    python3 bench/reconcile_scale_bench.py --records 1000000     # run it under a memory cap:
    prlimit --as=6000000000 python3 bench/reconcile_scale_bench.py --records 1000000 --cores 8
    python3 bench/reconcile_scale_bench.py --module-path /some/dir   # another build of vintrel
    python3 bench/reconcile_scale_bench.py --baseline /old/dir --repeat 3  # old and new, alternating

Needs the installed package, or --module-path naming a directory that holds `vintrel`. The
phase profile needs the module's symbols, which the installed module is stripped of: point
--module-path at a copy of the package holding the unstripped module of the build directory
(build/<wheel tag>/_native*.so).
"""

import argparse
import json
import os
import pathlib
import random
import resource
import subprocess
import sys
import tempfile
import time
import uuid

SPEC = """\
api_version: vintrel/v1
identity_version: "1"
entity: {name: person}
sources:
  - name: crm
  - name: webshop
  - name: billing
blocking:
  strategy: composite
  keys:
    - [last_name, zip]
    - [first_name, dob]
    - [email]
rules:
  - {name: email_exact, type: exact, field: email, weight: 0.9,
     options: {case_insensitive: true, normalizer: email}}
  - {name: phone_exact, type: exact, field: phone, weight: 0.6, options: {normalizer: phone}}
  - {name: first_name_similar, type: similarity, field: first_name, algorithm: jaro_winkler,
     threshold: 0.85, weight: 0.4, normalizer: name}
  - {name: last_name_similar, type: similarity, field: last_name, algorithm: jaro_winkler,
     threshold: 0.9, weight: 0.5, normalizer: name}
  - {name: last_name_sounds_alike, type: similarity, field: last_name, algorithm: soundex,
     threshold: 1.0, weight: 0.2}
  - {name: dob_exact, type: exact, field: dob, weight: 0.5}
  - {name: city_similar, type: similarity, field: city, algorithm: levenshtein,
     threshold: 0.8, weight: 0.2}
decision:
  thresholds: {match: 0.8, review: 0.6}
  scoring: {method: weighted_sum}
survivorship:
  default: most_recent
  overrides:
    - {field: email, strategy: source_priority, priority: [crm, webshop, billing]}
    - {field: phone, strategy: most_complete}
"""

TENANT = "7d444840-9dc0-11d1-b245-5ffdce74fad2"
FIRST = ["Anna", "William", "Maria", "James", "Sophie", "Hiroshi", "Olivia", "Robert", "Chen",
         "Emma", "Lukas", "Fatima", "Noah", "Ines", "Pavel", "Grace", "Omar", "Lena", "Diego",
         "Mei", "Katherine", "Elizabeth", "Michael", "Alexander", "Margaret", "Jonathan"]
NICK = {"William": "Bill", "James": "Jim", "Robert": "Bob", "Katherine": "Kate",
        "Elizabeth": "Liz", "Michael": "Mike", "Alexander": "Alex", "Margaret": "Peggy",
        "Jonathan": "Jon", "Sophie": "Sophia", "Maria": "Mary"}
LAST = ["Kowalski", "Turner", "Garcia", "OBrien", "Martin", "Tanaka", "Smith", "Johnson", "Wei",
        "Brown", "Schneider", "Haddad", "Williams", "Silva", "Novak", "Kim", "Rossi", "Dubois",
        "Nowak", "Jensen", "Moreau", "Fischer", "Costa", "Ivanova", "Larsen", "Miller", "Davis"]
CITIES = ["Springfield", "Riverton", "Lakeside", "Fairview", "Georgetown", "Clinton", "Salem",
          "Madison", "Franklin", "Greenville", "Bristol", "Dover", "Oxford", "Milton"]
SOURCES = ["crm", "webshop", "billing"]


def typo(rng: random.Random, text: str) -> str:
    if len(text) < 3:
        return text
    i = rng.randrange(len(text) - 1)
    kind = rng.randrange(3)
    if kind == 0:  # swapped neighbours
        return text[:i] + text[i + 1] + text[i] + text[i + 2:]
    if kind == 1:  # dropped letter
        return text[:i] + text[i + 1:]
    return text[:i] + rng.choice("aeiourstn") + text[i + 1:]  # replaced letter


def generate(count: int, seed: int) -> list[dict]:
    """About `count` records: each person in one to three sources. Surnames are shared by many
    people (a small surname list, a few thousand zip codes), copies carry typos, nicknames,
    upper-cased e-mails and missing fields."""
    rng = random.Random(seed)
    records: list[dict] = []
    person = 0
    zips = max(50, count // 40)
    while len(records) < count:
        person += 1
        first, last = rng.choice(FIRST), rng.choice(LAST)
        email = f"{first}.{last}.{person}@example.com".lower()
        phone = f"+1 {200 + person % 800} 555 {person % 10000:04d}"
        dob = f"19{50 + rng.randrange(50)}-{1 + rng.randrange(12):02d}-{1 + rng.randrange(28):02d}"
        zip_code = f"{10000 + rng.randrange(zips):05d}"
        city = rng.choice(CITIES)
        for source in rng.sample(SOURCES, rng.choice([1, 1, 2, 2, 3])):
            data = {"first_name": first, "last_name": last, "email": email, "zip": zip_code,
                    "dob": dob, "phone": phone, "city": city}
            r = rng.random()
            if r < 0.08:
                data["last_name"] = typo(rng, last)
            elif r < 0.14:
                data["first_name"] = typo(rng, first)
            if first in NICK and rng.random() < 0.3:
                data["first_name"] = NICK[first]
            if rng.random() < 0.2:
                data["email"] = email.upper()
            for field in ("phone", "dob", "city", "email"):
                if rng.random() < 0.1:
                    del data[field]
            if source == "billing":
                data.pop("phone", None)
            records.append({
                "id": str(uuid.UUID(int=rng.getrandbits(128), version=4)),
                "tenant_id": TENANT,
                "external_id": f"{source[0].upper()}-{len(records)}",
                "entity_type": "person",
                "data": data,
                "source_name": source,
                "valid_from": None,
                "valid_to": None,
                "last_updated": f"2024-{1 + len(records) % 12:02d}-15T10:00:00Z",
            })
    return records[:count]


# ---- child process --------------------------------------------------------------------------

def child(args: argparse.Namespace) -> int:
    """Runs one measurement and prints one JSON line of figures."""
    if args.module_path:
        sys.path.insert(0, args.module_path)
    import gc
    import tracemalloc
    from vintrel import _native

    data = pathlib.Path(args.data)
    spec = SPEC
    out: dict = {}
    if args.mode == "local":
        entities = (data / "all.json").read_text(encoding="utf-8")
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        cpu = resource.getrusage(resource.RUSAGE_SELF)
        start = time.perf_counter()
        result = _native.reconcile_local(spec, entities)
        out["seconds"] = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_SELF)
        out["cpu_seconds"] = (after.ru_utime + after.ru_stime) - (cpu.ru_utime + cpu.ru_stime)
        out["peak_rss_kb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        out["rss_before_kb"] = rss_before
        out["pairs"] = result["telemetry"]["pairs_evaluated"]
        out["decisions"] = len(result["decisions"])
        out["clusters"] = len(result["clusters"])
        if args.keep_clusters:
            (data / "clusters.json").write_text(json.dumps(result["clusters"]), encoding="utf-8")
    elif args.mode == "kept":
        # The Python memory the result holds once the call is over, per decision.
        entities = (data / "all.json").read_text(encoding="utf-8")
        gc.collect()
        tracemalloc.start()
        result = _native.reconcile_local(spec, entities)
        kept, _ = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        out["kept_bytes"] = kept
        out["decisions"] = len(result["decisions"])
        out["clusters"] = len(result["clusters"])
    else:  # incremental
        new = (data / "new.json").read_text(encoding="utf-8")
        existing = (data / "existing.json").read_text(encoding="utf-8")
        clusters = (data / "clusters.json").read_text(encoding="utf-8")
        start = time.perf_counter()
        result = _native.reconcile_incremental(spec, new, existing, clusters, None)
        out["seconds"] = time.perf_counter() - start
        out["peak_rss_kb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        out["pairs"] = result["telemetry"]["pairs_evaluated"]
        out["decisions"] = len(result["decisions"])
        out["clusters"] = len(result["clusters"])
    print(json.dumps(out))
    return 0


def run_child(args, mode: str, cores: str | None = None, extra: list[str] | None = None,
              wrapper: list[str] | None = None, module_path: str | None = None) -> dict:
    command = [sys.executable, __file__, "--child", mode, "--data", args.data]
    if module_path or args.module_path:
        command += ["--module-path", module_path or args.module_path]
    command += extra or []
    if cores is not None:
        command = ["taskset", "-c", cores] + command
    command = (wrapper or []) + command
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        return {"error": (done.stderr.strip().splitlines() or ["exit %d" % done.returncode])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---- profile --------------------------------------------------------------------------------

# Phase of a sample: the first phase with a pattern that occurs in any frame of its stack
# (kernel frames included, so page zeroing counts for the phase that touched the pages).
PHASES = [
    ("python conversion", ["reconcile_result_to_py", "json_value_to_py", "result_tree",
                           "to_json", "OpenContainer", "number_texts", "ArenaSupply",
                           "ReleaseBehind", "DecisionTexts", "HelperThread"]),
    ("golden records", ["golden_record", "SurvivorshipEngine", "canonical_cluster_id",
                        "canonical_id_of"]),
    ("clustering", ["cluster_decisions", "assemble_clusters", "WeightedGraph", "RecordIndex"]),
    ("training", ["train_fellegi_sunter"]),
    ("json read", ["read_entities_json", "read_existing_clusters", "read_entity"]),
    ("spec read and compile", ["read_identity_spec", "SpecCompiler", "from_plan"]),
    ("pair evaluation", ["reconcile_with_telemetry", "reconcile_incremental_with_telemetry",
                         "PairScorer"]),
    ("freeing working memory", ["~ReconcileDriver", "~Value", "release_children", "malloc_trim",
                                "~ReconcileResult", "~_Optional_payload", "~vector"]),
    ("clustering", ["ReconcileDriver::finish"]),
    ("gc, argument and rest of the call", ["reconcile_local_body", "reconcile_incremental_body"]),
]


def profile(args) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        perf_data = os.path.join(tmp, "perf.data")
        command = ["perf", "record", "-q", "--call-graph", "dwarf,16384", "-F", "249", "-o",
                   perf_data, "--",
                   sys.executable, __file__, "--child", "local", "--data", args.data]
        if args.module_path:
            command += ["--module-path", args.module_path]
        if args.perf_cores:
            command = ["taskset", "-c", args.perf_cores] + command
        if subprocess.run(command, capture_output=True, check=False).returncode != 0:
            print("profile: perf record failed (is perf installed and allowed?)")
            return
        report = subprocess.run(["perf", "script", "-i", perf_data], capture_output=True,
                                text=True, errors="replace", check=False).stdout
    counts: dict[str, int] = {}
    total = 0
    for sample in report.split("\n\n"):
        lines = [line.strip() for line in sample.strip().splitlines() if line.strip()]
        if len(lines) < 2 or not lines[0].startswith("python"):
            continue
        total += 1
        stack = "\n".join(lines[1:])
        phase = "outside the call (start-up, input text, exit)"
        for name, patterns in PHASES:
            if any(p in stack for p in patterns):
                phase = name
                break
        counts[phase] = counts.get(phase, 0) + 1
    print(f"profile of one reconcile_local run, {total} samples, cpus {args.perf_cores or 'all'}:")
    for name, n in sorted(counts.items(), key=lambda kv: -kv[1]):
        print(f"  {name:48s} {100.0 * n / max(total, 1):5.1f}%")


# ---- main -----------------------------------------------------------------------------------

def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=11)
    parser.add_argument("--cores", default="1,2,4,8", help="core counts for the speedup rows")
    parser.add_argument("--module-path", default=None)
    parser.add_argument("--baseline", default=None,
                        help="an older build: its end-to-end runs alternate with this build's")
    parser.add_argument("--perf", action="store_true", help="also print a phase profile")
    parser.add_argument("--perf-cores", default="0", help="cpus of the profiled run")
    parser.add_argument("--skip-incremental", action="store_true")
    parser.add_argument("--skip-kept", action="store_true", help="skip the kept-result run")
    parser.add_argument("--repeat", type=int, default=1,
                        help="runs per core count; the fastest is shown (the machine is shared)")
    parser.add_argument("--data", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--keep-clusters", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        args.mode = args.child
        return child(args)

    with tempfile.TemporaryDirectory() as tmp:
        args.data = tmp
        start = time.perf_counter()
        records = generate(args.records, args.seed)
        cut = args.records - max(1, args.records // 100)
        for name, part in (("all", records), ("existing", records[:cut]), ("new", records[cut:])):
            pathlib.Path(tmp, name + ".json").write_text(json.dumps(part), encoding="utf-8")
        size = os.path.getsize(os.path.join(tmp, "all.json"))
        del records
        print(f"records: {args.records:,} ({size / 1e6:.1f} MB of JSON), generated in "
              f"{time.perf_counter() - start:.1f} s; module: {args.module_path or 'installed'}")

        cores = [int(c) for c in args.cores.split(",") if c]
        rows = {}
        for n in cores:
            if args.baseline:
                old = []
                runs = []
                for _ in range(args.repeat):
                    old.append(run_child(args, "local", cores=f"0-{n - 1}", module_path=args.baseline))
                    runs.append(run_child(args, "local", cores=f"0-{n - 1}"))
                for label, group in (("baseline", old), ("this build", runs)):
                    print(f"  {n} core(s), {label}: " + ", ".join(
                        f"{r['seconds']:.2f} s / {r['peak_rss_kb'] / 1024:.0f} MB" if "error" not in r
                        else r["error"] for r in group))
            else:
                runs = [run_child(args, "local", cores=f"0-{n - 1}") for _ in range(args.repeat)]
            good = [r for r in runs if "error" not in r]
            rows[n] = min(good, key=lambda r: r["seconds"]) if good else runs[0]
            r = rows[n]
            if "error" in r:
                print(f"  {n} core(s): failed: {r['error']}")
                continue
            print(f"  {n} core(s): {r['seconds']:7.2f} s ({r['cpu_seconds']:6.2f} s cpu)  "
                  f"{r['pairs'] / r['seconds']:10,.0f} "
                  f"pairs/s  peak RSS {r['peak_rss_kb'] / 1024:7.0f} MB "
                  f"({r['peak_rss_kb'] * 1024 / args.records:6.0f} B/record)  "
                  f"{r['pairs']:,} pairs, {r['decisions']:,} decisions, {r['clusters']:,} clusters")
        base = rows.get(1)
        if base and "error" not in base:
            speedups = ", ".join(f"{n}: {base['seconds'] / rows[n]['seconds']:.2f}x"
                                 for n in cores if "error" not in rows[n])
            print(f"  speedup vs 1 core: {speedups}")

        kept = {"error": "skipped"} if args.skip_kept else run_child(args, "kept")
        if "error" not in kept and kept["decisions"]:
            print(f"  kept result: {kept['kept_bytes'] / 1e6:.1f} MB, "
                  f"{kept['kept_bytes'] / kept['decisions']:,.0f} B per decision")

        if not args.skip_incremental:
            # The existing records' own clusters first, then 1% new records against them.
            pathlib.Path(tmp, "all.json").rename(pathlib.Path(tmp, "all_saved.json"))
            pathlib.Path(tmp, "existing.json").rename(pathlib.Path(tmp, "all.json"))
            prep = run_child(args, "local", extra=["--keep-clusters"])
            pathlib.Path(tmp, "all.json").rename(pathlib.Path(tmp, "existing.json"))
            pathlib.Path(tmp, "all_saved.json").rename(pathlib.Path(tmp, "all.json"))
            if "error" in prep:
                print(f"  incremental: preparation failed: {prep['error']}")
            else:
                inc = run_child(args, "incremental")
                if "error" in inc:
                    print(f"  incremental: failed: {inc['error']}")
                else:
                    print(f"  incremental ({args.records - cut:,} new vs {cut:,} existing): "
                          f"{inc['seconds']:.2f} s, peak RSS {inc['peak_rss_kb'] / 1024:.0f} MB, "
                          f"{inc['pairs']:,} pairs, {inc['clusters']:,} clusters returned")
        if args.perf:
            profile(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
