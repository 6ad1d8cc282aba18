"""Every example of docs/records-and-results.md, run against the installed module, so that the
page says what the module does. The markers are explained under "About the examples" on that
page."""

import contextlib
import json
import logging
import re
import textwrap

import pytest

from vintrel import _native
from conftest import REPO, page_examples, run_doctest, run_isolated

PAGE = REPO / "docs" / "records-and-results.md"

# A marker line and the block after it: a named YAML or JSON text, or a table.
EXAMPLE = re.compile(
    r"^<!-- example: (?P<kind>text|accepted timestamps|refused timestamps|log events)"
    r"(?: (?P<name>\w+))? -->\n"
    r"(?:```(?P<language>yaml|json)\n(?P<text>.*?)^```\n|(?P<table>(?:^\|[^\n]*\n)+))",
    re.MULTILINE | re.DOTALL,
)
DOCTEST = re.compile(r"^```python\n(?P<body>.*?)^```\n", re.MULTILINE | re.DOTALL)
ROW = re.compile(r"^\|(.*)\|$", re.MULTILINE)

TEXT = PAGE.read_text(encoding="utf-8")
EXAMPLES = page_examples(PAGE, EXAMPLE, ("yaml", "json"))
NAMED = {e["name"]: e["text"] for e in (p.values[0] for p in EXAMPLES) if e["kind"] == "text"}
DOCTESTS = [(TEXT.count("\n", 0, m.start()) + 1, m["body"]) for m in DOCTEST.finditer(TEXT)]


def rows(table: str) -> list[list[str]]:
    """The cells of a table's body rows (the header and the rule line left out)."""
    return [[cell.strip() for cell in row.split(" | ")] for row in ROW.findall(table)[2:]]


def code(cell: str) -> str:
    """The text of the first code span of a cell (single or double backticks)."""
    match = re.match(r"(`+)(.*?)\1", cell)
    assert match, f"no code span in {cell!r}"
    return match[2]


@pytest.mark.parametrize(
    "index", range(len(DOCTESTS)), ids=[f"line{line}-doctest" for line, _ in DOCTESTS])
def test_python_example(index):
    # The examples build on each other: the earlier ones run first, in one namespace.
    namespace = dict(NAMED)
    for line, body in DOCTESTS[:index]:
        run_doctest(PAGE, body, line, namespace, check=False)
    line, body = DOCTESTS[index]
    run_doctest(PAGE, body, line, namespace, check=True)


def record(**changes) -> str:
    one = json.loads(NAMED["records"])[0]
    one.update(changes)
    return json.dumps([one])


@pytest.mark.parametrize("example", EXAMPLES)
def test_marked_example(example):
    spec = NAMED["spec"]
    if example["kind"] == "text":
        if example["language"] == "json":
            json.loads(example["text"])
        start = TEXT.index(example["text"])
        after = "".join(body for _, body in DOCTESTS if TEXT.index(body) > start)
        assert re.search(rf"\b{example['name']}\b", after), f"{example['name']} is never used"
    elif example["kind"] == "accepted timestamps":
        for cells in rows(example["table"]):
            value = json.loads(code(cells[0]))
            key = "valid_from" if value is None else "last_updated"
            assert _native.reconcile_local(spec, record(**{key: value}))["clusters"]
    elif example["kind"] == "refused timestamps":
        for cells in rows(example["table"]):
            with pytest.raises(ValueError) as error:
                _native.reconcile_local(spec, record(last_updated=json.loads(code(cells[0]))))
            said = re.sub(r" at line \d+ column \d+$", "", str(error.value))
            assert said == "Invalid entities JSON: " + code(cells[1])
    else:
        listed = {(code(c[2]), code(c[0]), c[1]) for c in rows(example["table"])}
        assert listed == source_log_events()


