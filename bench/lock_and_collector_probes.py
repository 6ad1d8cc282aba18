"""How a large reconcile call meets the host's other threads, its collector and Ctrl-C, for one
or more builds of the module, each trial in a child process of its own, the builds taken in
turn. Prints figures; asserts nothing.

The workload is 100,000 records in blocks of 20 that all merge: 950,000 decisions, whose
Python form is most of the call. Probes:

  ticker   A thread ticks every millisecond and keeps what it allocates, while another thread
           makes the call, holds the result for a while and drops it. Printed: the ticker's
           longest pause from the call's start to the moment the result is dropped, and where
           it fell (seconds from the call's return), and how long dropping the result took.
  other    The main thread is in a long call (one block of 20,000 records, the engine's work)
           while another thread's call of the workload ends; an interval timer raises
           KeyboardInterrupt on the main thread (the default SIGINT handler) at points around
           that end. Printed per point: the delay from the timer to the exception, and "drop"
           when that stretch overlapped the other thread freeing its result.
  sweep    The main thread's own call, interrupted at 12 points spread over its length.
           Printed per point: the delay from the timer to the exception ("-": the call ended
           first).
  capped   Ten small calls with the worker pool capped at two threads by a
           tbb::global_control (set through ctypes, as another library in the process could),
           and ten without a cap. Printed: milliseconds for the ten calls.

    python3 bench/lock_and_collector_probes.py --module-path OLD --module-path NEW
    python3 bench/lock_and_collector_probes.py --module-path NEW --probe sweep --runs 3
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[1]

CHILD_PRELUDE = r"""
import ctypes, gc, json, os, signal, sys, threading, time
sys.path.insert(0, MODULE_PATH)
from vintrel import _native

SPEC = '''
api_version: vintrel/v1
identity_version: "1"
entity: {name: person}
sources:
  - name: crm
blocking:
  strategy: single
  keys: [[zip]]
rules:
  - {name: name_similar, type: similarity, field: name, algorithm: levenshtein, threshold: 0.8, weight: 0.6}
  - {name: mail_similar, type: similarity, field: mail, algorithm: jaro_winkler, threshold: 0.9, weight: 0.5}
decision:
  thresholds: {match: 0.95, review: 0.9}
'''

def entity(i, data):
    return {"id": f"00000000-0000-4000-8000-{i:012x}", "tenant_id": "7d444840-9dc0-11d1-b245-5ffdce74fad2",
            "external_id": f"x{i}", "entity_type": "person", "data": data, "source_name": "crm",
            "last_updated": "2024-01-01T00:00:00Z"}

