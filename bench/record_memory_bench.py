"""Peak memory and time of `reconcile_local` when no pair reaches a decision, so that what is
measured is the cost of holding and preparing the records: generated customer records (the
generator of reconcile_driver_bench.py), the example spec with thresholds no pair reaches.
The JSON text is generated once, by this process, and written to a file; each build runs in a
child process of its own that reads the file, so that the child's peak RSS (`ru_maxrss`)
covers the interpreter, the input text and the call, not the generator's Python objects.

Prints per record: the peak RSS, input text included; what the process held when the call
started (interpreter, module and input text); the growth during the call (peak minus that);
the highest RSS sampled every half millisecond by a thread while the call has the interpreter
lock released (reading, engine, clustering, golden records: everything before the Python
result is built; the thread cannot run while the lock is held); and what the Python result
keeps (RSS given back when it is deleted). Also the call's wall and CPU time (CPU time is the
steadier figure on a shared machine). Asserts nothing.

The growth is measured from the RSS at the call's start. Reading the file makes a transient
copy of the text (bytes, then str), which `ru_maxrss` before the call would include.

    python3 bench/record_memory_bench.py                              # the installed build
    python3 bench/record_memory_bench.py --baseline /path/to/old/site # old and installed, side by side
"""

import argparse
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]

CHILD = r"""
import gc, json, os, resource, sys, threading, time
from vintrel import _native
PAGE = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE
spec = {spec!r}
with open({path!r}, encoding="utf-8") as f:
    text = f.read()
gc.collect()
held = rss()
unlocked_peak = [0]
stop = threading.Event()
def sample():
    while not stop.is_set():
        unlocked_peak[0] = max(unlocked_peak[0], rss())
        time.sleep(0.0005)
sampler = threading.Thread(target=sample, daemon=True)
sampler.start()
usage = resource.getrusage(resource.RUSAGE_SELF)
cpu_before = usage.ru_utime + usage.ru_stime
start = time.perf_counter()
result = _native.reconcile_local(spec, text)
seconds = time.perf_counter() - start
usage = resource.getrusage(resource.RUSAGE_SELF)
stop.set()
sampler.join()
peak = usage.ru_maxrss * 1024
figures = {{"seconds": seconds, "cpu": usage.ru_utime + usage.ru_stime - cpu_before, "peak": peak,
           "held": held, "unlocked_peak": unlocked_peak[0], "text": len(text),
           "decisions": len(result["decisions"]), "clusters": len(result["clusters"]),
           "pairs": result["telemetry"]["pairs_evaluated"]}}
with_result = rss()
del result
gc.collect()
figures["result"] = with_result - rss()
print(json.dumps(figures))
"""


def unreachable_spec() -> str:
    spec = (ROOT / "examples" / "customer.yaml").read_text(encoding="utf-8")
    # Thresholds above every score: pairs are scored, none becomes a decision.
    spec = re.sub(r"match: 0\.85", "match: 1.01", spec)
    spec = re.sub(r"review: 0\.65", "review: 1.01", spec)
    return re.sub(r"reject: 0\.3", "reject: 1.01", spec)


def run_child(site: str | None, path: str) -> dict:
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = site + os.pathsep + env.get("PYTHONPATH", "")
    code = CHILD.format(path=path, spec=unreachable_spec())
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd="/tmp", check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, nargs="+", default=[100_000])
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--baseline", help="directory holding the old vintrel package")
    args = parser.parse_args()
    builds = ([("old", args.baseline)] if args.baseline else []) + [("new", None)]
    sys.path.insert(0, str(ROOT / "bench"))
    from reconcile_driver_bench import generate
    for count in args.records:
        figures = {}
        with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8") as f:
            json.dump(generate(count, args.seed), f)
            f.flush()
            results = {name: run_child(site, f.name) for name, site in builds}
        for name, _ in builds:
            f = results[name]
            figures[name] = f
            print(f"{name}: {count:,} records ({f['text'] / 1e6:.1f} MB JSON), "
                  f"{f['pairs']:,} pairs, {f['decisions']:,} decisions: "
                  f"{f['seconds']:.3f} s ({f['cpu']:.2f} s of CPU), peak RSS {f['peak'] / 1e6:.0f} MB = "
                  f"{f['peak'] / count:,.0f} B/record (text {f['text'] / count:,.0f} B/record)")
            print(f"  per record: held at the call's start {f['held'] / count:,.0f} B, "
                  f"growth during the call {(f['peak'] - f['held']) / count:,.0f} B, "
                  f"highest sampled with the lock released {f['unlocked_peak'] / count:,.0f} B, "
                  f"kept by the Python result {f['result'] / count:,.0f} B")
        if "old" in figures:
            old, new = figures["old"], figures["new"]
            print(f"new/old: time {new['seconds'] / old['seconds']:.2f}x, "
                  f"CPU time {new['cpu'] / old['cpu']:.2f}x, "
                  f"peak RSS {new['peak'] / old['peak']:.2f}x, "
                  f"growth {(new['peak'] - new['held']) / max(1, old['peak'] - old['held']):.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
