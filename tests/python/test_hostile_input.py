"""Hostile input at the Python boundary: every function answers alias bombs, deep nesting,
ill-formed text, out-of-range numbers and garbage trained parameters with a ValueError (a
TypeError for an argument of the wrong type) carrying a clear message, quickly, and never
crashes or hangs. Each case runs well under a second."""

import json

import pytest

from conftest import FUNCTIONS

# One exact e-mail rule, blocked by e-mail: a valid spec for the reconcile functions.
SPEC = """\
api_version: vintrel/v1
identity_version: "1"
entity: {name: person}
sources:
  - {name: crm, adapter: csv}
blocking:
  strategy: single
  keys: [[email]]
rules:
  - {name: email_exact, type: exact, field: email, weight: 1.0}
decision:
  thresholds: {match: 0.9, review: 0.5}
"""

# Fellegi-Sunter scoring, for trained parameters.
FS_SPEC = SPEC.replace("  thresholds: {match: 0.9, review: 0.5}\n", """\
  thresholds: {match: 0.9}
  scoring:
    strategy: fellegi_sunter
    fields:
      - {name: email, comparator: exact, m_probability: 0.9, u_probability: 0.1}
    thresholds: {match: 2, possible: 0, non_match: -2}
""")


def record(n: int, **extra) -> dict:
    r = {
        "id": f"00000000-0000-4000-8000-{n:012x}",
        "tenant_id": "7d444840-9dc0-11d1-b245-5ffdce74fad2",
        "external_id": f"e{n}",
        "entity_type": "person",
        "data": {"email": f"p{n % 2}@example.com"},
        "source_name": "crm",
        "valid_from": None,
        "valid_to": None,
        "last_updated": "2024-01-01T00:00:00Z",
    }
    r.update(extra)
    return r


RECORDS = json.dumps([record(1), record(2), record(3)])

# Ten levels of ten aliases each: 10^10 nodes once expanded.
LAUGHS = "lol0: &a0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n" + "".join(
    f"lol{i}: &a{i} [{', '.join([f'*a{i - 1}'] * 10)}]\n" for i in range(1, 10))

DEEP = 100_000  # far beyond every nesting limit


def deep_array(depth: int = DEEP) -> str:
    return "[" * depth + "]" * depth


def value_error(call, *args) -> str:
    with pytest.raises(ValueError) as error:
        call(*args)
    assert type(error.value) in (ValueError, UnicodeEncodeError)
    message = str(error.value)
    assert message and len(message) < 1000
    return message


def trained(**field) -> str:
    """Trained parameters with one e-mail field, its members replaced by `field`."""
    entry = {"name": "email", "comparator": "exact", "weight": 1.0, "m_probability": 0.9,
             "u_probability": 0.1, "w_agree": 2.2, "w_disagree": -2.2, "normalizer": None}
    entry.update(field)
    return json.dumps({"fields": [entry], "match_threshold": 2.0, "possible_threshold": 0.0,
                       "non_match_threshold": -2.0, "merge_threshold": None,
                       "max_composite": 2.2, "min_composite": -2.2, "em_training": None})


def incremental_with_params(native, params: str):
    return native.reconcile_incremental(FS_SPEC, RECORDS, "[]", "[]", params)


# ---------------------------------------------------------------------------------------------
# YAML: alias expansion and nesting


# name -> (the call with a spec text in every YAML position, the expected message)
YAML_CALLS = {
    "parse": (lambda n, y: n.parse(y), "{}"),
    "hash": (lambda n, y: n.hash(y), "{}"),
    "validate": (lambda n, y: n.validate(y), "{}"),
    "validate_strict": (lambda n, y: n.validate_strict(y), "{}"),
    "validate_schema": (lambda n, y: n.validate_schema(y), "{}"),
    "validate_semantics": (lambda n, y: n.validate_semantics(y), "{}"),
    "compile_ir": (lambda n, y: n.compile_ir(y), "{}"),
    "plan": (lambda n, y: n.plan(y), "Failed to parse YAML for plan generation"),
    "diff (first)": (lambda n, y: n.diff(y, SPEC), "{}"),
    "diff (second)": (lambda n, y: n.diff(SPEC, y), "{}"),
    "reconcile_local": (lambda n, y: n.reconcile_local(y, RECORDS), "Invalid spec YAML: {}"),
    "reconcile_incremental": (lambda n, y: n.reconcile_incremental(y, "[]", "[]", "[]", None),
                              "Invalid spec YAML: {}"),
}


