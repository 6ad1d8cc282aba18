"""Shows that two builds of the module give the same answers for spec texts that do not read:
mutates the example spec, a set of small specs and the specs written out in the tests (lines
dropped, doubled or swapped, values replaced by other types, unknown names and look-alike
texts, keys misspelt, leading comments and document markers, cut-off texts) and runs
`validate_strict`, `validate` and `parse` on every text in each build, in a child process,
comparing the answers text for text (the messages, or the exception type and its arguments).
Asserts nothing beyond that comparison.

    python3 bench/strict_validation_equivalence.py --baseline /path/to/old/site   # old vs installed
    python3 bench/strict_validation_equivalence.py --dump out.txt                 # this build only

`--baseline` names a directory holding an older `vintrel` package; it is put first on
PYTHONPATH of the child that stands for the old build.
"""

import argparse
import ast
import collections
import json
import os
import pathlib
import random
import re
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]

BASE = (
    "api_version: vintrel/v1\n"
    "identity_version: '1'\n"
    "entity: {name: person}\n"
    "sources: {crm: {}}\n"
    "decision: {thresholds: {match: 0.9}}\n"
)

SMALL_SPECS = [
    BASE,
    BASE + "survivorship: {default: most_recent, overrides: [{field: email, strategy: source_priority,"
           " priority: [crm]}, {field: ltv, strategy: aggregate, function: sum}]}\n",
    BASE + "rules:\n  - {type: exact, name: a, field: b}\n  - {type: similarity, name: s, field: n,"
           " algorithm: jaro_winkler, threshold: 0.8}\n  - {type: range, name: r, field: age, tolerance: 2}\n",
    BASE + "rules:\n  - type: composite\n    name: c\n    operator: or\n    children:\n"
           "      - {type: exact, name: x, field: x}\n      - {type: exact, name: y, fields: [y, z]}\n",
    BASE.replace("decision: {thresholds: {match: 0.9}}\n",
                 "decision:\n  thresholds: {match: 0.9, review: 0.6}\n  scoring:\n    method: fellegi_sunter\n"
                 "    fields:\n      - {field: email, comparator: exact, m: 0.9, u: 0.01}\n"
                 "    training: {enabled: true, max_iterations: 20}\n"),
    BASE.replace("decision: {thresholds: {match: 0.9}}\n",
                 "decision: {thresholds: {match: 0.9}, scoring: {method: custom, custom: {expression: 'a + b'}}}\n"),
    BASE.replace("decision: {thresholds: {match: 0.9}}\n",
                 "decision: {thresholds: {match: 0.9}, scoring: ml_ensemble, conflict_strategy: prefer_recent,"
                 " tie_breaking: [lowest_entity_id], clustering: {method: simple}}\n"),
    BASE + "blocking: {strategy: lsh, keys: [[email], [last_name, zip]], lsh_bands: 4, lsh_rows: 2}\n",
    BASE + "exclusions:\n  - {type: field_value, field: email, operator: contains, value: x}\n"
           "  - {type: explicit_pair, source: crm, left_id_field: a, right_id_field: b}\n"
           "  - {type: cross_tenant, enabled: true}\n",
    BASE + "relations: [{name: r, from_entity: a, to_entity: b, join_key: k, cardinality: one_to_many}]\n"
           "governance: {require_freshness: true, required_tags: [pii]}\n",
    BASE.replace("sources: {crm: {}}\n",
                 "sources:\n  - name: crm\n    adapter: postgres\n    location: t\n    primary_key: id\n"
                 "    freshness: {max_age_hours: 5}\n    temporal: {valid_from: a, strategy: bi_temporal}\n"
                 "    sampling: {strategy: random, rate: 0.5}\n"),
    BASE.replace("entity: {name: person}\n",
                 "entity:\n  name: person\n  compliance: {frameworks: [gdpr], retention_days: 30}\n"
                 "  hierarchy: {parent_field: p, depth: 2}\n"),
    BASE + "reference_identifiers: [{name: l, type: internal, field: f, match_weight: 1.0}]\n",
    "x: 1\n",
    "",
    "[1, 2]\n",
]

