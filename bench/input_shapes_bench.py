"""Shapes of input that once made one call crawl, each beside its twin of the same size: the
person records of reconcile_scale_bench.py with keys crafted against the fixed hash functions
the module used before its tables were keyed (beside random keys of the same shape), and with
long source_priority lists (beside a 16-entry list). Every run is a child process; each
build's best time is printed with the ratio of shaped to twin. Nothing is asserted.

Crafted against:
- the record index (identifier -> record): its slot was the SplitMix64 finaliser of
  lo ^ mix(hi) (the identifier's two 8-byte halves, little-endian); identifiers with
  lo = C ^ mix(hi) all hash alike;
- the existing-identifier set of incremental runs (and the result's identifier cache): its hash
  was hi ^ lo * 0x9e3779b97f4a7c15 folded and multiplied; identifiers with
  hi = C ^ lo * 0x9e37... all hash alike (incremental: 1% new records against the rest);
- the result's text cache: boost's string hash (4-byte words through hash_mix), then the
  table's own xmx step; 12-byte values whose final hash has the same top 14 bits share one
  home group in every table of up to 2^14 groups (the cache holds at most 2^16 texts), four
  such fields per record. The search for them runs in a small C program compiled here (a few
  seconds).

Long lists: survivorship by source_priority on e-mail and phone, with lists of 1,000 and of
5,000 sources that end in the three real ones, against the three behind 13 others.

Many distinct log events: a Fellegi-Sunter spec of 32,000 fields whose probabilities are
clamped (one warning each, all different), against the same spec with probabilities in bounds,
over the first 100 person records. The children silence the `vintrel` loggers, so what is
timed is the collecting of the events, not their printing.

    python3 bench/input_shapes_bench.py --module-path old=/work/baseline/site \\
        --module-path new=.site
"""

import argparse
import json
import logging
import pathlib
import random
import subprocess
import sys
import tempfile
import time
import uuid

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from identifier_patterns_bench import child_figures  # noqa: E402
from reconcile_scale_bench import SPEC, generate  # noqa: E402

MASK = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
ALPHABET = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_"

# 12-byte values v whose xmx(boost::hash<string_view>(v)) has its top `bits` bits zero.
CRAFT_C = r"""
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
static const char A[] = "%s";
static uint64_t mix(uint64_t x) {  /* boost::hash_detail::hash_mix, 64 bits */
  const uint64_t m = 0xe9846af9b1a615dULL;
  x ^= x >> 32; x *= m; x ^= x >> 32; x *= m; x ^= x >> 28; return x;
}
static uint64_t combine(uint64_t seed, uint32_t w) { return mix(seed + 0x9e3779b9ULL + w); }
static uint32_t word(const char* p) {
  return (uint32_t)(unsigned char)p[0] | (uint32_t)(unsigned char)p[1] << 8 |
         (uint32_t)(unsigned char)p[2] << 16 | (uint32_t)(unsigned char)p[3] << 24;
}
int main(int argc, char** argv) {
  long want = atol(argv[1]);
  int bits = atoi(argv[2]);
  uint64_t prefix = strtoull(argv[3], 0, 10);
  char s[13] = {0};
  for (;; ++prefix) {
    uint64_t p = prefix;
    for (int i = 0; i < 8; ++i) { s[i] = A[p %% 64]; p /= 64; }
    uint64_t s2 = combine(combine(0, word(s)), word(s + 4));
    for (uint32_t t = 0; t < (1u << 24); ++t) {
      for (int i = 0; i < 4; ++i) s[8 + i] = A[(t >> (6 * i)) & 63];
      uint64_t z = combine(combine(s2, word(s + 8)), 1u);
      z ^= z >> 23; z *= 0xff51afd7ed558ccdULL; z ^= z >> 23;  /* the table's xmx */
      if ((z >> (64 - bits)) != 0) continue;
      puts(s);
      if (--want == 0) return 0;
    }
  }
}
"""


def mix64(x: int) -> int:
    x ^= x >> 30
    x = (x * 0xBF58476D1CE4E5B9) & MASK
    x ^= x >> 27
    x = (x * 0x94D049BB133111EB) & MASK
    x ^= x >> 31
    return x