def source_log_events() -> set[tuple[str, str, str]]:
    """(message, logger, level) of every log call site in the engine's sources."""
    levels = {"INFO": "INFO", "WARN": "WARNING", "ERROR": "ERROR"}
    # OSMIRA_LOG_<LEVEL>(events collector, target, text literals...)
    call = re.compile(r'OSMIRA_LOG_(INFO|WARN|ERROR)\(\s*[\w.]+,\s*(\w+),\s*((?:"(?:[^"\\]|\\.)*"\s*)+)')
    events = set()
    for path in (REPO / "src").rglob("*.cc"):
        source = path.read_text(encoding="utf-8")
        targets = dict(re.findall(r'\b(k\w*Target)\s*=\s*"([^"]+)"', source))
        for level, target, literals in call.findall(source):
            message = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', literals))
            compiler = targets[target].endswith("::compiler")
            logger = "vintrel.compiler" if compiler else "vintrel.engine"
            events.add((message, logger, levels[level]))
    assert events, "no log call sites found"
    return events


# The sentences of the page that its examples do not run, checked with its spec and records.
LOG_EVENTS = {code(c[2]): c[3] for e in EXAMPLES if e.values[0]["kind"] == "log events" for c in rows(e.values[0]["table"])}
FS = ("strategy: fellegi_sunter\nfields: [{name: email, comparator: exact, m_probability: 0.9, "
      "u_probability: 0.1}]\nthresholds: {match: 4, possible: 1, non_match: -2}\n")
COMPILE = "Invalid custom scoring expression: {}"
EVALUATE = "Custom scoring expression evaluation failed: {}, falling back to weighted sum"
STACK = "expression did not reduce to single value (stack has {} items)"
FALLBACK = "Custom scoring selected but no expression configured, falling back to weighted sum (6 occurrences)"


def scored(scoring: str, spec: str = NAMED["spec"]) -> str:
    """`spec` with `scoring` (YAML lines) as its decision.scoring."""
    return spec.replace("    review: 0.6\n", "    review: 0.6\n  scoring:\n" + textwrap.indent(scoring, "    "))


def custom(expression: str) -> str:
    return scored(f"method: custom\ncustom: {{expression: {json.dumps(expression)}}}\n")


# An expression that the page names in an event's row, and the reason that event gives.
EXPRESSIONS = [
    ("max(a, b", COMPILE, "mismatched parentheses"), ("a $ b", COMPILE, "unexpected character: '$'"),
    ("1.2.3", COMPILE, "invalid number: 1.2.3"), ("()", COMPILE, "empty expression"),
    ("mx(a, b)", EVALUATE, STACK.format(3)), ("MAX(a, b)", EVALUATE, STACK.format(3)),
    ("max(a, b, c)", EVALUATE, STACK.format(2)), ("a +", EVALUATE, "stack underflow"),
]


@pytest.mark.parametrize("expression, row, reason", EXPRESSIONS, ids=[e[0] for e in EXPRESSIONS])
def test_custom_expression_event(caplog, expression, row, reason):
    assert f"`{expression}`" in LOG_EVENTS[row]
    caplog.set_level(logging.INFO, logger="vintrel")
    result = _native.reconcile_local(custom(expression), NAMED["records"])
    error = f"expression error: {reason}"
    expected = [row.format(error) + " (6 occurrences)"] if row == EVALUATE else [
        row.format(error), f"Failed to compile custom scoring expression: {error}", FALLBACK]
    assert [r.getMessage() for r in caplog.records] == expected
    # Each record names the caller's code, as a logging call made here would.
    here = (__file__, "test_custom_expression_event")
    assert {(r.pathname, r.funcName) for r in caplog.records} == {here}
    assert result["telemetry"]["pairs_evaluated"] == 9  # 6 distinct pairs
    assert _native.validate(custom(expression)) == _native.validate_strict(custom(expression)) == []