# Replacement values: other types, unknown names, texts that read like reader messages.
VALUES = [
    "1", "-3", "1.5", "true", "null", "~", "''", "[]", "{}", "[a, b]", "{a: 1}", "newest", "Custom",
    "LSH", "AND", "most_recnt", "'a`b'", "'missing field `x`'", "'invalid type: x'",
    "'unknown variant `q`, expected one of `a`'", "'unknown field `n`, expected one of `name`'",
    "!!int abc", "!!bool yes", "!custom", "!exact {}", "*nowhere", "&a [1]", "18446744073709551616",
    "'\u00e9t\u00e9'", "999999999999", "0x1F", ".nan", "2024-01-01",
]

KEY_RE = re.compile(r"^(\s*-?\s*)([A-Za-z_][A-Za-z0-9_]*)(:)", re.M)
FLOW_VALUE_RE = re.compile(r"(:\s+)([^\s,{}\[\]][^,{}\[\]\n]*)")


RAW_STRING_RE = re.compile(r'R"(\w*)\((.*?)\)\1"', re.S)


def specs_in_tests() -> list[str]:
    """The spec texts written out in the test files: Python string constants and C++ raw
    strings that hold an "api_version" key."""
    found = []
    for path in sorted((ROOT / "tests" / "python").glob("*.py")):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Constant) and isinstance(node.value, str) and "api_version:" in node.value:
                found.append(node.value)
    for path in sorted((ROOT / "tests" / "cpp").rglob("*.[ch]*")):
        for m in RAW_STRING_RE.finditer(path.read_text(encoding="utf-8")):
            if "api_version:" in m.group(2):
                found.append(m.group(2))
    return sorted(set(found))


def seeds() -> list[str]:
    example = (ROOT / "examples" / "customer.yaml").read_text(encoding="utf-8")
    return [example] + SMALL_SPECS + specs_in_tests()


def mutate(text: str, rng: random.Random) -> str:
    lines = text.split("\n")
    choice = rng.randrange(12)
    if choice == 0 and lines:  # drop a line
        del lines[rng.randrange(len(lines))]
    elif choice == 1 and lines:  # double a line
        i = rng.randrange(len(lines))
        lines.insert(i, lines[i])
    elif choice == 2 and len(lines) > 1:  # swap neighbours
        i = rng.randrange(len(lines) - 1)
        lines[i], lines[i + 1] = lines[i + 1], lines[i]
    elif choice in (3, 4, 5):  # replace one value
        spots = list(FLOW_VALUE_RE.finditer(text))
        if spots:
            m = rng.choice(spots)
            return text[:m.start(2)] + rng.choice(VALUES) + text[m.end(2):]
    elif choice == 6:  # misspell a key
        keys = list(KEY_RE.finditer(text))
        if keys:
            m = rng.choice(keys)
            key = m.group(2)
            i = rng.randrange(len(key))
            op = rng.randrange(3)
            new = key[:i] + key[i + 1:] if op == 0 else key[:i] + rng.choice("aexz_") + key[i:] \
                if op == 1 else key.upper()
            return text[:m.start(2)] + new + text[m.end(2):]
    elif choice == 7:  # lead-in that moves the root
        return rng.choice(["---\n", "# c\n", "\n\n", "--- !x\n", "%YAML 1.2\n---\n"]) + text
    elif choice == 8:  # cut off
        return text[:rng.randrange(len(text) + 1)]
    elif choice == 9 and lines:  # re-indent a line
        i = rng.randrange(len(lines))
        lines[i] = rng.choice(["", " ", "  ", "    "]) + lines[i].lstrip()
    elif choice == 10:  # a second document or a stray key
        return text + rng.choice(["---\na: 1\n", "zzz: 1\n", "rules: 3\n", "survivorship: {default: x}\n"])
    else:  # a random byte-level edit
        if text:
            i = rng.randrange(len(text))
            return text[:i] + rng.choice(["`", "[", "{", ":", "\t", "'", "\x01", "&", "*", "!"]) + text[i + 1:]
    return "\n".join(lines)