def uuid_of(hi: int, lo: int) -> str:
    return str(uuid.UUID(bytes=hi.to_bytes(8, "little") + lo.to_bytes(8, "little")))


def ids_against_record_index(count: int, rng: random.Random) -> list[str]:
    c = rng.getrandbits(64)
    out = []
    for _ in range(count):
        hi = rng.getrandbits(64)
        out.append(uuid_of(hi, c ^ mix64(hi)))
    return out


def ids_against_uuid_hash(count: int, rng: random.Random) -> list[str]:
    c = rng.getrandbits(64)
    out = []
    for _ in range(count):
        lo = rng.getrandbits(64)
        out.append(uuid_of(c ^ ((lo * GOLDEN) & MASK), lo))
    return out


def random_ids(count: int, rng: random.Random) -> list[str]:
    return [str(uuid.UUID(int=rng.getrandbits(128), version=4)) for _ in range(count)]


def crafted_values(count: int, tmp: str) -> list[str]:
    source = pathlib.Path(tmp, "craft.c")
    program = pathlib.Path(tmp, "craft")
    source.write_text(CRAFT_C % ALPHABET, encoding="utf-8")
    subprocess.run(["cc", "-O2", "-o", str(program), str(source)], check=True)
    done = subprocess.run([str(program), str(count), "14", "1"], check=True,
                          capture_output=True, text=True)
    values = done.stdout.split()
    assert len(values) == count and len(set(values)) == count
    return values


def random_values(count: int, rng: random.Random) -> list[str]:
    return ["".join(rng.choice(ALPHABET) for _ in range(12)) for _ in range(count)]


def priority_spec(others: int) -> str:
    """SPEC with e-mail and phone chosen by a source_priority list of `others` made-up sources
    followed by the three real ones."""
    names = [f"legacy{k}" for k in range(others)] + ["crm", "webshop", "billing"]
    listed = json.dumps(names)
    head, _, _ = SPEC.partition("survivorship:")
    return (head + "survivorship:\n  default: most_recent\n  overrides:\n"
            f"    - {{field: email, strategy: source_priority, priority: {listed}}}\n"
            f"    - {{field: phone, strategy: source_priority, priority: {listed}}}\n")


def fs_fields_spec(count: int, clamped: bool) -> str:
    """SPEC scored by Fellegi-Sunter over `count` fields, each clamped (m 1, u 0) or not."""
    m, u = (1.0, 0.0) if clamped else (0.9, 0.1)
    head, _, _ = SPEC.partition("decision:")
    fields = "".join(f"      - {{name: f{k}, comparator: exact, m_probability: {m}, "
                     f"u_probability: {u}}}\n" for k in range(count))
    return (head + "decision:\n  thresholds: {match: 0.9}\n  scoring:\n"
            "    strategy: fellegi_sunter\n    fields:\n" + fields +
            "    thresholds: {match: 2, possible: 0, non_match: -2}\n")


def child(module_path: str, mode: str, paths: list[str]) -> int:
    if module_path:
        sys.path.insert(0, module_path)
    logging.getLogger("vintrel").setLevel(logging.CRITICAL + 1)
    from vintrel import _native
    spec, *texts = [pathlib.Path(p).read_text(encoding="utf-8") for p in paths]
    start = time.perf_counter()
    if mode == "local":
        result = _native.reconcile_local(spec, texts[0])
    else:
        result = _native.reconcile_incremental(spec, texts[0], texts[1], "[]", None)
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "clusters": len(result["clusters"]),
                      "decisions": len(result["decisions"])}))
    return 0