def test_raising_handler_loses_the_result_and_later_events(monkeypatch):
    seen = []

    class Raising(logging.Handler):
        def emit(self, record):
            seen.append(record.getMessage())
            raise KeyError("handler")

    monkeypatch.setattr(logging.getLogger("vintrel"), "handlers", [Raising()])
    with pytest.raises(KeyError, match="handler"):
        _native.reconcile_local(custom("(a"), NAMED["records"])
    assert seen == [COMPILE.format("expression error: mismatched parentheses")]


def test_last_resort_handler_shows_warnings_and_errors():
    training = scored(FS + "training: {method: em}\n")  # INFO events only
    params = _native.reconcile_local(training, NAMED["records"])["trained_fs_params"]
    no_strategy = scored("method: fellegi_sunter\n")
    run = run_isolated(f"""
        from vintrel import _native
        for spec in {[custom("(a"), training]!r}:
            _native.reconcile_local(spec, {NAMED["records"]!r})
        # Given parameters, a spec without `strategy` has no fallback to report.
        _native.reconcile_incremental({no_strategy!r}, {NAMED["records"]!r}, "[]", "[]", {params!r})
    """)
    assert run.returncode == 0, run.stderr
    error = "expression error: mismatched parentheses"
    assert run.stderr.splitlines() == [
        COMPILE.format(error), f"Failed to compile custom scoring expression: {error}", FALLBACK]


# Second 60 comes after second 59 and its fractions, and before the next minute: the record
# with the later time gives the golden value under most_recent.
@pytest.mark.parametrize("earlier, later", [
    ("09:30:59.999999999", "09:30:60"), ("09:30:60", "09:30:60.5"), ("09:30:60.5", "09:31:00")])
def test_leap_second_order(earlier, later):
    pair = json.loads(NAMED["records"])[:2]  # records that merge
    for one, (time, note) in zip(pair, [(earlier, "earlier"), (later, "later")]):
        one.update(valid_from=None, last_updated=f"2024-01-10T{time}Z")
        one["data"]["note"] = note
    for records in (pair, pair[::-1]):
        golden = _native.reconcile_local(NAMED["spec"], json.dumps(records))["golden_records"]
        assert golden[0]["note"] == "later"


def test_array_form_in_the_order_given():
    order = re.findall(r"`(\w+)`", re.search(r"nine values in this order: (.*?) \(", TEXT, re.DOTALL)[1])
    arrays = [[r.get(key) for key in order] for r in json.loads(NAMED["records"])]
    assert _native.reconcile_local(NAMED["spec"], json.dumps(arrays)) == _native.reconcile_local(
        NAMED["spec"], NAMED["records"])


# Braces and urn:uuid: (in lower case) go with the hyphenated form only.
@pytest.mark.parametrize("written, read", [
    ("{00000000-0000-0000-0000-00000000000A}", True), ("urn:uuid:00000000-0000-0000-0000-00000000000A", True),
    ("URN:UUID:00000000-0000-0000-0000-00000000000a", False), ("{0000000000000000000000000000000a}", False),
    ("urn:uuid:0000000000000000000000000000000a", False),
])
def test_identifier_forms(written, read):
    refused = pytest.raises(ValueError, match="^Invalid entities JSON: UUID parsing failed: invalid length")
    with contextlib.nullcontext() if read else refused:
        clusters = _native.reconcile_local(NAMED["spec"], record(id=written))["clusters"]
        assert clusters == [["00000000-0000-0000-0000-00000000000a"]]


def test_numbers_not_finite():
    spec = NAMED["spec"].replace("match: 0.9", "match: .inf")
    assert _native.reconcile_local(spec, NAMED["records"])["telemetry"]["merge_threshold"] is None
    fs_spec = scored(FS.replace("match: 4", "match: .inf"), spec)
    params = _native.reconcile_local(fs_spec, NAMED["records"])["trained_fs_params"]
    assert json.loads(params)["match_threshold"] is None
    with pytest.raises(ValueError, match="^Invalid trained_fs_params: invalid type: null, expected f64"):
        _native.reconcile_incremental(fs_spec, "[]", "[]", "[]", params)
