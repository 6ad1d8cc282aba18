"""The engine's log events in Python's logging: loggers, levels, texts, one record per distinct
event with its count, delivery before a ValueError, per-call collection across threads, and
nothing at all from a call with nothing to say or below the loggers' level."""

import json
import logging
import re
import threading

import pytest

from test_reconcile import EMAIL_SPEC, FS_SPEC, record
from vintrel import _native

ENGINE, COMPILER = "vintrel.engine", "vintrel.compiler"
INFO, WARNING, ERROR = logging.INFO, logging.WARNING, logging.ERROR
FALLBACK = "falling back to weighted sum"

# Four records in one block: 6 pairs, each evaluated once.
RECORDS = json.dumps([record(n, email="a@x.org", name=f"Name {n}") for n in range(4)])
THRESHOLDS = "thresholds: {match: 0.9, review: 0.5}"


def scored(scoring: str) -> str:
    return EMAIL_SPEC.replace(THRESHOLDS, f"{THRESHOLDS}\n  scoring: {scoring}")


def custom(expression: str) -> str:
    return scored(f"{{method: custom, custom: {{expression: '{expression}'}}}}")


CLAMPED_FS = FS_SPEC.replace("m_probability: 0.9, u_probability: 0.1", "m_probability: 1, u_probability: 0")
EM_LINE = r"  {} -> m=\d\.\d{{4}}, u=\d\.\d{{4}}, w_agree=-?\d+\.\d{{3}}, w_disagree=-?\d+\.\d{{3}}"
# A name that would start a log line of its own, and an expression quoting a control character:
# both reach the messages escaped as repr escapes them.
FORGING_NAME = "email\nCRITICAL vintrel.engine forged \x1b[31m\\"
FORGING_FS = CLAMPED_FS.replace("name: email,", f"name: {json.dumps(FORGING_NAME)},")
ESCAPED_NAME = repr(FORGING_NAME)[1:-1]

# spec -> the expected records (logger, level, message pattern), in order.
CASES = {
    "compile failure": (
        custom("(email_exact"),
        [
            (COMPILER, ERROR, re.escape("Invalid custom scoring expression: expression error: mismatched parentheses")),
            (ENGINE, ERROR, re.escape("Failed to compile custom scoring expression: expression error: mismatched parentheses")),
            (ENGINE, WARNING, re.escape(f"Custom scoring selected but no expression configured, {FALLBACK} (6 occurrences)")),
        ],
    ),
    "evaluation failure": (
        custom("email_exact 1"),
        [
            (ENGINE, ERROR, re.escape(
                "Custom scoring expression evaluation failed: expression error: expression did not reduce to "
                f"single value (stack has 2 items), {FALLBACK} (6 occurrences)")),
        ],
    ),
    "ml_ensemble without config": (
        scored("ml_ensemble"),
        [(ENGINE, WARNING, re.escape(f"ML ensemble scoring selected but no ml_ensemble config provided, {FALLBACK} (6 occurrences)"))],
    ),
    "Fellegi-Sunter without thresholds": (
        scored("{strategy: fellegi_sunter, fields: [{name: email, comparator: exact, m_probability: 0.9, u_probability: 0.1}]}"),
        [(ENGINE, WARNING, re.escape(f"Fellegi-Sunter scoring selected but no config provided, {FALLBACK} (6 occurrences)"))],
    ),
    "clamped probabilities and training": (
        CLAMPED_FS,
        [
            (COMPILER, WARNING, re.escape(
                "FS field probabilities clamped to safe bounds (0.0001, 0.9999) to avoid ln(0) "
                "(field=email, original_m=1, clamped_m=0.9999, original_u=0, clamped_u=0.0001)")),
            (ENGINE, INFO, r"EM training completed: \d+ iterations, converged=(true|false), fields=2, fix_u=false, prior_weight=0\.70"),
            (ENGINE, INFO, EM_LINE.format("email")),
            (ENGINE, INFO, EM_LINE.format("name")),
        ],
    ),
    "a name with control characters": (
        FORGING_FS,
        [
            (COMPILER, WARNING, re.escape(
                "FS field probabilities clamped to safe bounds (0.0001, 0.9999) to avoid ln(0) "
                f"(field={ESCAPED_NAME}, original_m=1, clamped_m=0.9999, original_u=0, clamped_u=0.0001)")),
            (ENGINE, INFO, r"EM training completed: \d+ iterations, converged=(true|false), fields=2, fix_u=false, prior_weight=0\.70"),
            (ENGINE, INFO, EM_LINE.format(re.escape(ESCAPED_NAME))),
            (ENGINE, INFO, EM_LINE.format("name")),
        ],
    ),
    "an expression with a control character": (
        scored('{method: custom, custom: {expression: "email_exact \\u001b"}}'),
        [
            (COMPILER, ERROR, re.escape("Invalid custom scoring expression: expression error: unexpected character: '\\x1b'")),
            (ENGINE, ERROR, re.escape("Failed to compile custom scoring expression: expression error: unexpected character: '\\x1b'")),
            (ENGINE, WARNING, re.escape(f"Custom scoring selected but no expression configured, {FALLBACK} (6 occurrences)")),
        ],
    ),
    "nothing to say": (EMAIL_SPEC, []),
}


