"""The fixed cost of a reconcile call: small calls (no records, the example records) on the
main thread (where a call looks for signals while it works) and on another thread, for one
or more builds of the module loaded side by side in one process. Batches of calls alternate
between the builds, each round started by the next build (a build's place in the order
moves its figures by several percent); printed are the median and the best microseconds per
call over the batches, and for each build after the first the median over the rounds of its
time divided by the first build's. The machine's noise shows when the first build is named
again last. Nothing is asserted.

    python3 bench/call_overhead_bench.py                             # the installed module
    python3 bench/call_overhead_bench.py --module-path OLD --module-path NEW
    python3 bench/call_overhead_bench.py --module-path OLD --module-path NEW --module-path OLD
"""

import argparse
import importlib.util
import pathlib
import statistics
import sys
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[1]


def load(index: int, directory: str):
    """The `_native` module of the vintrel package in `directory` (installed: ""), under a
    package name of its own so that several builds load side by side."""
    if not directory:
        from vintrel import _native
        return _native
    path = next((pathlib.Path(directory) / "vintrel").glob("_native*.so"))
    spec = importlib.util.spec_from_file_location(f"build{index}._native", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module-path", action="append", default=[],
                        help="a directory holding `vintrel` (repeatable; default: installed)")
    parser.add_argument("--batches", type=int, default=15)
    parser.add_argument("--calls", type=int, default=200, help="calls per batch")
    args = parser.parse_args()
    builds = args.module_path or [""]
    modules = [load(i, b) for i, b in enumerate(builds)]
    spec = (REPO / "examples" / "customer.yaml").read_text()
    inputs = {"no records": "[]", "example records": (REPO / "examples" / "customers.json").read_text()}

    def batch(module, texts):
        start = time.perf_counter()
        for _ in range(args.calls):
            module.reconcile_local(spec, texts)
        return (time.perf_counter() - start) / args.calls * 1e6

    def measure(thread_name):
        for input_name, texts in inputs.items():
            times = [[] for _ in modules]
            for round_ in range(args.batches):
                for j in range(len(modules)):  # each build in each place of the order in turn
                    k = (round_ + j) % len(modules)
                    times[k].append(batch(modules[k], texts))
            ratios = [statistics.median(a / b for a, b in zip(t, times[0])) for t in times[1:]]
            print(f"{input_name + ', ' + thread_name:34}" +
                  "".join(f"{statistics.median(t):12.1f}{min(t):10.1f}" for t in times) +
                  "".join(f"{r:8.3f}" for r in ratios))

    print(f"{'us per call: median, best':34}" + "".join(f"{(b or 'installed')[-22:]:>22}" for b in builds) +
          "".join(f"{'ratio ' + str(k):>8}" for k in range(1, len(builds))))
    measure("main thread")
    other = threading.Thread(target=measure, args=("other thread",))
    other.start()
    other.join()
    return 0


if __name__ == "__main__":
    sys.exit(main())