def run_child(module_path: str, mode: str, paths: list[str]) -> dict:
    return child_figures([sys.executable, __file__, "--child", mode, "--child-module",
                          module_path, *paths])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=11)
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs per case; the fastest counts (the machine is shared)")
    parser.add_argument("--module-path", action="append", default=[],
                        help="LABEL=DIR of a directory holding `vintrel` (repeatable)")
    parser.add_argument("--only", default=None, help="run only the cases whose name has this")
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--child-module", default="", help=argparse.SUPPRESS)
    parser.add_argument("paths", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child_module, args.child, args.paths)

    builds = []
    for item in args.module_path or ["installed="]:
        label, _, path = item.partition("=")
        builds.append((label, str(pathlib.Path(path).resolve()) if path else ""))

    n = args.records
    rng = random.Random(args.seed)
    records = generate(n, args.seed)
    with tempfile.TemporaryDirectory() as tmp:
        def write(name: str, source: list[dict], ids=None, refs=None) -> str:
            out = []
            for k, r in enumerate(source):
                r = dict(r)
                if ids is not None:
                    r["id"] = ids[k]
                if refs is not None:  # four fields of such values per record
                    r["data"] = dict(r["data"], **{f"ref{j}": refs[(4 * k + j) % len(refs)]
                                                   for j in range(4)})
                out.append(r)
            path = pathlib.Path(tmp, name + ".json")
            path.write_text(json.dumps(out), encoding="utf-8")
            return str(path)

        def write_spec(name: str, text: str) -> str:
            path = pathlib.Path(tmp, name + ".yaml")
            path.write_text(text, encoding="utf-8")
            return str(path)

        spec = write_spec("spec", SPEC)
        cut = n - n // 100  # incremental: the last 1% are new
        cases = {}  # name -> (mode, [spec, data...] shaped, [spec, data...] twin)
        cases["ids vs record index"] = (
            "local", [spec, write("index-crafted", records, ids_against_record_index(n, rng))],
            [spec, write("index-random", records, random_ids(n, rng))])
        crafted = ids_against_uuid_hash(n, rng)
        plain = random_ids(n, rng)
        cases["ids vs existing-id set"] = (
            "incremental",
            [spec, write("set-crafted-new", records[cut:], crafted[cut:]),
             write("set-crafted-old", records[:cut], crafted[:cut])],
            [spec, write("set-random-new", records[cut:], plain[cut:]),
             write("set-random-old", records[:cut], plain[:cut])])
        distinct = min(n, 1 << 16)
        cases["12-byte values vs text cache"] = (
            "local", [spec, write("text-crafted", records, refs=crafted_values(distinct, tmp))],
            [spec, write("text-random", records, refs=random_values(distinct, rng))])
        plain_records = write("people", records)
        short = write_spec("list-16", priority_spec(13))
        for length in (1000, 5000):
            cases[f"source_priority, {length:,} vs 16"] = (
                "local", [write_spec(f"list-{length}", priority_spec(length - 3)), plain_records],
                [short, plain_records])
        few = write("people-100", records[:100])
        cases["32,000 FS fields, clamped vs not"] = (
            "local", [write_spec("fs-clamped", fs_fields_spec(32_000, True)), few],
            [write_spec("fs-in-bounds", fs_fields_spec(32_000, False)), few])
        if args.only:
            cases = {k: v for k, v in cases.items() if args.only in k}
        del records

        print(f"{n:,} person records, best of {args.repeat} runs; ratio: shaped input to "
              f"its twin (random keys of the same shape, a 16-entry list, no clamping)")
        best: dict[tuple, float] = {}
        for _ in range(args.repeat):
            for name, (mode, shaped_paths, twin_paths) in cases.items():
                for kind, paths in (("shaped", shaped_paths), ("twin", twin_paths)):
                    for label, module in builds:
                        r = run_child(module, mode, paths)
                        if "error" in r:
                            print(f"  {label}, {name}, {kind}: {r['error']}", file=sys.stderr)
                            continue
                        key = (label, name, kind)
                        best[key] = min(best.get(key, r["seconds"]), r["seconds"])

    print(f"\n  {'case':32s}" + "".join(f"{label + ' twin':>16s}{label + ' shaped':>17s}"
                                       f"{'ratio':>8s}" for label, _ in builds))
    for name in cases:
        cells = []
        for label, _ in builds:
            r, c = best.get((label, name, "twin")), best.get((label, name, "shaped"))
            if r is None or c is None:
                cells.append(f"{'failed':>41s}")
                continue
            cells.append(f"{r:14.3f} s{c:15.3f} s{c / r:7.2f}x")
        print(f"  {name:32s}" + "".join(cells))
    return 0


if __name__ == "__main__":
    sys.exit(main())