def corpus(count: int) -> list[str]:
    rng = random.Random(20261207)
    base = seeds()
    out = list(base)
    while len(out) < count:
        text = rng.choice(base)
        for _ in range(rng.choice([1, 1, 1, 2, 3])):
            text = mutate(text, rng)
        out.append(text)
    return out


def answer(fn, text: str) -> str:
    try:
        return json.dumps(fn(text), ensure_ascii=False, sort_keys=False)
    except Exception as e:  # noqa: BLE001 - the exception is the answer being compared
        return f"{type(e).__name__}: {json.dumps([str(a) for a in e.args], ensure_ascii=False)}"


def run_all(native, count: int) -> list[str]:
    lines = []
    for i, text in enumerate(corpus(count)):
        row = [answer(native.validate_strict, text), answer(native.validate, text), answer(native.parse, text)]
        lines.append(f"{i}\t" + "\t".join(row))
    return lines


def child(pythonpath: str | None, out: pathlib.Path, count: int) -> None:
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    else:
        env.pop("PYTHONPATH", None)
    subprocess.run([sys.executable, str(pathlib.Path(__file__).resolve()), "--dump", str(out),
                    "--count", str(count)], env=env, cwd=tempfile.gettempdir(), check=True)


def coded(line: str) -> str:
    """The code of the last validate_strict message, or '-' when it has none."""
    strict = line.split("\t")[1]
    try:
        messages = json.loads(strict)
    except json.JSONDecodeError:
        return "raised"
    if messages and isinstance(messages[-1], str) and messages[-1].startswith("VTL-E"):
        return messages[-1][:8]
    return "-"


LOOK_ALIKE_PHRASES = ["missing field `", "invalid type:", "unknown variant `", "unknown field `"]


def looks_like_a_message(text: str) -> bool:
    return any(phrase in text for phrase in LOOK_ALIKE_PHRASES)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dump", help="write this build's answers to this file")
    parser.add_argument("--baseline", help="directory holding the old vintrel package")
    parser.add_argument("--count", type=int, default=50000, help="number of spec texts")
    args = parser.parse_args()
    if args.dump:
        from vintrel import _native
        pathlib.Path(args.dump).write_text("\n".join(run_all(_native, args.count)) + "\n", encoding="utf-8")
        return 0
    if not args.baseline:
        parser.error("give --baseline or --dump")
    with tempfile.TemporaryDirectory() as tmp:
        old, new = pathlib.Path(tmp, "old.txt"), pathlib.Path(tmp, "new.txt")
        child(args.baseline, old, args.count)
        child(None, new, args.count)
        old_lines = old.read_text(encoding="utf-8").splitlines()
        new_lines = new.read_text(encoding="utf-8").splitlines()
    texts = corpus(args.count)
    codes = collections.Counter(coded(line) for line in new_lines)
    print(f"{len(new_lines)} spec texts; last message by code: "
          + ", ".join(f"{k} {v}" for k, v in sorted(codes.items())))
    differing = [(o, n) for o, n in zip(old_lines, new_lines) if o != n]
    # The old build chose the code by searching the whole message for phrases such as
    # "missing field `", so a value that itself reads like a reader message could pass for
    # one; the new build goes by the failure's kind. Those texts are counted apart.
    look_alike = [(o, n) for o, n in differing if looks_like_a_message(texts[int(o.split("\t", 1)[0])])]
    differing = [pair for pair in differing if pair not in look_alike]
    print(f"{len(look_alike)} texts whose own values read like a reader message answer differently "
          "(by the failure's kind now, not by the phrase in the value); e.g.:")
    for o, n in look_alike[:3]:
        print(f"  old {o.split(chr(9))[1]}\n  new {n.split(chr(9))[1]}")
    for o, n in differing[:10]:
        index = int(o.split("\t", 1)[0])
        print(f"--- text {index}: {texts[index]!r}\n  old {o.split(chr(9))[1]}\n  new {n.split(chr(9))[1]}")
    if len(old_lines) != len(new_lines):
        print("different number of texts")
        return 1
    print("all other answers identical" if not differing else f"{len(differing)} other texts differ")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