def test_every_yaml_function_is_covered():
    assert {name.split(" ")[0] for name in YAML_CALLS} == set(FUNCTIONS)


@pytest.mark.parametrize("name", sorted(YAML_CALLS))
def test_billion_laughs_is_refused(native, name):
    call, template = YAML_CALLS[name]
    # The bomb sits under a key that no reader knows, inside a rule: the rule is taken whole
    # before it is read, so every reader meets the expansion.
    message = value_error(call, native, LAUGHS + SPEC.replace("weight: 1.0}", "weight: 1.0, extra: *a9}"))
    assert message.startswith(template.format("repetition limit exceeded").split(" at ")[0])


@pytest.mark.parametrize("name", sorted(YAML_CALLS))
@pytest.mark.parametrize("nesting", [
    pytest.param(lambda: SPEC.replace("weight: 1.0}", "weight: 1.0, extra: " + "[" * DEEP + "}"),
                 id="flow sequences in a rule"),
    pytest.param(lambda: SPEC.replace("weight: 1.0}", "weight: 1.0, extra: " + "{a: " * DEEP + "}"),
                 id="flow mappings in a rule"),
    pytest.param(lambda: SPEC + "extra:\n" + "- " * DEEP + "x\n", id="block sequences"),
])
def test_deep_yaml_nesting_is_refused(native, name, nesting):
    call, template = YAML_CALLS[name]
    message = value_error(call, native, nesting())
    assert message.startswith(template.format("recursion limit exceeded"))


# ---------------------------------------------------------------------------------------------
# JSON: nesting in every input of both reconcile functions


def deep_entities() -> str:
    # The nesting sits in a member no reader knows, whose value is skipped but must be read.
    return json.dumps([record(1, extra="X")]).replace('"X"', deep_array())


JSON_INPUTS = {
    "entities": (lambda n, t: n.reconcile_local(SPEC, t), "Invalid entities JSON: "),
    "new entities": (lambda n, t: n.reconcile_incremental(SPEC, t, "[]", "[]", None),
                     "Invalid new entities JSON: "),
    "existing entities": (lambda n, t: n.reconcile_incremental(SPEC, "[]", t, "[]", None),
                          "Invalid existing entities JSON: "),
    "existing clusters": (lambda n, t: n.reconcile_incremental(SPEC, "[]", "[]", t, None),
                          "Invalid existing clusters JSON: "),
    "trained params": (lambda n, t: n.reconcile_incremental(FS_SPEC, "[]", "[]", "[]", t),
                       "Invalid trained_fs_params: "),
}

ENTITY_KINDS = ["entities", "new entities", "existing entities"]

# (input, text, message after the input's prefix): deep nesting in every JSON input, where
# the reader walks into it (a skipped unknown member) and where the record's shape stops it
# first.
DEEP_JSON = [
    *[(kind, deep_entities(), "recursion limit exceeded at line 1 column 419") for kind in ENTITY_KINDS],
    *[(kind, deep_array(), "invalid type: sequence, expected a formatted UUID string at line 1 column 2")
      for kind in ENTITY_KINDS],
    ("existing clusters", deep_array(), "invalid type: sequence, expected a string at line 1 column 2"),
    ("existing clusters", '[["x"], ' + deep_array() + "]",
     "invalid type: sequence, expected a string at line 1 column 9"),
    ("trained params", trained().replace('"normalizer": null', '"extra": ' + deep_array()),
     "recursion limit exceeded at line 1 column 282"),
    ("trained params", '{"x":' * DEEP, "recursion limit exceeded at line 1 column 636"),
    ("trained params", deep_array(), "invalid type: sequence, expected a string at line 1 column 3"),
]


def test_every_json_input_has_deep_nesting_cases():
    assert {name for name, _, _ in DEEP_JSON} == set(JSON_INPUTS)