def blocks(count):
    # Blocks of 20 identical records: 190 decisions per block.
    return json.dumps([entity(i, {"zip": str(i // 20), "name": f"n{i // 20}", "mail": "m"})
                       for i in range(20 * count)])

def one_block(count):
    # One block of distinct records: the engine compares every pair for seconds.
    import random
    rnd = random.Random(count)
    word = lambda k: "".join(rnd.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(k))
    return json.dumps([entity(i, {"zip": "1", "name": word(8), "mail": word(10)}) for i in range(count)])

now = time.perf_counter
signal.signal(signal.SIGALRM, signal.default_int_handler)  # what Ctrl-C runs

def stopped_after(seconds, call, *args):
    '''Seconds from the timer to the KeyboardInterrupt; None if the call ended first.'''
    start = now()
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds)
        call(*args)
        signal.setitimer(signal.ITIMER_REAL, 0)
    except KeyboardInterrupt:
        return now() - start - seconds
    return None

def report(**figures):
    print("FIGURES " + json.dumps(figures), flush=True)
"""

PROBES = {
    "ticker": r"""
texts = blocks(5000)
_native.reconcile_local(SPEC, blocks(100))  # the pool and the work thread are up
HOLD = 1.5  # the caller holds the result this long (a generation-1 pass falls due in about 1 s)
kept, ticks, marks = [], [], {}
def tick():
    while "stop" not in marks:
        time.sleep(0.001)
        ticks.append(now())
        kept.append([(k, [k], {"k": k}) for k in range(10)])
def work():
    marks["start"] = now()
    result = _native.reconcile_local(SPEC, texts)
    marks["returned"] = now()
    time.sleep(HOLD)
    marks["drop"] = now()
    del result
    marks["dropped"] = now()
    time.sleep(0.05)
    marks["stop"] = True
ticker = threading.Thread(target=tick)
ticker.start()
worker = threading.Thread(target=work)
worker.start()
worker.join()
ticker.join()
def longest_pause(start, end):
    longest, where = 0.0, None
    for a, b in zip(ticks, ticks[1:]):
        if b <= start or a >= end:
            continue
        gap = min(b, end) - max(a, start)
        if gap > longest:
            longest, where = gap, a - marks["returned"]
    return longest, where
longest, where = longest_pause(marks["start"], marks["drop"])
report(longest=longest, at=where, during=longest_pause(marks["start"], marks["returned"])[0],
       after=longest_pause(marks["returned"], marks["drop"])[0],
       call=marks["returned"] - marks["start"], drop=marks["dropped"] - marks["drop"])
""",
    "other": r"""
other_texts = blocks(5000)
long_texts = one_block(20000)
_native.reconcile_local(SPEC, blocks(100))
OFFSETS = [-0.10, 0.0, 0.02, 0.05, 0.10, 0.20, 0.40, 0.80]
def trial(offset):
    marks = {}
    def other():
        marks["start"] = now()
        result = _native.reconcile_local(SPEC, other_texts)
        marks["returned"] = now()
        time.sleep(1.2)
        marks["drop"] = now()
        del result
        marks["dropped"] = now()
    thread = threading.Thread(target=other)
    thread.start()
    while "start" not in marks:
        time.sleep(0.0005)
    if offset is None:  # calibration: how long the other call takes beside the long one
        try:
            def stop_when_returned():
                while "returned" not in marks:
                    time.sleep(0.001)
                signal.setitimer(signal.ITIMER_REAL, 0.001)
            threading.Thread(target=stop_when_returned).start()
            _native.reconcile_local(SPEC, long_texts)
        except KeyboardInterrupt:
            pass
        thread.join()
        return marks["returned"] - marks["start"]
    delay = max(0.001, DURATION + offset - (now() - marks["start"]))
    alarm = now() + delay
    latency = stopped_after(delay, _native.reconcile_local, SPEC, long_texts)
    caught = now()
    thread.join()
    # The other thread frees its result holding the lock: a delay that meets that is not the
    # call's (the target allows 0.1 s).
    overlaps = marks["drop"] < alarm + 0.1 and alarm < marks["dropped"]
    return {"offset": offset, "latency": latency, "vs_return": alarm - marks["returned"],
            "overlaps_drop": overlaps}
DURATION = statistics.median([trial(None) for _ in range(2)])
rows = [trial(offset) for offset in OFFSETS]
report(duration=DURATION, rows=rows)
""",
    "sweep": r"""
texts = blocks(5000)
durations = []
for _ in range(2):
    start = now()
    _native.reconcile_local(SPEC, texts)
    durations.append(now() - start)
whole = min(durations)
points = [whole * (k - 0.5) / 12 for k in range(1, 13)]
latencies = [stopped_after(at, _native.reconcile_local, SPEC, texts) for at in points]
report(whole=whole, points=points, latencies=latencies)
""",
    "capped": r"""
class GlobalControl(ctypes.Structure):  # tbb::global_control's layout (oneTBB 2021)
    _fields_ = [("value", ctypes.c_size_t), ("reserved", ctypes.c_ssize_t), ("param", ctypes.c_int)]
tbb = ctypes.CDLL("libtbb.so.12")
create = getattr(tbb, "_ZN3tbb6detail2r16createERNS0_2d114global_controlE")
destroy = getattr(tbb, "_ZN3tbb6detail2r17destroyERNS0_2d114global_controlE")
spec = (REPO / "examples" / "customer.yaml").read_text()
records = (REPO / "examples" / "customers.json").read_text()
def ten_calls():
    start = now()
    for _ in range(10):
        _native.reconcile_local(spec, records)
    return (now() - start) * 1000
if CAP:
    control = GlobalControl(CAP, 0, 0)  # max_allowed_parallelism, before the first call
    create(ctypes.byref(control))
first = ten_calls()
second = ten_calls()
report(first_ms=first, second_ms=second)
""",
}


def run_child(probe: str, module_path: str, cap: int = 0) -> dict:
    code = (CHILD_PRELUDE.replace("MODULE_PATH", repr(str(pathlib.Path(module_path).resolve())))
            + f"import pathlib, statistics\nREPO = pathlib.Path({str(REPO)!r})\nCAP = {cap}\n"
            + PROBES[probe])
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=900, env=env)
    for line in result.stdout.splitlines():
        if line.startswith("FIGURES "):
            return json.loads(line[len("FIGURES "):])
    raise RuntimeError(f"{probe} child failed:\n{result.stdout[-2000:]}\n{result.stderr[-3000:]}")


def fmt(value, digits=3):
    return "-" if value is None else f"{value:.{digits}f}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module-path", action="append", default=[],
                        help="a directory holding `vintrel` (repeatable)")
    parser.add_argument("--probe", action="append", choices=list(PROBES), default=[])
    parser.add_argument("--runs", type=int, default=2, help="trials per probe and build")
    args = parser.parse_args()
    builds = args.module_path or [str(REPO / ".site")]
    probes = args.probe or list(PROBES)
    names = [pathlib.Path(b).resolve().as_posix()[-30:] for b in builds]
    for probe in probes:
        print(f"== {probe}", flush=True)
        for run in range(args.runs):
            for j in range(len(builds)):
                k = (run + j) % len(builds)  # each build in each place of the order in turn
                if probe == "capped":
                    for cap in (2, 0):
                        f = run_child(probe, builds[k], cap)
                        print(f"  {names[k]:>30}  cap {cap or 'none':>4}: ten calls {f['first_ms']:8.1f} ms,"
                              f" ten more {f['second_ms']:8.1f} ms", flush=True)
                    continue
                f = run_child(probe, builds[k])
                if probe == "ticker":
                    print(f"  {names[k]:>30}  longest pause {fmt(f['longest'])} s at {fmt(f['at'])} s"
                          f" from the return (in the call {fmt(f['during'])} s, after it"
                          f" {fmt(f['after'])} s); call {fmt(f['call'])} s, dropping the result"
                          f" {fmt(f['drop'])} s", flush=True)
                elif probe == "other":
                    cells = " ".join(f"{r['vs_return']:+.2f}:{fmt(r['latency'])}"
                                     f"{'(drop)' if r['overlaps_drop'] else ''}" for r in f["rows"])
                    print(f"  {names[k]:>30}  other call {f['duration']:.2f} s; delay by when the timer"
                          f" went off after its return: {cells}", flush=True)
                    worst = max((r["latency"] for r in f["rows"]
                                 if r["latency"] is not None and not r["overlaps_drop"]), default=None)
                    print(f"  {'':>30}  worst outside the other's drop: {fmt(worst)} s", flush=True)
                elif probe == "sweep":
                    cells = " ".join(fmt(l) for l in f["latencies"])
                    done = [l for l in f["latencies"] if l is not None]
                    print(f"  {names[k]:>30}  call {f['whole']:.2f} s; delays: {cells};"
                          f" worst {fmt(max(done) if done else None)} s", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
