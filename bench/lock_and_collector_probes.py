"""How a large reconcile call meets the host's other threads, its collector and Ctrl-C, for one
or more builds of the module, each trial in a child process of its own, the builds taken in
turn. Prints figures; asserts nothing.

The workload is 100,000 records in blocks of 20 that all merge: 950,000 decisions, whose
Python form is most of the call. Probes:

  ticker   A thread ticks every millisecond and keeps what it allocates, while another thread
           makes the call, holds the result for a while and drops it. Printed: the ticker's
           longest pause from the call's start to the moment the result is dropped, and where
           it fell (seconds from the call's return), how long dropping the result took, and
           the full collections that ran meanwhile (the ticker's own allocations make one due
           every few seconds; one that falls while the result is held scans it).
  other    The main thread is in a long call (one block of 40,000 records, the engine's work)
           while another thread's call of the workload ends; a process of its own sends SIGINT
           (the default handler raises KeyboardInterrupt on the main thread) at points around
           that end. Printed per point: when the signal went (seconds after the other call's
           return) and the delay from it to the exception, with "(drop)" when that stretch met
           the other thread freeing its result (1.2 s after its return).
  sweep    The main thread's own call, interrupted at 12 points spread over its length.
           Printed per point: the delay from the timer to the exception ("-": the call ended
           first; "(after)": the call had returned when the host acted on the signal).
  retry    60 calls of 50,000 records (475,000 decisions), each interrupted once half of its
           result's objects have been made (a thread watches their count) and at once made
           again, its result dropped.
           Printed: the peak RSS of the process, and its RSS after the last retry's result is
           dropped (before any other statement runs), in MiB, with how many calls were stopped.
  capped   Ten small calls with the worker pool capped at two threads by a
           tbb::global_control (set through ctypes, as another library in the process could),
           and ten without a cap. Printed: milliseconds for the ten calls.
  hostloop A host that calls in a loop (--loop-calls calls of 2,000 to 20,000 records in blocks
           of 20, results of 19,000 to 190,000 decisions) and makes cyclic garbage around its
           calls, three ways: `cycles` (5,000 request objects in reference cycles, alive during
           the call and dropped after it), `exception` (a caught exception kept in a local:
           frame, exception and traceback in a cycle holding a 4 MiB buffer) and `json` (a
           request read with json.loads whose nodes get links to their parents). Each with the
           collector on (`on`) and with gc.disable() and a gc.collect(1) after every call
           (`manual`). Printed per loop: the garbage held after each call (its largest and
           last), the collections of each generation, the calls after which the count of
           generation 1 or 2 differed from before the call, gc.get_count() around the last
           call, and RSS after the first and the last call.
  soak     A host that calls for --soak-seconds (results of 5,700 to 380,000 decisions, each
           over the line where a result joins the oldest generation) while other threads run
           collections whose finalizers give the lock away, gc.freeze()/gc.unfreeze(), walks of
           gc.get_objects() and gc.get_referents(), allocate, and drop results the main thread
           hands them; a gc callback and finalizers call too (the young hand-over). Printed:
           the calls of each kind, and the faults found (a result unlike the same call's alone,
           a decision left untracked, an object listed in two generations or in none).

    python3 bench/lock_and_collector_probes.py --module-path OLD --module-path NEW
    python3 bench/lock_and_collector_probes.py --module-path NEW --probe sweep --runs 3
    python3 bench/lock_and_collector_probes.py --baseline OLD --module-path NEW --probe hostloop --runs 1
    python3 bench/lock_and_collector_probes.py --module-path NEW --probe soak --runs 1 --soak-seconds 300
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
    '''Seconds from the timer to the KeyboardInterrupt, and whether the call had returned by
    then (the host acted on the signal in the caller's code); None if no interrupt came.'''
    start = now()
    returned = []  # the result goes here straight from C code, so that it is not dropped
    columns = [[arg] for arg in args]
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds)
        returned.extend(map(call, *columns))
        signal.setitimer(signal.ITIMER_REAL, 0)
    except KeyboardInterrupt:
        latency = now() - start - seconds
        for _ in range(2000):  # what the call left to be freed after it goes now, not in the next
            time.sleep(0)
        return latency, bool(returned)
    stopped_after.ended_in = now() - start
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
collections = []  # (generation, start, end) of each collection of the host's collector
def timed(phase, info):
    if phase == "start":
        collections.append([info["generation"], now(), None])
    else:
        collections[-1][2] = now()
gc.callbacks.append(timed)
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
full = [c for c in collections if c[0] == 2 and c[1] < marks["drop"] and c[2] > marks["start"]]
report(longest=longest, at=where, during=longest_pause(marks["start"], marks["returned"])[0],
       full=[(c[1] - marks["returned"], c[2] - c[1]) for c in full],
       after=longest_pause(marks["returned"], marks["drop"])[0],
       call=marks["returned"] - marks["start"], drop=marks["dropped"] - marks["drop"])
""",
    "other": r"""
import select, subprocess
other_texts = blocks(5000)
long_texts = one_block(40000)
_native.reconcile_local(SPEC, blocks(100))
signal.signal(signal.SIGINT, signal.default_int_handler)
# Seconds from the other call's return to the SIGINT. A process of its own sends it, woken by
# a byte the other thread writes at its call's start and one right after its return (a write
# that makes no container: on a build that leaves a collection due, the first container made
# after the return runs it). A negative offset is counted from the call's start and the median
# length of the calls before; the delays are listed by when the signal actually went.
OFFSETS = [-0.2, -0.05, 0.0, 0.02, 0.05, 0.1, 0.2, 0.4, 0.8, 1.1, 1.15]
SENDER = '''
import os, select, signal, statistics, sys, time
marks, report, parent, offsets = int(sys.argv[1]), int(sys.argv[2]), os.getppid(), eval(sys.argv[3])
lengths = []
def send():
    sent = time.monotonic()
    os.kill(parent, signal.SIGINT)
    return sent
for offset in [0.0] + offsets:
    os.read(marks, 1)
    start, sent = time.monotonic(), None
    if offset < 0 and lengths:
        wait = start + statistics.median(lengths) + offset - time.monotonic()
        if not select.select([marks], [], [], max(0.0, wait))[0]:
            sent = send()
    os.read(marks, 1)
    returned = time.monotonic()
    lengths.append(returned - start)
    if sent is None:
        time.sleep(max(0.0, offset))
        sent = send()
    os.write(report, f"{sent} {returned} {start}\\n".encode())
'''
to_sender, from_probe = os.pipe()
from_sender, to_probe = os.pipe()
sender = subprocess.Popen([sys.executable, "-c", SENDER, str(to_sender), str(to_probe), repr(OFFSETS)],
                          pass_fds=(to_sender, to_probe))
reports = os.fdopen(from_sender, "r")
def trial(offset):
    marks = {}
    def other():
        os.write(from_probe, b"s")
        result = _native.reconcile_local(SPEC, other_texts)
        os.write(from_probe, b"r")
        time.sleep(1.2)
        marks["drop"] = time.monotonic()
        del result
        marks["dropped"] = time.monotonic()
    thread = threading.Thread(target=other)
    thread.start()
    caught = None
    try:
        _native.reconcile_local(SPEC, long_texts)
    except KeyboardInterrupt:
        caught = time.monotonic()
    thread.join()
    sent, returned, start = map(float, reports.readline().split())
    # The other thread frees its result holding the lock: a delay that meets that is not the
    # call's (the target allows 0.1 s).
    overlaps = marks["drop"] < sent + 0.1 and sent < marks["dropped"]
    return {"offset": offset, "latency": caught and caught - sent, "vs_return": sent - returned,
            "overlaps_drop": overlaps, "length": returned - start}
trial(0.0)  # the first length
rows = sorted((trial(offset) for offset in OFFSETS), key=lambda r: r["vs_return"])
sender.wait()
report(duration=statistics.median(r["length"] for r in rows), rows=rows)
""",
    "sweep": r"""
texts = blocks(5000)
durations = []
for _ in range(3):
    start = now()
    _native.reconcile_local(SPEC, texts)
    durations.append(now() - start)
whole = min(durations)
stops = []
for k in range(1, 13):
    # The call's length varies from call to call on a shared machine: a point that the call
    # ended before is tried again at the same share of that call's length.
    length = whole
    for _ in range(3):
        stop = stopped_after(length * (k - 0.5) / 12, _native.reconcile_local, SPEC, texts)
        if stop is not None:
            break
        length = stopped_after.ended_in
    stops.append(stop)
report(whole=whole, latencies=[s and s[0] for s in stops], returned=[bool(s and s[1]) for s in stops])
""",
    "retry": r"""
import resource, _thread
texts = blocks(2500)
def rss_mib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
# The interrupt comes when half of the result's objects have been made: a thread watches their
# count, so that every build is stopped at the same point of its work. Between the exception
# and the retry the main thread runs no call (in which the host would run its pending calls).
before = sys.getallocatedblocks()
start = now()
result = _native.reconcile_local(SPEC, texts)
whole = now() - start
half = (sys.getallocatedblocks() - before) // 2
del result
NEVER = float("inf")
target = [NEVER]
def watch():
    while target[0] is not None:
        if sys.getallocatedblocks() > target[0]:
            target[0] = NEVER
            _thread.interrupt_main()
        time.sleep(0.001)
watcher = threading.Thread(target=watch)
watcher.start()
stopped = 0
for _ in range(60):
    target[0] = sys.getallocatedblocks() + half
    try:
        _native.reconcile_local(SPEC, texts)
    except KeyboardInterrupt:
        stopped += 1
    try:
        result = _native.reconcile_local(SPEC, texts)
        del result
    except KeyboardInterrupt:  # the first call ended before the count was reached
        pass
held = rss_mib()
target[0] = None
watcher.join()
report(peak=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, held=held, stopped=stopped,
       whole=whole)
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
    "hostloop": r"""
