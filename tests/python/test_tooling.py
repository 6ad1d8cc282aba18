"""The tooling functions end to end: parse, hash and the three validation functions."""

import hashlib
import json

import pytest

from conftest import run_isolated, value_error_args

MINIMAL = "api_version: vintrel/v1\nidentity_version: '1'\nentity: {name: customer}\n"
MISSING_ALL = [
    "Missing required field: api_version",
    "Missing required field: identity_version",
    "Missing required field: entity",
]
TEXT_FUNCTIONS = ["parse", "hash", "validate", "validate_schema", "validate_semantics"]


# --- parse -------------------------------------------------------------------------------

PARSE_CASES = [
    ("hello", "hello"),
    ("- a\n- 1\n- [true, null]\n", ["a", 1, [True, None]]),
    ("42", 42),
    ("~", None),
    ("'007'", "007"),
    ("a: 01234\nb: 1234\nc: .nan\nd: -7\ne: 0.85\nf: 0x1f\n",
     {"a": "01234", "b": 1234, "c": None, "d": -7, "e": 0.85, "f": 31}),
    ("a: 1\na: 2\n", {"a": 2}),
    ("1: one\ntrue: yes\n", {"1": "one", "true": "yes"}),
    ("x: {}\ny: []\n", {"x": {}, "y": []}),
]


@pytest.mark.parametrize("text,expected", PARSE_CASES)
def test_parse_values(native, text, expected):
    result = native.parse(text)
    assert result == expected
    assert type(result) is type(expected)


def test_parse_keys_come_out_in_byte_order_at_every_level(native):
    result = native.parse("b: 1\na: {z: 1, y: [{d: 1, c: 2}]}\nB: 3\n\u00e9: 4\nZ: 5\n")
    assert list(result) == ["B", "Z", "a", "b", "\u00e9"]
    assert list(result["a"]) == ["y", "z"]
    assert list(result["a"]["y"][0]) == ["c", "d"]


BIG_INTS = [
    ("9223372036854775807", 9223372036854775807),
    ("9223372036854775808", 9223372036854775808),
    ("18446744073709551615", 18446744073709551615),
    ("-9223372036854775808", -9223372036854775808),
    ("-5", -5),
]


@pytest.mark.parametrize("text,expected", BIG_INTS)
def test_parse_integers_are_exact(native, text, expected):
    value = native.parse(f"n: {text}")["n"]
    assert type(value) is int
    assert value == expected


@pytest.mark.parametrize("text", ["18446744073709551616", "-9223372036854775809"])
def test_parse_integer_out_of_range(native, text):
    with pytest.raises(ValueError) as info:
        native.parse(f"n: {text}")
    assert "JSON number out of range" in str(info.value)


def test_parse_example_spec(native, example_spec):
    spec = native.parse(example_spec)
    assert spec["api_version"] == "vintrel/v1"
    assert [s["name"] for s in spec["sources"]] == ["crm", "webshop", "billing"]
    assert spec["decision"]["thresholds"] == {"match": 0.85, "reject": 0.3, "review": 0.65}


# --- failures ----------------------------------------------------------------------------

BAD_YAML = [
    ("", "EOF while parsing a value"),
    ("a: 1\n---\nb: 2\n",
     "deserializing from YAML containing more than one document is not supported"),
    ("a: [1, 2\n", None),
    ("a: b: c\n", None),
    ("{[a]: 1}\n", None),
    ("a: *missing\n", None),
]


@pytest.mark.parametrize("name", TEXT_FUNCTIONS)
@pytest.mark.parametrize("text,message", BAD_YAML)
def test_bad_yaml_raises_value_error_with_the_same_message(native, name, text, message):
    with pytest.raises(ValueError) as reference:
        native.parse(text)
    with pytest.raises(ValueError) as info:
        getattr(native, name)(text)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1 and isinstance(info.value.args[0], str)
    assert str(info.value) == str(reference.value)
    assert str(info.value)
    if message is not None:
        assert str(info.value) == message


def test_nesting_limit(native):
    assert native.parse("[" * 128 + "]" * 128) is not None
    with pytest.raises(ValueError) as info:
        native.parse("[" * 129 + "]" * 129)
    assert str(info.value).startswith("recursion limit exceeded")


