"""Ctrl-C during Fellegi-Sunter training stops the call promptly, from both reconcile
functions: in the u estimate over random pairs and in EM over pairs of long values (each
takes seconds here). Each case runs in a child interpreter."""

import pytest

from conftest import run_isolated

# The timer's signal handler raises SIGINT, as Ctrl-C would; Python's own SIGINT handler is
# put in place first, since the suite may run where SIGINT is ignored (a background job).
PROBE = """
    import json, random, signal, time
    from vintrel import _native

    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGALRM, lambda *_: signal.raise_signal(signal.SIGINT))

    SPEC = '''
    api_version: vintrel/v1
    identity_version: "1"
    entity: {name: person}
    sources:
      - name: crm
    blocking:
      strategy: single
      keys: [[KEY]]
    rules: []
    decision:
      thresholds: {match: 0.9}
      scoring:
        strategy: fellegi_sunter
        fields:
          - {name: name, comparator: jaro_winkler, m_probability: 0.9, u_probability: 0.1}
          - {name: mail, comparator: levenshtein, m_probability: 0.8, u_probability: 0.2}
        thresholds: {match: 2, possible: 0, non_match: -2}
        training: TRAINING
    '''
    PHASES = {
        # Records blocked apart (no EM pairs); thirty million random pairs compared.
        "u estimate": ("name", 8000, 40, "{method: em, max_iterations: 1, "
                       "estimate_u: random_sampling, max_random_pairs: 30000000}"),
        # One block: ten thousand EM pairs of 4,000-character values.
        "em": ("zip", 150, 4000, "{method: em, max_iterations: 100}"),
    }
    key, count, length, training = PHASES[PHASE_NAME]
    spec = SPEC.replace("KEY", key).replace("TRAINING", training)
    rnd = random.Random(7)
    word = lambda: "".join(rnd.choice("abcdefghij") for _ in range(length))
    texts = json.dumps([{
        "id": f"00000000-0000-4000-8000-{i:012x}",
        "tenant_id": "7d444840-9dc0-11d1-b245-5ffdce74fad2",
        "external_id": f"x{i}", "entity_type": "person",
        "data": {"zip": "1", "name": word(), "mail": word()}, "source_name": "crm",
        "last_updated": "2024-01-01T00:00:00Z"} for i in range(count)])
    call = {"local": lambda: _native.reconcile_local(spec, texts),
            "incremental": lambda: _native.reconcile_incremental(spec, texts, "[]", "[]", None)}
    due = time.monotonic() + 0.5
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    try:
        call[FUNCTION]()
        print("NOT INTERRUPTED")
    except KeyboardInterrupt:
        print("INTERRUPTED after", round(time.monotonic() - due, 3))
"""


@pytest.mark.parametrize("function", ["local", "incremental"])
@pytest.mark.parametrize("phase", ["u estimate", "em"])
def test_ctrl_c_stops_training(function, phase):
    code = PROBE.replace("FUNCTION", repr(function)).replace("PHASE_NAME", repr(phase))
    result = run_isolated(code, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    words = result.stdout.split()
    assert words[:2] == ["INTERRUPTED", "after"], result.stdout + result.stderr[-2000:]
    # Generous: training without a look at the flag takes several seconds more.
    assert float(words[2]) < 2.0, result.stdout