def vintrel_records(caplog):
    return [r for r in caplog.records if r.name.startswith("vintrel")]


def check(records, expected):
    got = [(r.name, r.levelno, r.getMessage()) for r in records]
    assert len(got) == len(expected), got
    for (name, level, message), (want_name, want_level, pattern) in zip(got, expected):
        assert (name, level) == (want_name, want_level), got
        assert re.fullmatch(pattern, message), message
        assert message.isprintable(), message  # one line, as written


@pytest.mark.parametrize("case", CASES)
def test_events_reach_logging(caplog, case):
    spec, expected = CASES[case]
    caplog.set_level(INFO, logger="vintrel")
    _native.reconcile_local(spec, RECORDS)
    check(vintrel_records(caplog), expected)
    caplog.clear()
    _native.reconcile_incremental(spec, RECORDS, "[]", "[]", None)
    check(vintrel_records(caplog), expected)


def test_events_before_a_failure_come_before_its_value_error(caplog):
    caplog.set_level(INFO, logger="vintrel")
    with pytest.raises(ValueError, match="Invalid entities JSON"):
        _native.reconcile_local(CLAMPED_FS, "[1]")
    check(vintrel_records(caplog), CASES["clamped probabilities and training"][1][:1])


def test_loggers_above_the_level_get_nothing(caplog):
    caplog.set_level(ERROR, logger="vintrel")
    _native.reconcile_local(CLAMPED_FS, RECORDS)  # a WARNING and INFO records
    assert vintrel_records(caplog) == []
    _native.reconcile_local(custom("(email_exact"), RECORDS)
    assert [r.levelno for r in vintrel_records(caplog)] == [ERROR, ERROR]


def test_failing_handler_is_handled_by_logging_and_failing_logger_propagates(monkeypatch, caplog, capsys):
    caplog.set_level(INFO, logger="vintrel")
    logger = logging.getLogger(ENGINE)
    broken = logging.StreamHandler(None)
    monkeypatch.setattr(broken, "stream", None)  # writing fails: logging's handleError reports it
    monkeypatch.setattr(logger, "handlers", [broken])
    assert len(_native.reconcile_local(scored("ml_ensemble"), RECORDS)["clusters"]) == 1
    assert "ML ensemble scoring selected" in capsys.readouterr().err

    monkeypatch.setattr(logger, "log", lambda *args: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        _native.reconcile_local(scored("ml_ensemble"), RECORDS)


def test_concurrent_calls_each_see_their_own_events(caplog):
    caplog.set_level(INFO, logger="vintrel")
    specs = {"evaluation failure": custom("email_exact 1"), "ml_ensemble without config": scored("ml_ensemble")}
    threads_of = {}
    errors = []

    def work(case):
        threads_of[case] = threading.get_ident()
        try:
            for _ in range(20):
                _native.reconcile_local(specs[case], RECORDS)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(case,)) for case in specs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    for case, ident in threads_of.items():
        own = [r for r in vintrel_records(caplog) if r.thread == ident]
        check(own, CASES[case][1] * 20)
