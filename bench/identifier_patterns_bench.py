"""One reconcile_local workload under the identifier patterns that real record sets carry:
the same generated person records (those of reconcile_scale_bench.py), each time with other
identifiers, and the same count of records with empty data. Every run is a child process;
each pattern's best time is printed with its ratio to random (v4) identifiers of the same
build. Nothing is asserted.

Patterns: random v4; integer-derived (uuid.UUID(int=n), how database keys are usually
carried); counting in the last bytes behind a fixed prefix; counting in the first bytes in
front of a fixed tail; time-ordered v1 (one node, clock ticking) and v7 (milliseconds first,
random tail); strided (n * 2^16).

    python3 bench/identifier_patterns_bench.py                     # installed build
    python3 bench/identifier_patterns_bench.py --module-path old=/work/baseline-site \\
        --module-path new=.site                                    # two builds side by side
"""

import argparse
import json
import pathlib
import random
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from reconcile_scale_bench import SPEC, generate  # noqa: E402


def v1_ids(count: int, rng: random.Random) -> list[str]:
    node = rng.getrandbits(48)
    clock_seq = rng.getrandbits(14)
    start = 0x1EF0_0000_0000_0000 + rng.getrandbits(40)
    out = []
    for n in range(count):
        t = start + n  # one 100 ns tick apart, as a fast generator hands them out
        out.append(str(uuid.UUID(fields=(t & 0xFFFFFFFF, (t >> 32) & 0xFFFF,
                                         0x1000 | ((t >> 48) & 0x0FFF),
                                         0x80 | (clock_seq >> 8), clock_seq & 0xFF, node))))
    return out


def v7_ids(count: int, rng: random.Random) -> list[str]:
    start_ms = 1_700_000_000_000
    out = []
    for n in range(count):
        ms = start_ms + n // 50  # fifty identifiers per millisecond
        value = (ms << 80) | (0x7 << 76) | (rng.getrandbits(12) << 64) | (0b10 << 62) | \
            rng.getrandbits(62)
        out.append(str(uuid.UUID(int=value)))
    return out


def identifiers(pattern: str, count: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    if pattern == "random v4":
        return [str(uuid.UUID(int=rng.getrandbits(128), version=4)) for _ in range(count)]
    if pattern == "integer-derived":
        return [str(uuid.UUID(int=n)) for n in range(1, count + 1)]
    if pattern == "counting in the last bytes":
        prefix = rng.getrandbits(80) << 48
        return [str(uuid.UUID(int=prefix | n)) for n in range(count)]
    if pattern == "counting in the first bytes":
        tail = rng.getrandbits(80)
        return [str(uuid.UUID(int=(n << 80) | tail)) for n in range(count)]
    if pattern == "time-ordered v1":
        return v1_ids(count, rng)
    if pattern == "time-ordered v7":
        return v7_ids(count, rng)
    if pattern == "strided":
        base = rng.getrandbits(128 - 40) << 40
        return [str(uuid.UUID(int=base + (n << 16))) for n in range(count)]
    raise ValueError(pattern)


PATTERNS = ["random v4", "integer-derived", "counting in the last bytes",
            "counting in the first bytes", "time-ordered v1", "time-ordered v7", "strided"]


def child(module_path: str, entities_path: str) -> int:
    if module_path:
        sys.path.insert(0, module_path)
    from vintrel import _native
    entities = pathlib.Path(entities_path).read_text(encoding="utf-8")
    start = time.perf_counter()
    result = _native.reconcile_local(SPEC, entities)
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "clusters": len(result["clusters"]),
                      "decisions": len(result["decisions"]),
                      "pairs": result["telemetry"]["pairs_evaluated"]}))
    return 0


def run_child(module_path: str, entities_path: str) -> dict:
    return child_figures([sys.executable, __file__, "--child", entities_path, "--child-module",
                          module_path])


def child_figures(command: list[str]) -> dict:
    """The JSON figures a child run prints last, or its error line."""
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        return {"error": (done.stderr.strip().splitlines() or ["exit %d" % done.returncode])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=11)
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs per pattern; the fastest counts (the machine is shared)")
    parser.add_argument("--module-path", action="append", default=[],
                        help="LABEL=DIR of a directory holding `vintrel` (repeatable); "
                             "default: the installed module")
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--child-module", default="", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child_module, args.child)

    builds = []
    for item in args.module_path or ["installed="]:
        label, _, path = item.partition("=")
        builds.append((label, str(pathlib.Path(path).resolve()) if path else ""))

    records = generate(args.records, args.seed)
    empty = [dict(r, data={}) for r in records]
    print(f"{args.records:,} person records (and as many with empty data), best of "
          f"{args.repeat} runs per pattern, ratio to random v4 of the same build")
    with tempfile.TemporaryDirectory() as tmp:
        files = {}
        for pattern in PATTERNS:
            ids = identifiers(pattern, args.records, args.seed + 1)
            assert len(set(ids)) == len(ids), pattern
            for workload, source in (("people", records), ("empty data", empty)):
                for r, i in zip(source, ids):
                    r["id"] = i
                path = pathlib.Path(tmp, f"{workload}-{len(files)}.json")
                path.write_text(json.dumps(source), encoding="utf-8")
                files[(workload, pattern)] = str(path)
        del records, empty

        # Rounds over every pattern and build in turn, so that a busy spell of the shared
        # machine hits them all alike; the fastest run of each counts.
        best: dict[tuple, float] = {}
        counts: dict[tuple, set] = {}
        for _ in range(args.repeat):
            for key, path in files.items():
                for label, module in builds:
                    r = run_child(module, path)
                    if "error" in r:
                        print(f"  {label}, {key}: {r['error']}", file=sys.stderr)
                        continue
                    k = (label,) + key
                    best[k] = min(best.get(k, r["seconds"]), r["seconds"])
                    counts.setdefault((label, key[0]), set()).add(
                        (r["pairs"], r["decisions"], r["clusters"]))

    for workload in ("people", "empty data"):
        print(f"\n{workload}:")
        print(f"  {'identifiers':30s}" + "".join(f"{label:>22s}" for label, _ in builds))
        for pattern in PATTERNS:
            cells = []
            for label, _ in builds:
                t = best.get((label, workload, pattern))
                base = best.get((label, workload, PATTERNS[0]))
                cells.append(f"{t:9.3f} s {t / base:6.2f}x " if t and base else "failed")
            print(f"  {pattern:30s}" + "".join(f"{c:>22s}" for c in cells))
        for label, _ in builds:
            seen = counts.get((label, workload), set())
            print(f"  {label}: pairs, decisions, clusters "
                  + ("the same under every pattern: " if len(seen) == 1 else "DIFFER: ")
                  + ", ".join(f"{p:,} / {d:,} / {c:,}" for p, d, c in sorted(seen)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
