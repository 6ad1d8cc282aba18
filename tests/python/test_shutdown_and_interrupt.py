"""A reconcile call and the life of the process around it: a daemon thread inside a call at
interpreter shutdown lets the process exit normally, and Ctrl-C stops a long call promptly
and leaves the module working. Each case runs in a child interpreter."""

import pytest

from conftest import run_isolated

# Records for the children: `records(n)` all share one blocking key, so a call compares
# every pair (n = 20,000 keeps the workers busy for seconds); one in twenty repeats the data
# of an earlier record and is merged with it.
PRELUDE = """
    import json, random, threading, time, _thread, os, signal
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