def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
LOOP, MODE, CALLS = PARAMS["loop"], PARAMS["mode"], PARAMS["calls"]
SIZES = [2000, 5000, 10000, 20000]  # records a call, in turn
texts = {n: blocks(n // 20) for n in SIZES}
class Request:  # the host's own objects: a request and what it refers to
    def __init__(self, k):
        self.k, self.peer = k, self
class RequestError(Exception):
    pass
REQUEST = json.dumps({"request": True, "items": [{"id": k, "tags": [str(k)], "children": [{"v": j} for j in range(3)]}
                                                 for k in range(300)]})
def link_parents(node, parent):
    if isinstance(node, dict):
        node["parent"] = parent
        for value in list(node.values()):
            if value is not parent:
                link_parents(value, node)
    elif isinstance(node, list):
        for value in node:
            link_parents(value, parent)
around = []
def measured(source):
    before = gc.get_count()
    result = _native.reconcile_local(SPEC, source)
    around.append((before, gc.get_count()))
    return result
def call_with_cycles(source):
    held = [Request(k) for k in range(5000)]
    return measured(source)
def call_after_an_exception(source):
    buffer = bytearray(4 << 20)
    try:
        raise RequestError("bad request")
    except RequestError as e:
        error = e  # frame -> error -> traceback -> frame, which holds the buffer
    return measured(source)
def call_with_a_request(source):
    request = json.loads(REQUEST)
    link_parents(request, None)
    return measured(source)
CALL = {"cycles": call_with_cycles, "exception": call_after_an_exception, "json": call_with_a_request}[LOOP]
def garbage_held():
    # What the loop made and dropped that is still there: only cyclic garbage keeps it.
    if LOOP == "cycles":
        return sum(type(o) is Request for o in gc.get_objects())
    if LOOP == "exception":
        return sum(type(o) is RequestError for o in gc.get_objects())
    return sum(type(o) is dict and o.get("request") is True for o in gc.get_objects())
started = [0, 0, 0]
def counted(phase, info):
    if phase == "start":
        started[info["generation"]] += 1
if MODE == "manual":
    gc.disable()
gc.callbacks.append(counted)
held, rss = [], []
for k in range(CALLS):
    result = CALL(texts[SIZES[k % len(SIZES)]])
    del result
    if MODE == "manual":
        gc.collect(1)
    held.append(garbage_held())
    rss.append(rss_mb())
gc.callbacks.remove(counted)
report(held_max=max(held), held_last=held[-1], collections=started,
       moved=sum(after[1:] != before[1:] for before, after in around), around=around[-1],
       rss_first=rss[0], rss_last=rss[-1], rss_max=max(rss))
""",
    "soak": r"""
import queue, random
SIZES = [30, 100, 500, 2000]  # blocks a call
texts = {n: blocks(n) for n in SIZES}
expected = {n: json.dumps(_native.reconcile_local(SPEC, texts[n])) for n in SIZES}
stop, world = threading.Event(), threading.Lock()  # world: held by the host threads' steps
counts = {"calls": 0, "callback calls": 0, "finalizer calls": 0, "collections": 0, "freezes": 0,
          "walks": 0, "dropped elsewhere": 0}
faults = []
def call(n, where):
    result = _native.reconcile_local(SPEC, texts[n])
    if not all(gc.is_tracked(d) for d in result["decisions"]):
        faults.append(f"a decision untracked ({where})")
    return result
class Slow:  # gives the lock away in the middle of a collection
    def __init__(self):
        self.me = self
    def __del__(self):
        time.sleep(0.002)
class Calling:
    def __init__(self):
        self.me = self
    def __del__(self):
        if json.dumps(call(30, "finalizer")) != expected[30]:
            faults.append("a finalizer's result differs")
        counts["finalizer calls"] += 1
def during_collection(phase, info):
    if phase == "start" and random.random() < 0.01:
        call(30, "callback")
        counts["callback calls"] += 1
def host():
    rnd = random.Random(1)
    while not stop.is_set():
        with world:
            junk = [Slow() for _ in range(rnd.randrange(5))]
            mine = [[k, {"k": [k]}] for k in range(rnd.randrange(10, 3000))]
            del junk
            r = rnd.random()
            if r < 0.3:
                gc.collect(rnd.randrange(3))
                counts["collections"] += 1
            elif r < 0.45:
                gc.freeze()
                counts["freezes"] += 1
            elif r < 0.6:
                gc.unfreeze()
            elif r < 0.7:
                sum(len(gc.get_referents(o)) for o in gc.get_objects(rnd.randrange(3)))
                counts["walks"] += 1
        time.sleep(rnd.random() * 0.003)
drops = queue.Queue()
def dropper():
    while (item := drops.get()) is not None:
        del item
        counts["dropped elsewhere"] += 1
def allocator():
    while not stop.is_set():
        with world:
            made = [(k, [k], {"k": k}) for k in range(200)]
        time.sleep(0.0005)
def listed_once():
    with world:
        gc.collect()
        gc.disable()
        every = {id(o) for o in gc.get_objects()}
        ids = [id(o) for g in range(3) for o in gc.get_objects(g)]
        gc.enable()
    if len(ids) != len(set(ids)) or every - set(ids):
        faults.append("an object listed in two generations or in none")
gc.callbacks.append(during_collection)
threads = [threading.Thread(target=f) for f in (host, dropper, allocator)]
for t in threads:
    t.start()
rnd, held, start, k = random.Random(2), None, now(), 0
while now() - start < PARAMS["seconds"]:
    k += 1
    n = SIZES[3] if k % 10 == 0 else rnd.choice(SIZES[:3])
    requests = [Calling() if j == 0 and k % 7 == 0 else [j] for j in range(2000)]
    try:
        raise ValueError("kept")
    except ValueError as e:
        error = e  # a cycle through this frame
    result = call(n, "main")
    counts["calls"] += 1
    if k % 5 == 0:
        gc.freeze()
        if json.dumps(result) != expected[n]:
            faults.append("a result differs")
        gc.unfreeze()
    if k % 3 == 0:
        drops.put(result)
    elif k % 3 == 1:
        held = result  # held across the next call
    del result, requests
    if k % 20 == 0:
        listed_once()
stop.set()
drops.put(None)
for t in threads:
    t.join()
gc.callbacks.remove(during_collection)
held = None
gc.unfreeze()
listed_once()
report(counts=counts, faults=sorted(set(faults)))
""",
}


def run_child(probe: str, module_path: str, cap: int = 0, params: dict | None = None) -> dict:
    code = (CHILD_PRELUDE.replace("MODULE_PATH", repr(str(pathlib.Path(module_path).resolve())))
            + f"import pathlib, statistics\nREPO = pathlib.Path({str(REPO)!r})\nCAP = {cap}\n"
            + f"PARAMS = {params or {}!r}\n"
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
    parser.add_argument("--probe", action="append", choices=list(PROBES), default=[],
                        help="probes to run (repeatable; all but hostloop and soak when none is given)")
    parser.add_argument("--baseline", action="append", default=[],
                        help="a build to compare with, taken before the --module-path ones (repeatable)")
    parser.add_argument("--runs", type=int, default=2, help="trials per probe and build")
    parser.add_argument("--loop-calls", type=int, default=40, help="calls per host loop")
    parser.add_argument("--soak-seconds", type=float, default=120, help="length of the soak")
    parser.add_argument("--loop", action="append", choices=["cycles", "exception", "json"], default=[])
    args = parser.parse_args()
    builds = args.baseline + (args.module_path or [str(REPO / ".site")])
    probes = args.probe or [p for p in PROBES if p not in ("hostloop", "soak")]
    names = [pathlib.Path(b).resolve().as_posix()[-30:] for b in builds]
    for probe in probes:
        print(f"== {probe}", flush=True)
        for run in range(args.runs):
            for j in range(len(builds)):
                k = (run + j) % len(builds)  # each build in each place of the order in turn
                if probe == "hostloop":
                    for loop in args.loop or ["cycles", "exception", "json"]:
                        for mode in ("on", "manual"):
                            f = run_child(probe, builds[k], params={"loop": loop, "mode": mode,
                                                                    "calls": args.loop_calls})
                            (b0, a0) = f["around"]
                            print(f"  {names[k]:>30}  {loop:>9} {mode:>6}: garbage held max {f['held_max']:>7}"
                                  f" last {f['held_last']:>7}; collections {f['collections']}; counts 1-2"
                                  f" changed by {f['moved']:>3} of {args.loop_calls} calls, last {tuple(b0)}"
                                  f" -> {tuple(a0)}; RSS {f['rss_first']:.0f} -> {f['rss_last']:.0f} MB"
                                  f" (max {f['rss_max']:.0f})", flush=True)
                    continue
                if probe == "soak":
                    f = run_child(probe, builds[k], params={"seconds": args.soak_seconds})
                    kinds = ", ".join(f"{v} {name}" for name, v in f["counts"].items())
                    print(f"  {names[k]:>30}  {kinds}; faults: {', '.join(f['faults']) or 'none'}",
                          flush=True)
                    continue
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
                    if f["full"]:
                        runs = ", ".join(f"{d:.3f} s at {at:+.3f} s" for at, d in f["full"])
                        print(f"  {'':>30}  full collections the host's rule called for meanwhile: {runs}",
                              flush=True)
                elif probe == "other":
                    cells = " ".join(f"{r['vs_return']:+.2f}:{fmt(r['latency'])}"
                                     f"{'(drop)' if r['overlaps_drop'] else ''}" for r in f["rows"])
                    print(f"  {names[k]:>30}  other call {f['duration']:.2f} s; delay by when the timer"
                          f" went off after its return: {cells}", flush=True)
                    worst = max((r["latency"] for r in f["rows"]
                                 if r["latency"] is not None and not r["overlaps_drop"]), default=None)
                    print(f"  {'':>30}  worst outside the other's drop: {fmt(worst)} s", flush=True)
                elif probe == "retry":
                    print(f"  {names[k]:>30}  call {f['whole']:.2f} s, {f['stopped']} of 60 stopped:"
                          f" peak RSS {f['peak']:.0f} MiB, held after the last retry"
                          f" {f['held']:.0f} MiB", flush=True)
                elif probe == "sweep":
                    cells = " ".join(fmt(l) + ("(after)" if r else "")
                                     for l, r in zip(f["latencies"], f["returned"]))
                    done = [l for l, r in zip(f["latencies"], f["returned"]) if l is not None and not r]
                    print(f"  {names[k]:>30}  call {f['whole']:.2f} s; delays: {cells};"
                          f" worst in the call {fmt(max(done) if done else None)} s", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
