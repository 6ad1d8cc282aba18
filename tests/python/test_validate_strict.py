"""validate_strict end to end: the ordinary validation messages, then at most one coded
message when the text cannot be read as the typed spec."""

import pytest

from conftest import value_error_args

BASE = (
    "api_version: vintrel/v1\n"
    "identity_version: '1'\n"
    "entity: {name: person}\n"
    "sources: {crm: {}}\n"
    "decision: {thresholds: {match: 0.9}}\n"
)

CODED_CASES = [
    (
        "governance: {require_schema: 1}\n",
        "VTL-E104: Type error (line 6) \u2014 governance.require_schema: invalid type: integer `1`, "
        "expected a boolean at line 6 column 30",
    ),
    (
        "survivorship: {default: newest}\n",
        "VTL-E100: survivorship.default: unknown variant `newest`, expected one of `most_recent`, "
        "`most_complete`, `source_priority`, `aggregate`, `custom` at line 6 column 25",
    ),
    (
        "rules:\n  - {type: exact, field: email}\n",
        "VTL-E102: Missing required field 'name' (line 7). Add 'name: <value>' to your spec.",
    ),
    # A value that reads like a reader message is coded by what actually failed.
    (
        "survivorship: {default: 'missing field `x`'}\n",
        "VTL-E100: survivorship.default: unknown variant `missing field `x``, expected one of `most_recent`, "
        "`most_complete`, `source_priority`, `aggregate`, `custom` at line 6 column 25",
    ),
    (
        "governance: {require_schema: 'missing field `x`'}\n",
        "VTL-E104: Type error (line 6) \u2014 governance.require_schema: invalid type: string "
        "\"missing field `x`\", expected a boolean at line 6 column 30",
    ),
    (
        "survivorship: {default: 'invalid type: x'}\n",
        "VTL-E100: survivorship.default: unknown variant `invalid type: x`, expected one of `most_recent`, "
        "`most_complete`, `source_priority`, `aggregate`, `custom` at line 6 column 25",
    ),
]


def test_clean_spec_gives_no_messages(native):
    assert native.validate_strict(BASE) == []


def test_readable_spec_gives_exactly_the_validate_messages(native, example_spec):
    for text in (example_spec, BASE + "rules:\n  - {type: exact, name: a, field: b}\n"
                 "  - {type: exact, name: a, field: b}\n"):
        assert native.validate_strict(text) == native.validate(text)


@pytest.mark.parametrize("extra,coded", CODED_CASES)
def test_unreadable_spec_appends_one_coded_message(native, extra, coded):
    text = BASE + extra
    messages = native.validate_strict(text)
    assert messages == native.validate(text) + [coded]


def test_missing_key_is_e102_after_the_schema_messages(native):
    messages = native.validate_strict("x: 1\n")
    assert messages[:-1] == native.validate("x: 1\n")
    assert messages[-1] == (
        "VTL-E102: Missing required field 'api_version' (line 1). Add 'api_version: <value>' to your spec."
    )


def test_text_that_is_not_yaml_raises_the_validation_error(native):
    strict_args = value_error_args(native.validate_strict, "a: [1, 2")
    assert strict_args == value_error_args(native.validate, "a: [1, 2")


def test_arguments_are_checked(native):
    with pytest.raises(TypeError):
        native.validate_strict(1)
    assert native.validate_strict(yaml_str=BASE) == []
