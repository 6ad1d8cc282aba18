"""Out of memory during a reconcile call is a MemoryError: never an abort of the process and
never PanicException, wherever the allocation fails (reading, pair evaluation on the worker
threads, clustering, golden records, building the Python result), and later calls work.

Each case runs in a child interpreter whose address space is capped a given amount above
what it uses before the call; the input (records that all share one blocking key, so that
every pair is evaluated and merged) needs far more than any of the caps. Skipped under
sanitizers, whose shadow memory does not fit such caps."""

import os

import pytest

from conftest import run_isolated

PROBE = """
    import json, resource
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
      - {name: zip_exact, type: exact, field: zip, weight: 1.0}
      - {name: name_similar, type: similarity, field: name, algorithm: jaro_winkler, threshold: 0.8, weight: 0.5}
    decision:
      thresholds: {match: 0.5, review: 0.3}
    '''

    def records(count):
        return json.dumps([{
            "id": f"00000000-0000-4000-8000-{i:012x}",
            "tenant_id": "7d444840-9dc0-11d1-b245-5ffdce74fad2",
            "external_id": f"x{i}", "entity_type": "person",
            "data": {"zip": "1", "name": f"Person {i % 97}"}, "source_name": "crm",
            "last_updated": "2024-01-01T00:00:00Z"} for i in range(count)])

    big, small = records(3000), records(3)
    with open("/proc/self/status") as status:
        vm_kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = (vm_kib + HEADROOM_MIB * 1024) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
    for function in ("local", "incremental"):
        try:
            if function == "local":
                _native.reconcile_local(SPEC, big)
            else:
                _native.reconcile_incremental(SPEC, big, "[]", "[]", None)
            print("RESULT none")
        except MemoryError as error:  # its message names the step that ran out
            print("RESULT MemoryError" + ("" if str(error).startswith("out of memory while ") else f" {error!r}"))
        except Exception as error:
            print("RESULT", type(error).__name__)
        except BaseException as error:
            print("RESULT base", type(error).__name__)
        # Still under the cap: a small call works (or, when even the worker threads cannot be
        # started, fails the same clean way).
        try:
            print("SMALL", len(_native.reconcile_local(SPEC, small)["decisions"]))
        except MemoryError:
            print("SMALL MemoryError")
"""


def under_sanitizer() -> bool:
    if os.environ.get("VINTREL_SANITIZE"):
        return True
    try:
        with open(f"/proc/{os.getpid()}/maps", encoding="utf-8") as maps:
            return any("libasan" in line or "libtsan" in line for line in maps)
    except OSError:
        return False


@pytest.mark.skipif(under_sanitizer(), reason="address-space caps do not fit sanitizer shadow memory")
@pytest.mark.parametrize("headroom_mib", [8, 64, 300, 800, 1500, 2500])
def test_out_of_memory_is_a_memory_error(headroom_mib):
    result = run_isolated(PROBE.replace("HEADROOM_MIB", str(headroom_mib)))
    assert result.returncode == 0, result.stderr[-2000:]
    lines = result.stdout.splitlines()
    if headroom_mib < 600:
        # Too little room to start the worker threads at all: every call is a MemoryError.
        assert lines[0::2] == ["RESULT MemoryError"] * 2, result.stdout + result.stderr[-2000:]
        assert set(lines[1::2]) <= {"SMALL 3", "SMALL MemoryError"}, result.stdout
    else:
        assert lines == ["RESULT MemoryError", "SMALL 3"] * 2, result.stdout + result.stderr[-2000:]
