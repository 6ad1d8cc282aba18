"""Every example of docs/records-and-results.md, run against the installed module, so that the
page says what the module does. The markers are explained under "About the examples" on that
page."""

import doctest
import io
import json
import re

import pytest

from vintrel import _native
from conftest import REPO, page_examples

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


def run_doctest(body: str, line: int, namespace: dict, check: bool) -> None:
    parser = doctest.DocTestParser()
    test = parser.get_doctest(body, namespace, f"line{line}", str(PAGE), line)
    assert test.examples, f"line {line}: a python block without >>> examples"
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=report.write, clear_globs=False)
    namespace.update(test.globs)
    if check:
        assert runner.failures == 0, report.getvalue()


@pytest.mark.parametrize(
    "index", range(len(DOCTESTS)), ids=[f"line{line}-doctest" for line, _ in DOCTESTS])
def test_python_example(index):
    # The examples build on each other: the earlier ones run first, in one namespace.
    namespace = dict(NAMED)
    for line, body in DOCTESTS[:index]:
        run_doctest(body, line, namespace, check=False)
    line, body = DOCTESTS[index]
    run_doctest(body, line, namespace, check=True)


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
