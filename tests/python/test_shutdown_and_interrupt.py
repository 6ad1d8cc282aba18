"""A reconcile call and the life of the process around it: a daemon thread inside a call at
interpreter shutdown lets the process exit normally, Ctrl-C stops a long call promptly in
every phase and leaves the module working, other threads run while a result is built, and a
child forked by a signal handler during a call goes on. Each case runs in a child
interpreter, which installs the default SIGINT handler itself (a background job ignores
SIGINT)."""

import pathlib
import subprocess
import sys
import textwrap

import pytest

from conftest import run_isolated

# Records for the children: `records(n)` all share one blocking key, so a call compares
# every pair (n = 20,000 keeps the workers busy for seconds); one in twenty repeats the data
# of an earlier record and is merged with it.
PRELUDE = """
    import json, random, threading, time, _thread, os, signal
    from vintrel import _native
    signal.signal(signal.SIGINT, signal.default_int_handler)

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

    def records(count):
        rnd = random.Random(count)
        word = lambda k: "".join(rnd.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(k))
        data = [{"zip": "1", "name": word(8), "mail": word(10)} for _ in range(count)]
        return json.dumps([{
            "id": f"00000000-0000-4000-8000-{i:012x}",
            "tenant_id": "7d444840-9dc0-11d1-b245-5ffdce74fad2",
            "external_id": f"x{i}", "entity_type": "person",
            "data": data[i - i % 3 * (i % 20 == 2)], "source_name": "crm",
            "last_updated": "2024-01-01T00:00:00Z"} for i in range(count)])

    # Every pair merges; graph clustering then cuts the one component down edge by edge,
    # which takes minutes for 600 records.
    GRAPH_SPEC = SPEC.replace("thresholds: {match: 0.95, review: 0.9}",
                              "thresholds: {match: 0.5}\\n  clustering: {method: graph, max_cluster_size: 2}"
                              ).replace("type: similarity, field: name, algorithm: levenshtein", "type: exact, field: zip")
    CALLS = {
        "local": lambda texts: _native.reconcile_local(SPEC, texts),
        "incremental": lambda texts: _native.reconcile_incremental(SPEC, texts, records(3), "[]", None),
        "graph clustering": lambda texts: _native.reconcile_local(GRAPH_SPEC, texts),
    }
    # Records for a long call and for a short one, by call.
    LONG, SHORT = {"graph clustering": (600, 40)}.get(FUNCTION, (20000, 800))
"""

# Daemon threads still inside calls (with no records, a few, and enough to be comparing
# when the interpreter shuts down) meet the shutdown at different points of the call.
EXIT_PROBE = PRELUDE + """
    call = CALLS[FUNCTION]
    def loop(texts):
        while True:
            call(texts)
    for texts in ("[]", records(5), records(600), records(4000)):
        threading.Thread(target=loop, args=(texts,), daemon=True).start()
    time.sleep(DELAY)
    print("EXITING")
"""


@pytest.mark.parametrize("function", ["local", "incremental"])
@pytest.mark.parametrize("delay", [0.2, 0.6])
def test_daemon_threads_inside_calls_let_the_process_exit(function, delay):
    result = run_isolated(EXIT_PROBE.replace("FUNCTION", repr(function)).replace("DELAY", str(delay)))
    assert (result.returncode, result.stdout) == (0, "EXITING\n"), result.stderr[-2000:]


# The main thread is in a long call when a timer thread sends SIGINT (as Ctrl-C would) or
# asks for an interrupt of the main thread. The KeyboardInterrupt comes promptly (the bound
# is generous: it guards against waiting for the whole call), and the module gives the same
# results afterwards.
INTERRUPT_PROBE = PRELUDE + """
    call = CALLS[FUNCTION]
    interrupt = {"kill": lambda: os.kill(os.getpid(), signal.SIGINT),
                 "interrupt_main": _thread.interrupt_main}[SENDER]
    check = records(SHORT)
    before = call(check)
    sent = []
    def send():
        sent.append(time.monotonic())
        interrupt()
    threading.Timer(0.5, send).start()
    try:
        call(records(LONG))
        print("NOT INTERRUPTED")
    except KeyboardInterrupt:
        print("INTERRUPTED", time.monotonic() - sent[0] < 2.0)
    print("SAME", call(check) == before)
"""