@pytest.mark.parametrize("name,text,message", DEEP_JSON, ids=[f"{n}-{i}" for i, (n, _, _) in enumerate(DEEP_JSON)])
def test_deep_json_nesting_is_refused(native, name, text, message):
    call, prefix = JSON_INPUTS[name]
    assert value_error(call, native, text) == prefix + message


# ---------------------------------------------------------------------------------------------
# Ill-formed text: lone surrogates, NUL bytes, escapes of surrogates


def calls_with_one_bad_argument():
    """(function, arguments) with one str argument at a time replaced by the marker None."""
    good = {
        "yaml_str": SPEC, "yaml_a": SPEC, "yaml_b": SPEC, "entities_json": RECORDS,
        "new_entities_json": RECORDS, "existing_entities_json": "[]",
        "existing_clusters_json": "[]", "trained_fs_params_json": trained(),
    }
    for name, params in FUNCTIONS.items():
        for bad in params:
            yield pytest.param(name, [None if p == bad else good[p] for p in params],
                               id=f"{name}-{bad}")


@pytest.mark.parametrize("name,args", calls_with_one_bad_argument())
@pytest.mark.parametrize("bad", ["\ud800", "spec \udfff", b"\xff\xfe".decode("utf-8", "surrogateescape")])
def test_lone_surrogates_are_a_unicode_error(native, name, args, bad):
    args = [bad if a is None else a for a in args]
    with pytest.raises(UnicodeEncodeError) as error:
        getattr(native, name)(*args)
    assert "surrogates not allowed" in str(error.value)
    assert isinstance(error.value, ValueError)


@pytest.mark.parametrize("name", sorted(YAML_CALLS))
@pytest.mark.parametrize("text,expected", [
    ("\x00", "control characters are not allowed"),  # no position at the very start
    (SPEC + "extra: a\x00b\n", f"control characters are not allowed at position {len(SPEC) + 8}"),
    ('extra: "\\ud800"\n', "found invalid Unicode character escape code at line 1 column 11, "
                            "while parsing a quoted scalar at line 1 column 8"),
])
def test_nul_bytes_and_surrogate_escapes_in_yaml_are_refused(native, name, text, expected):
    call, template = YAML_CALLS[name]
    if name == "plan":  # plan answers every unreadable text alike
        expected = template
    assert value_error(call, native, text) == template.format(expected)