def test_deepest_accepted_tree_converts_on_the_smallest_thread_stack():
    # The conversion to Python objects must not need stack in proportion to the nesting: a
    # thread with the smallest stack the host allows converts the deepest accepted document.
    result = run_isolated("""
        import threading
        from vintrel import _native
        threading.stack_size(32 * 1024)
        texts = ["[" * 128 + "]" * 128, "{a: " * 128 + "x" + "}" * 128]
        outcome = []

        def work():
            for text in texts:
                tree = _native.parse(text)
                depth = 0
                while tree not in ([], "x"):
                    tree = tree[0] if isinstance(tree, list) else tree["a"]
                    depth += 1
                outcome.append(depth)

        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        print(outcome)
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "[127, 128]"


@pytest.mark.parametrize("opening,closing", [("[", "]"), ("{a: ", "}"), ("- ", "")])
def test_very_deep_nesting_is_an_error_not_a_crash(opening, closing):
    # Run apart, so that a stack overflow would fail this test and not kill the run.
    result = run_isolated(f"""
        from vintrel import _native
        depth = 100_000
        text = {opening!r} * depth + "x" + {closing!r} * depth
        for function in (_native.parse, _native.hash, _native.validate):
            try:
                function(text)
                print("no error")
            except ValueError as error:
                print(str(error).split(" at ")[0][:40])
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == ["recursion limit exceeded"] * 3


def test_billion_laughs_is_refused():
    # Nine levels of nine aliases would expand to 9**9 nodes; the loader must refuse them
    # instead of building them. Run apart with a memory cap so that a failure cannot take
    # the machine's memory with it.
    result = run_isolated("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, resource.RLIM_INFINITY))
        from vintrel import _native
        lines = ['a: &a ["lol","lol","lol","lol","lol","lol","lol","lol","lol"]']
        for previous, name in zip("abcdefgh", "bcdefghi"):
            lines.append(f"{name}: &{name} [" + ",".join([f"*{previous}"] * 9) + "]")
        text = "\\n".join(lines) + "\\n"
        for function in (_native.parse, _native.hash, _native.validate):
            try:
                function(text)
                print("accepted")
            except ValueError as error:
                print("ValueError")
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == ["ValueError"] * 3


# --- hash --------------------------------------------------------------------------------

def compact_json_hash(tree) -> str:
    """Reference document hash for trees whose floats print the same in Python's JSON."""
    text = json.dumps(tree, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return "sha256:" + hashlib.sha256(text.encode("utf-8")).hexdigest()


def test_hash_form(native, example_spec):
    digest = native.hash(example_spec)
    assert len(digest) == 71 and digest.startswith("sha256:")
    assert all(c in "0123456789abcdef" for c in digest[7:])


@pytest.mark.parametrize("text", [
    "b: [1, 2.5, x, -3]\na: {c: true, d: null, e: 0.85}\n",
    "s: \"tab\\there \\u00e9 \\\"q\\\" back\\\\slash \\u0001 /\"\n",
    "- 1\n- 18446744073709551615\n- {}\n- []\n",
])
def test_hash_is_sha256_of_compact_sorted_json(native, text):
    assert native.hash(text) == compact_json_hash(native.parse(text))


EQUIVALENT_TEXTS = [
    "b: 1\na: [x, y]\nc: {e: 2, d: 3}\n",
    "a: [x, y]\nb: 1\nc: {d: 3, e: 2}\n",
    "{b: 1, a: [x, y], c: {e: 2, d: 3}}",
    "# leading comment\nc:   # trailing\n  d: 3\n  e: 2\na:\n  - x\n  - y\nb: 1   # one\n",
    "---\na: ['x', \"y\"]\nb: 1\nc: {d: 3, e: 2}\n...\n",
]


def test_hash_ignores_key_order_layout_and_comments(native):
    hashes = {native.hash(text) for text in EQUIVALENT_TEXTS}
    assert len(hashes) == 1


@pytest.mark.parametrize("left,right", [
    ("weight: 1", "weight: 1.0"),
    ("a: '1'", "a: 1"),
    ("a: true", "a: 'true'"),
    ("a: ~", "a: ''"),
    ("a: [1, 2]", "a: [2, 1]"),
])
def test_hash_sees_value_differences(native, left, right):
    assert native.hash(left) != native.hash(right)


def test_hash_of_empty_text_fails_like_parse(native):
    parse_args = value_error_args(native.parse, "")
    assert value_error_args(native.hash, "") == parse_args


# --- validation --------------------------------------------------------------------------

def test_valid_example_spec(native, example_spec):
    assert native.validate(example_spec) == []
    assert native.validate_schema(example_spec) == []
    assert native.validate_semantics(example_spec) == []


VALIDATION_CASES = [
    # (text, schema messages, semantic messages)
    ("hello", MISSING_ALL, []),
    ("- 1\n- 2\n", MISSING_ALL, []),
    (MINIMAL, [], []),
    ("api_version: release-2\nidentity_version: '1'\nentity: customer\n",
     ["Invalid api_version format: 'release-2'. Expected 'vintrel/v<N>'",
      "entity.name is required"], []),
    (MINIMAL + "rules:\n  - {name: r, type: exact, weight: 2, threshold: 1.0000001}\n  - 5\n",
     ["rules[0]: weight 2 must be between 0 and 1",
      "rules[0]: threshold 1.0000001 must be between 0 and 1",
      "rules[1]: missing required field 'name'",
      "rules[1]: missing required field 'type'"], []),
    (MINIMAL + "sources:\n  - {name: s, table: t}\n  - {adapter: csv, system: x}\n",
     ["sources[0]: missing required field 'system'",
      "sources[0]: missing required field 'id'",
      "sources[0]: missing required field 'attributes'",
      "sources[1]: missing required field 'name'"], []),
    (MINIMAL + "sources:\n  - {name: s, adapter: csv, attributes: {phone: p, email_address: e}}\n"
     "  - {name: s, adapter: csv}\n"
     "rules:\n  - {name: r, type: exact, field: email}\n  - {name: r, type: exact, field: fax}\n",
     [],
     ["Rule 'r' references unknown field 'email'. Did you mean 'email_address'?",
      "Rule 'r' references unknown field 'fax'.",
      "Duplicate rule name: 'r'",
      "Duplicate source name: 's'"]),
    (MINIMAL + "decision:\n  thresholds: {match: 0.5, review: 0.7, reject: 0.9}\n",
     [],
     ["Threshold error: 'match' should be >= 'review'",
      "Threshold error: 'review' should be >= 'reject'"]),
    (MINIMAL + "decision:\n  scoring:\n    fields:\n      - {name: email, m_probability: 0, "
     "u_probability: 1.2}\n",
     ["decision.scoring.fields[0]: FS field 'email' m_probability 0 would cause ln(0); "
      "use a value in (0, 1) exclusive, e.g. 0.0001 or 0.9999",
      "decision.scoring.fields[0]: FS field 'email' u_probability 1.2 is outside valid range "
      "[0, 1]"], []),
]


@pytest.mark.parametrize("text,schema,semantics", VALIDATION_CASES)
def test_validation_messages(native, text, schema, semantics):
    assert native.validate_schema(text) == schema
    assert native.validate_semantics(text) == semantics
    assert native.validate(text) == schema + semantics


# A NaN (or an infinity) fails each range check as an out-of-range number does, in the same
# words, through all four validation functions; the example spec otherwise validates clean.
NON_FINITE_CASES = [
    # (text replaced in the example spec, its replacement, schema messages, semantic messages)
    ("weight: 0.9", "weight: .nan", ["rules[0]: weight NaN must be between 0 and 1"], []),
    ("weight: 0.9", "weight: .inf", ["rules[0]: weight inf must be between 0 and 1"], []),
    ("weight: 0.9", "weight: 1.5", ["rules[0]: weight 1.5 must be between 0 and 1"], []),
    ("match: 0.85", "match: .nan", [], ["Threshold error: 'match' should be >= 'review'"]),
    ("match: 0.85", "match: 0.6", [], ["Threshold error: 'match' should be >= 'review'"]),
    ("review: 0.65", "review: .NaN", [], ["Threshold error: 'match' should be >= 'review'",
                                          "Threshold error: 'review' should be >= 'reject'"]),
    ("reject: 0.3", "reject: .nan", [], ["Threshold error: 'review' should be >= 'reject'"]),
    ("reject: 0.3", "reject: -.inf", [], []),
]


@pytest.mark.parametrize("old,new,schema,semantics", NON_FINITE_CASES)
def test_non_finite_numbers_fail_range_checks(native, example_spec, old, new, schema, semantics):
    text = example_spec.replace(old, new, 1)
    assert text != example_spec
    assert native.validate_schema(text) == schema
    assert native.validate_semantics(text) == semantics
    assert native.validate(text) == schema + semantics
    assert native.validate_strict(text) == schema + semantics  # the spec itself reads
    if "nan" in new.lower() or "inf" in new:  # parse still shows a non-finite value as None
        assert native.parse(text) == native.parse(text.replace(new, new.split(":")[0] + ": ~", 1))


@pytest.mark.parametrize("value,message", [
    (".nan", "m_probability NaN is outside valid range [0, 1]"),
    ("-.inf", "m_probability -inf is outside valid range [0, 1]"),
    ("-0.5", "m_probability -0.5 is outside valid range [0, 1]"),
])
def test_non_finite_probability_fails_like_an_out_of_range_one(native, value, message):
    text = MINIMAL + f"decision:\n  scoring:\n    fields:\n      - {{name: email, m_probability: {value}}}\n"
    assert native.validate_schema(text) == ["decision.scoring.fields[0]: FS field 'email' " + message]


def test_validation_collects_problems_of_a_broken_example(native, example_spec):
    broken = example_spec.replace("api_version: vintrel/v1", "api_version: v1").replace(
        "field: email\n    weight: 0.9", "field: e_mail\n    weight: 1.9")
    messages = native.validate(broken)
    assert messages == [
        "Invalid api_version format: 'v1'. Expected 'vintrel/v<N>'",
        "rules[0]: weight 1.9 must be between 0 and 1",
        "Rule 'email_exact' references unknown field 'e_mail'.",
    ]