@pytest.mark.parametrize("function", ["local", "incremental", "graph clustering"])
@pytest.mark.parametrize("sender", ["kill", "interrupt_main"])
def test_ctrl_c_stops_a_long_call(function, sender):
    code = INTERRUPT_PROBE.replace("FUNCTION", repr(function)).replace("SENDER", repr(sender))
    result = run_isolated(code, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == ["INTERRUPTED True", "SAME True"], result.stderr[-2000:]


# Records in blocks of 20 identical ones: every pair of a block is a decision (190 per block)
# and costs little to compare, so that building the result is most of the call.
BLOCKS = """
    def blocks(count):
        return json.dumps([{
            "id": f"00000000-0000-4000-8000-{i:012x}",
            "tenant_id": "7d444840-9dc0-11d1-b245-5ffdce74fad2",
            "external_id": f"x{i}", "entity_type": "person",
            "data": {"zip": str(i // 20), "name": f"n{i // 20}", "mail": "m"}, "source_name": "crm",
            "last_updated": "2024-01-01T00:00:00Z"} for i in range(20 * count)])

    # An interval timer delivers the interrupt: sending never waits for the interpreter lock.
    def on_alarm(*_):
        raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, on_alarm)

    def stopped_after(seconds, call, *args):
        \"\"\"Seconds from the alarm to the KeyboardInterrupt; None if the call ended first.\"\"\"
        start = time.monotonic()
        try:
            signal.setitimer(signal.ITIMER_REAL, seconds)
            call(*args)
            signal.setitimer(signal.ITIMER_REAL, 0)
        except KeyboardInterrupt:
            return time.monotonic() - start - seconds
        return None
"""


# A signal whose handler raises arrives while the arguments are read (encoding a large str),
# before the call proper starts: the call raises it instead of running.
def test_a_signal_pending_at_the_start_of_a_call_is_raised():
    code = PRELUDE.replace("FUNCTION", "'local'") + BLOCKS + """
    text = "\U0001F600" * 30_000_000
    start = time.monotonic()
    text.encode()
    encoding = time.monotonic() - start
    outcomes = set()
    for _ in range(3):
        big = text[:-1] + "x"  # a fresh str: its UTF-8 form is not cached yet
        signal.setitimer(signal.ITIMER_REAL, encoding / 4)
        try:
            _native.reconcile_local(SPEC, big)
            outcomes.add("returned")
        except KeyboardInterrupt:
            outcomes.add("interrupted")
        except ValueError:
            outcomes.add("ran")
    print(sorted(outcomes))
"""
    result = run_isolated(code)
    assert result.stdout.splitlines() == ["['interrupted']"], result.stderr[-2000:]


# A host that never imported threading (python -S) loads the module from its file and makes
# its first call from a thread started by _thread: threading stays unimported, and the main
# thread's calls are still interrupted promptly.
def test_a_host_without_threading_keeps_it_so():
    path = next(pathlib.Path(_native_file()).parent.glob("_native*.so"))
    code = PRELUDE.replace("from vintrel import _native", f"""
    assert "threading" not in sys.modules
    import importlib.util
    spec = importlib.util.spec_from_file_location("_native", {str(path)!r})
    _native = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(_native)
    """).replace("import json, random, threading, time,", "import sys, json, random, time,"
                 ).replace("FUNCTION", "'local'") + BLOCKS + """
    done = _thread.allocate_lock()
    done.acquire()
    def first_call():
        _native.reconcile_local(SPEC, records(50))
        done.release()
    _thread.start_new_thread(first_call, ())
    done.acquire()
    print("threading" in sys.modules)
    latency = stopped_after(0.3, _native.reconcile_local, SPEC, records(LONG))
    print(latency is not None and latency < 1.0, "threading" in sys.modules)
"""
    result = subprocess.run([sys.executable, "-S", "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=300)
    assert result.stdout.splitlines() == ["False", "True False"], result.stderr[-2000:]


def _native_file():
    from vintrel import _native
    return _native.__file__


# Interrupts swept over the whole length of a call whose result building and decision
# writing take most of its time: each is acted on promptly, wherever it lands (mostly within
# 0.1 s; the bound leaves room for a loaded machine).
def test_ctrl_c_is_prompt_in_every_phase():
    code = PRELUDE.replace("FUNCTION", "'local'") + BLOCKS + """
    texts = blocks(1000)
    start = time.monotonic()
    _native.reconcile_local(SPEC, texts)
    whole = time.monotonic() - start
    latencies = [stopped_after(whole * k / 12, _native.reconcile_local, SPEC, texts) for k in range(1, 12)]
    late = [(round(whole * (k + 1) / 12, 3), round(l, 3)) for k, l in enumerate(latencies)
            if l is not None and l > 0.3]
    print("LATE", late, "of", round(whole, 3), "s; stopped", sum(l is not None for l in latencies),
          "at most", round(max(l for l in latencies if l is not None), 3))
"""
    result = run_isolated(code)
    assert result.stdout.startswith("LATE [] "), result.stdout + result.stderr[-2000:]


# Ctrl-C while the result is being built: the exception goes up at once and what was built
# is freed after it, while the caller's code runs on (the small objects are all still there
# when the exception is caught, and gone a few statements later). Where the result is built
# within the call depends on the machine, and a first call runs slower than later ones, so
# the interrupts sweep the call measured warm until two land while the result is built;
# later calls give the same result.
def test_a_stopped_result_is_freed_after_the_exception():
    code = PRELUDE.replace("FUNCTION", "'local'") + BLOCKS + """
    import sys
    texts = blocks(2000)
    check = blocks(20)
    expected = _native.reconcile_local(SPEC, check)
    outcomes = []
    for _ in range(3):
        wholes = []
        for _ in range(3):
            start = time.monotonic()
            _native.reconcile_local(SPEC, texts)
            wholes.append(time.monotonic() - start)
        whole = min(wholes)
        for step in range(4, 20):
            baseline = sys.getallocatedblocks()
            try:
                signal.setitimer(signal.ITIMER_REAL, whole * step / 20)
                _native.reconcile_local(SPEC, texts)
                signal.setitimer(signal.ITIMER_REAL, 0)
                continue
            except KeyboardInterrupt:
                at_exception = sys.getallocatedblocks()
            for _ in range(1000):
                time.sleep(0)
            later = sys.getallocatedblocks()
            outcomes.append((at_exception - later > 20000, later - baseline < 20000))
            if sum(after for after, _ in outcomes) >= 2:
                break
        if sum(after for after, _ in outcomes) >= 2:
            break
    print("FREED AFTER", any(after for after, _ in outcomes), all(gone for _, gone in outcomes),
          _native.reconcile_local(SPEC, check) == expected)
"""
    result = run_isolated(code)
    assert result.stdout == "FREED AFTER True True True\n", result.stdout + result.stderr[-2000:]


# Ctrl-C in the engine's last phase (as it writes its decisions) and while the result is
# built, each followed at once by a retry (a small call). A thread watching the memory sends
# the interrupt once the call is well into the phase (past a share of what an uninterrupted
# call reaches), whatever the machine's speed. In the engine: what the work made (the
# decisions written so far, the records) is still in the C heap when the exception is caught,
# destroyed off the caller's path. While building: what was built of the result is gone by the
# time the retry returns, though the retry ran no Python code in which the host's pending
# calls could have freed it.
def test_a_stopped_call_leaves_nothing_in_the_way():
    code = PRELUDE.replace("FUNCTION", "'local'") + BLOCKS + """
    import ctypes, sys
    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks",
                    "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    def heap():  # bytes in use in the C heap
        info = mallinfo2()
        return info.uordblks + info.hblkhd
    MEASURES = {"engine": (heap, 2 / 3), "building": (sys.getallocatedblocks, 1 / 3)}
    texts = blocks(2000)
    check = blocks(20)

    # Runs the call while a thread samples `measure`. Returns the largest growth seen; with a
    # trigger (the growth at which the thread interrupts the call), the growth at the
    # exception, right after the retry, and once the host has run its pending calls.
    def watched(measure, trigger=None):
        base, peak, stop = measure(), [0], []
        def watch():
            while not stop:
                peak[0] = max(peak[0], measure() - base)
                if trigger is not None and peak[0] > trigger:
                    _thread.interrupt_main()
                    return
                time.sleep(0.002)
        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            _native.reconcile_local(SPEC, texts)
        except KeyboardInterrupt:
            at = measure()
            retried, after_retry = _native.reconcile_local(SPEC, check), measure()
            for _ in range(1000):
                time.sleep(0)
            return at - base, after_retry - base, measure() - base
        finally:
            stop.append(True)
            watcher.join()
        return peak[0]

    outcomes = []
    for phase, (measure, share) in MEASURES.items():
        peak = min(watched(measure) for _ in range(2))
        at, after_retry, settled = watched(measure, peak * share)
        if phase == "engine":
            outcomes.append((phase, at > peak / 3, settled < peak / 10))
        else:
            outcomes.append((phase, at > peak / 4, after_retry - settled < peak / 100))
    print(outcomes)
"""
    result = run_isolated(code)
    assert result.stdout == "[('engine', True, True), ('building', True, True)]\n", \
        result.stdout + result.stderr[-2000:]


# A thread that ticks every millisecond while another thread builds a result of 950,000
# decisions: its longest pause during the call stays far below the time the building takes
# (about a second), whether the ticker makes only floats or also containers (whose count
# starts the collector while the lock is offered: it must not scan the result being built).
# (Its pauses after the call are measured by bench/lock_and_collector_probes.py.)
@pytest.mark.parametrize("containers", [0, 50])
def test_other_threads_run_while_a_result_is_built(containers):
    code = PRELUDE.replace("FUNCTION", "'local'") + BLOCKS + f"""
    CONTAINERS = {containers}
""" + """
    texts = blocks(5000)
    ticks = []
    ended = []
    def tick():
        while not ended:
            time.sleep(0.001)
            ticks.append(time.monotonic())
            if CONTAINERS:
                made = [(k, [k], {"k": k}) for k in range(CONTAINERS)]
    def convert():
        result = _native.reconcile_local(SPEC, texts)
        ended.append(time.monotonic())
        ended.append(result)
    ticker = threading.Thread(target=tick)
    ticker.start()
    worker = threading.Thread(target=convert)
    worker.start()
    worker.join()
    ticker.join()
    ticks = [t for t in ticks if t < ended[0]] + [ended[0]]
    longest = max(b - a for a, b in zip(ticks, ticks[1:]))
    print("LONGEST", longest < 0.1, round(longest, 3))
"""
    result = run_isolated(code)
    assert result.stdout.startswith("LONGEST True"), result.stdout + result.stderr[-2000:]


# The result comes out of the call tracked by the collector as if it had been built with the
# collector running: every list tracked, a dict tracked exactly when it holds a list or a dict,
# each tracked one among gc.get_objects(); a full collection leaves the result as it was. A
# large result joins the collector with no young collection over it ever due (none of its
# containers young, all of them in the oldest generation, read before anything else is made),
# whether the host's collector runs or is switched off, and whether the host froze objects
# (which it keeps frozen).
@pytest.mark.parametrize("host, expected", [
    ("running", "not young, all in the oldest"),
    ("switched off", "not young, all in the oldest"),
    ("froze objects", "not young, all in the oldest, still frozen"),
])
def test_the_result_joins_the_collector_with_nothing_due(host, expected):
    code = PRELUDE.replace("FUNCTION", "'local'") + BLOCKS + f"""
    HOST = {host!r}
""" + """
    import gc
    mine = [{"k": [k]} for k in range(1000)]
    if HOST == "froze objects":
        gc.freeze()
    elif HOST == "switched off":
        gc.disable()
    frozen = gc.get_freeze_count()
    result = _native.reconcile_local(SPEC, blocks(60))
    gc.disable()  # nothing moves while the generations are looked at
    def walk(item, into):
        if isinstance(item, (list, dict)):
            into.append(item)
            for inner in item.values() if isinstance(item, dict) else item:
                walk(inner, into)
    containers = []
    walk(result, containers)
    def holds_containers(c):
        return any(isinstance(v, (list, dict)) for v in (c if isinstance(c, list) else c.values()))
    wrong = [c for c in containers
             if gc.is_tracked(c) != (isinstance(c, list) or holds_containers(c))]
    parts = []  # the lists the result is made of, without the small dicts around them
    for part in ("clusters", "decisions", "golden_records"):
        walk(result[part], parts)
    tracked = [c for c in parts if gc.is_tracked(c)]
    listed = {id(item) for item in gc.get_objects()}
    young = {id(item) for item in gc.get_objects(generation=0)}
    oldest = {id(item) for item in gc.get_objects(generation=2)}
    missing = [c for c in tracked if id(c) not in listed]
    in_young = sum(id(c) in young for c in tracked)
    where = "not young" if in_young == 0 else f"{in_young} of {len(tracked)} young"
    in_oldest = sum(id(c) in oldest for c in tracked)
    state = "all in the oldest" if in_oldest == len(tracked) else f"{in_oldest} of {len(tracked)} in the oldest"
    if HOST == "froze objects":
        thawed = gc.get_freeze_count() != frozen or id(mine) in listed
        state += ", thawed" if thawed else ", still frozen"
    before = json.dumps(result)
    gc.enable()
    gc.collect()
    print("TRACKED", len(result["decisions"]) > 10000, len(wrong), len(missing),
          json.dumps(result) == before, f"{where}, {state}")
"""
    result = run_isolated(code)
    assert result.stdout == f"TRACKED True 0 0 True {expected}\n", result.stdout + result.stderr[-2000:]


# A host that calls in a loop, with objects in reference cycles alive during each call and
# dropped after it, keeps its collector's schedule: a call changes no count of generations 1
# and 2 and thaws nothing, and the full collections that CPython's own rule calls for run
# and find the host's garbage (low thresholds make them due within a few calls). With the
# collector switched off, the host's collections of the young generations find it all.
@pytest.mark.parametrize("host", ["running", "switched off", "froze objects"])
def test_a_host_calling_in_a_loop_keeps_its_collections(host):
    code = PRELUDE.replace("FUNCTION", "'local'") + BLOCKS + f"""
    HOST = {host!r}
""" + """
    import gc
    class Node:
        __slots__ = ("peer",)
    texts = blocks(30)  # 5,700 decisions: just over the line where a result joins the oldest
    gc.collect()
    gc.set_threshold(700, 2, 2)
    if HOST == "froze objects":
        gc.freeze()
    elif HOST == "switched off":
        gc.disable()
    frozen = gc.get_freeze_count()
    started = [0, 0, 0]
    def count(phase, info):
        if phase == "start":
            started[info["generation"]] += 1
    gc.callbacks.append(count)
    calls, moved = 40, 0
    for _ in range(calls):
        nodes = [Node() for _ in range(2000)]
        for a, b in zip(nodes[::2], nodes[1::2]):
            a.peer, b.peer = b, a
        before = gc.get_count()
        result = _native.reconcile_local(SPEC, texts)
        moved += gc.get_count()[1:] != before[1:]
        del nodes, result
        if HOST == "switched off":
            gc.collect(1)
    gc.callbacks.remove(count)
    gc.disable()
    held = sum(type(o) is Node for o in gc.get_objects())
    full = "none" if started[2] == 0 else "some"
    print("LOOP", moved, gc.get_freeze_count() == frozen, held < 2000 * calls // 4, full, started)
"""
    result = run_isolated(code)
    full = "none" if host == "switched off" else "some"
    assert result.stdout.startswith(f"LOOP 0 True True {full} "), result.stdout + result.stderr[-2000:]


# A large result joins the collector a container after those it holds (the result's lists
# and dicts come in gc.get_objects(2) after their items): while the hand-over offers the lock,
# a host thread walking the collector's objects reaches no container of the result that is
# still out of the collector, to track (a dict given a list) or free before its turn.
def test_a_result_joins_the_collector_after_its_items():
    code = PRELUDE.replace("FUNCTION", "'local'") + BLOCKS + """
    import gc
    result = _native.reconcile_local(SPEC, blocks(30))
    gc.disable()
    place = {id(o): k for k, o in enumerate(gc.get_objects(2))}
    def before_items(c):
        items = c if isinstance(c, list) else c.values()
        return [i for i in items if id(i) in place and place[id(i)] > place[id(c)]]
    containers = [result[p] for p in ("clusters", "decisions")] + result["clusters"] + [
        x for d in result["decisions"] for x in (d, d["matched_on"], d["rule_results"])]
    print("ORDER", len(result["decisions"]), all(id(c) in place for c in containers),
          sum(bool(before_items(c)) for c in containers))
"""
    result = run_isolated(code)
    assert result.stdout == "ORDER 5700 True 0\n", result.stdout + result.stderr[-2000:]


# A call made while a collection is under way (from a gc callback, from a finalizer) gets
# its result young, as a small one, complete and tracked; the counts of generations 1 and 2
# are left as they were, and the next call's result joins the oldest generation again.
def test_a_call_during_a_collection_gets_its_result_young():
    code = PRELUDE.replace("FUNCTION", "'local'") + BLOCKS + """
    import gc
    texts = blocks(30)
    expected = json.dumps(_native.reconcile_local(SPEC, texts))
    made = {}
    def during_collection(phase, info):
        if phase == "start" and "callback" not in made:
            before = gc.get_count()
            made["callback"] = _native.reconcile_local(SPEC, texts)
            made["counts kept"] = gc.get_count()[1:] == before[1:]
            made["young"] = any(o is made["callback"]["decisions"] for o in gc.get_objects(0))
    class Finalized:
        def __del__(self):
            made["finalizer"] = _native.reconcile_local(SPEC, texts)
    gc.collect(1)
    gc.collect(0)  # a count for generation 1 as well as for generation 2
    gc.callbacks.append(during_collection)
    gc.collect(0)
    gc.callbacks.remove(during_collection)
    cycle = Finalized()
    cycle.me = cycle
    del cycle
    gc.collect()
    after = _native.reconcile_local(SPEC, texts)
    tracked = all(gc.is_tracked(d) for r in (made["callback"], made["finalizer"]) for d in r["decisions"])
    print("DURING", json.dumps(made["callback"]) == expected, json.dumps(made["finalizer"]) == expected,
          made["counts kept"], made["young"], tracked, gc.isenabled(),
          any(o is after["decisions"] for o in gc.get_objects(2)))
"""
    result = run_isolated(code)
    assert result.stdout == "DURING True True True True True True True\n", result.stdout + result.stderr[-2000:]


# A signal handler forks while the main thread's call runs: in the child the call ends at
# once with RuntimeError, and the module, its worker pool included, works there.
def test_a_child_forked_during_a_call_goes_on():
    code = PRELUDE.replace("FUNCTION", "'local'") + """
    check = records(800)
    before = _native.reconcile_local(SPEC, check)
    children = []
    def fork_then_interrupt(*_):
        pid = os.fork()
        if pid != 0:
            children.append(pid)
            raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, fork_then_interrupt)
    texts = records(LONG)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        _native.reconcile_local(SPEC, texts)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    except RuntimeError as error:
        outcome = f"RuntimeError {'forked' in str(error)}"
    if not children:  # the child
        works = _native.reconcile_local(SPEC, check) == before
        os.write(1, f"CHILD {outcome} {works}\\n".encode())
        os._exit(0)
    deadline = time.monotonic() + 30
    while (status := os.waitpid(children[0], os.WNOHANG)) == (0, 0) and time.monotonic() < deadline:
        time.sleep(0.05)
    if status == (0, 0):
        os.kill(children[0], signal.SIGKILL)
    print("PARENT", outcome, status != (0, 0) and os.waitstatus_to_exitcode(status[1]))
"""
    result = run_isolated(code)
    assert sorted(result.stdout.splitlines()) == ["CHILD RuntimeError True True",
                                                  "PARENT interrupted 0"], \
        result.stdout + result.stderr[-2000:]