@pytest.mark.parametrize("name", sorted(JSON_INPUTS))
@pytest.mark.parametrize("text,expected", [
    ('["a\x00b"]', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
    ('["\\ud800"]', "unexpected end of hex escape at line 1 column 9"),
    ('["\\udc00x"]', "lone leading surrogate in hex escape at line 1 column 8"),
    ("\x00", "expected value at line 1 column 1"),
    ('["\\u12"]', "invalid escape at line 1 column 7"),
])
def test_ill_formed_json_text_is_refused(native, name, text, expected):
    call, prefix = JSON_INPUTS[name]
    assert value_error(call, native, text) == prefix + expected


# ---------------------------------------------------------------------------------------------
# Out-of-range numbers


@pytest.mark.parametrize("name", sorted(JSON_INPUTS))
@pytest.mark.parametrize("number", ["1e999", "-1e400", "18446744073709551616e99999"])
def test_json_numbers_beyond_the_float_range_are_refused(native, name, number):
    call, prefix = JSON_INPUTS[name]
    assert value_error(call, native, f"[{number}]") == prefix + "number out of range at line 1 column " \
        + str(1 + len(number))


@pytest.mark.parametrize("setting,expected", [
    ("max_iterations: 18446744073709551616",
     "decision.scoring.training.max_iterations: invalid type: integer `18446744073709551616` as u128"),
    ("max_iterations: -1", "decision: data did not match any variant of untagged enum ScoringFormat"),
    ("max_random_pairs: 1e999", "decision: data did not match any variant of untagged enum ScoringFormat"),
])
def test_out_of_range_training_settings_are_refused(native, setting, expected):
    spec = FS_SPEC.replace("non_match: -2}\n", "non_match: -2}\n    training: {method: em, %s}\n" % setting)
    assert spec != FS_SPEC
    message = value_error(native.reconcile_local, spec, RECORDS)
    assert message.startswith("Invalid spec YAML: ") and expected in message, message


@pytest.mark.parametrize("value,message", [
    (".nan", "rules[0]: weight NaN must be between 0 and 1"),
    (".inf", "rules[0]: weight inf must be between 0 and 1"),
    ("-1", "rules[0]: weight -1 must be between 0 and 1"),
])
def test_out_of_range_rule_weights_are_reported_by_validation(native, value, message):
    spec = SPEC.replace("weight: 1.0", f"weight: {value}")
    assert native.validate(spec) == [message]
    assert native.validate_strict(spec) == [message]


# ---------------------------------------------------------------------------------------------
# Garbage trained parameters


GARBAGE_PARAMS = [
    # (trained parameters, the message after "Invalid trained_fs_params: ")
    (trained(m_probability=1e308, u_probability=-1e308),
     "fields[0] (`email`): m_probability 1e+308 is outside [0.0001, 0.9999]"),
    (trained(m_probability=0, u_probability=0),
     "fields[0] (`email`): m_probability 0.0 is outside [0.0001, 0.9999]"),
    (trained(m_probability=0.5, u_probability=1),
     "fields[0] (`email`): u_probability 1.0 is outside [0.0001, 0.9999]"),
    (trained(m_probability=-0.0), "fields[0] (`email`): m_probability -0.0 is outside [0.0001, 0.9999]"),
    (trained().replace('"m_probability": 0.9', '"m_probability": NaN'), "expected value at line 1 column"),
    (trained().replace('"m_probability": 0.9', '"m_probability": Infinity'), "expected value at line 1 column"),
    (trained().replace('"w_agree": 2.2', '"w_agree": 1e400'), "number out of range at line 1 column"),
    (trained(m_probability="0.9"), 'invalid type: string "0.9", expected f64 at line 1 column'),
    (trained(m_probability=None), "invalid type: null, expected f64 at line 1 column"),
    (trained(name=7), "invalid type: integer `7`, expected a string at line 1 column"),
    (trained(comparator="fuzzy"), "unknown variant `fuzzy`, expected one of `exact`"),
    ('{"fields": {}}', "invalid type: map, expected a sequence at line 1 column"),
    ("[]", "invalid length 0, expected struct CompiledFellegiSunterPlan with 8 elements"),
    ('"fields"', 'invalid type: string "fields", expected struct CompiledFellegiSunterPlan'),
    ("", "EOF while parsing a value at line 1 column 0"),
    ("null", "invalid type: null, expected struct CompiledFellegiSunterPlan"),
]


@pytest.mark.parametrize("params,message", GARBAGE_PARAMS)
def test_garbage_trained_params_are_refused(native, params, message):
    got = value_error(incremental_with_params, native, params)
    assert got.startswith("Invalid trained_fs_params: " + message), got


def repeated_fields(count: int, **field) -> str:
    one = json.loads(trained(**field))
    one["fields"] = one["fields"] * count
    return json.dumps(one)


def test_many_repeated_fields_with_bad_probabilities_are_refused(native):
    params = repeated_fields(100_000, m_probability=0, u_probability=0)
    got = value_error(incremental_with_params, native, params)
    assert got == "Invalid trained_fs_params: fields[0] (`email`): m_probability 0.0 is outside [0.0001, 0.9999]"


def test_repeated_field_names_are_kept_as_a_spec_may_repeat_them(native):
    # A spec may score one field twice; its trained parameters then name it twice, and must
    # read back. Many repeats are only a large plan, read and used in bounded time.
    params = repeated_fields(100_000)
    out = incremental_with_params(native, params)["trained_fs_params"]
    assert len(json.loads(out)["fields"]) == 100_000


@pytest.mark.parametrize("value", [0, 1.5, [], {}, b"{}", bytearray(b"{}")])
def test_trained_params_of_a_wrong_type_are_a_type_error(native, value):
    with pytest.raises(TypeError) as error:
        native.reconcile_incremental(FS_SPEC, RECORDS, "[]", "[]", value)
    assert "trained_fs_params_json" in str(error.value)
