"""Every YAML and Python example of docs/identity-spec.md, run against the installed module, so
that the reference says what the code does. The markers are explained under "About the
examples" on that page."""

import copy
import json
import pathlib
import re
import uuid

import pytest

from vintrel import _native
from conftest import REPO, page_examples, run_doctest

REFERENCE = REPO / "docs" / "identity-spec.md"

# A marker line, the YAML block right after it, and the text block that may follow that.
EXAMPLE = re.compile(
    r"^<!-- example: (?P<kind>base|complete|fragment)"
    r"(?: (?P<function>validate|validate_strict|plan|reconcile_local) says)? -->\n"
    r"```yaml\n(?P<yaml>.*?)^```\n"
    r"(?:```text\n(?P<said>.*?)^```\n)?",
    re.MULTILINE | re.DOTALL,
)
DOCTEST = re.compile(r"^```python\n(?P<body>.*?)^```\n", re.MULTILINE | re.DOTALL)
TOP_LEVEL_KEY = re.compile(r"^([A-Za-z_][A-Za-z0-9_]*):", re.MULTILINE)


def load_examples():
    examples = page_examples(REFERENCE, EXAMPLE, ("yaml",))
    # One of the examples is the base.
    assert [p.values[0]["kind"] for p in examples].count("base") == 1
    return examples


EXAMPLES = load_examples()
BASE = next(p.values[0]["yaml"] for p in EXAMPLES if p.values[0]["kind"] == "base")


def sections(spec: str) -> dict[str, str]:
    """The spec's top-level sections, each as its own lines."""
    starts = [(m.start(), m.group(1)) for m in TOP_LEVEL_KEY.finditer(spec)]
    ends = [s for s, _ in starts[1:]] + [len(spec)]
    return {key: spec[start:end] for (start, key), end in zip(starts, ends)}


def place(fragment: str) -> str:
    """The fragment first (so its line numbers stay as shown), then every section of the base
    spec that the fragment does not replace."""
    given = set(TOP_LEVEL_KEY.findall(fragment))
    rest = [body for key, body in sections(BASE).items() if key not in given]
    return fragment + "".join(rest)


def records_json() -> str:
    records = json.loads((REPO / "examples" / "customers.json").read_text(encoding="utf-8"))
    extra = [("G-1", "Geo.One@example.com", "52.5200,13.4050", "41", "https://www.example.com/a"),
             ("G-2", "geo.one@example.com", "52.5205,13.4049", "43", "example.com")]
    for external_id, email, location, age, website in extra:
        record = copy.deepcopy(records[0])
        record["id"] = str(uuid.uuid5(uuid.NAMESPACE_URL, external_id))
        record["external_id"] = external_id
        record["data"] = {"first_name": "Gerd", "last_name": "Oneill", "email": email,
                          "location": location, "age": age, "website": website}
        records.append(record)
    return json.dumps(records)


RECORDS = records_json()


def whole(example: dict) -> str:
    """The spec an example stands for: a fragment placed in the base spec."""
    return place(example["yaml"]) if example["kind"] == "fragment" else example["yaml"]


def python_blocks() -> list[tuple[int, str, str]]:
    """(line, body, spec) of every python block, `spec` being that of the YAML example before it."""
    text = REFERENCE.read_text(encoding="utf-8")
    specs = [(m.start(), whole(m.groupdict())) for m in EXAMPLE.finditer(text)]
    return [(text.count("\n", 0, m.start()) + 1, m["body"],
             [spec for start, spec in specs if start < m.start()][-1])
            for m in DOCTEST.finditer(text)]


DOCTESTS = python_blocks()


@pytest.mark.parametrize(
    "index", range(len(DOCTESTS)), ids=[f"line{line}-doctest" for line, _, _ in DOCTESTS])
def test_python_example(index):
    # The examples build on each other: the earlier ones run first, in one namespace.
    namespace = {}
    for line, body, spec in DOCTESTS[:index + 1]:
        namespace["spec"] = spec
        run_doctest(REFERENCE, body, line, namespace, check=line == DOCTESTS[index][0])


@pytest.mark.parametrize("example", EXAMPLES)
def test_reference_example(example):
    spec = whole(example)
    function = example["function"]
    said = example["said"].splitlines() if example["said"] is not None else None
    if function is None:
        assert said is None, "a text block after an example that reports nothing"
        assert _native.validate(spec) == []
        assert _native.validate_strict(spec) == []
        result = _native.reconcile_local(spec, RECORDS)
        assert len(result["golden_records"]) == len(result["clusters"]) > 0
    else:
        assert said, f"the example says {function} reports something: the text block is missing"
        if function == "validate":
            assert _native.validate(spec) == said
        elif function == "validate_strict":
            assert _native.validate_strict(spec) == said
        elif function == "plan":
            flagged = {flag["message"] for flag in _native.plan(spec)["risk_flags"]}
            assert set(said) <= flagged
        else:
            with pytest.raises(ValueError) as error:
                _native.reconcile_local(spec, RECORDS)
            assert [str(error.value)] == said


def test_nickname_table_size():
    """The page's count of the nickname normalizer's table, read from the engine's source."""
    source = (REPO / "src/core/engine/normalization/normalizers.cc").read_text(encoding="utf-8")
    table = re.search(r"kNicknames = \{\{(.*?)\}\};", source, re.DOTALL)[1]
    pairs = re.findall(r'\{"(\w+)", "(\w+)"\}', table)
    page = REFERENCE.read_text(encoding="utf-8")
    said = re.search(r"Its (\d+) nicknames of (\d+)\s+given names", page)
    assert (int(said[1]), int(said[2])) == (len(pairs), len({name for _, name in pairs}))
