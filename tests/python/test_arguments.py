"""Argument binding at the module boundary: every function, every argument error."""

import sys

import pytest

from conftest import FUNCTIONS


class Text(str):
    """A str subclass: accepted like a str."""


class Outer:
    class Inner:
        """A type whose qualified name differs from its plain name."""


def outcome(call):
    """What a call that passed argument binding did: a result or a ValueError. A TypeError
    (argument error) propagates."""
    try:
        return ("ok", call())
    except ValueError as error:
        return ("ValueError", str(error))


MISSING = [
    # (function, positional args given, expected message)
    ("validate", (), "validate() missing 1 required positional argument: 'yaml_str'"),
    ("hash", (), "hash() missing 1 required positional argument: 'yaml_str'"),
    ("diff", (), "diff() missing 2 required positional arguments: 'yaml_a' and 'yaml_b'"),
    ("diff", ("a",), "diff() missing 1 required positional argument: 'yaml_b'"),
    ("reconcile_local", ("a",),
     "reconcile_local() missing 1 required positional argument: 'entities_json'"),
    ("reconcile_incremental", ("a", "b", "c", "d"),
     "reconcile_incremental() missing 1 required positional argument: 'trained_fs_params_json'"),
    ("reconcile_incremental", ("a", "b"),
     "reconcile_incremental() missing 3 required positional arguments: "
     "'existing_entities_json', 'existing_clusters_json', and 'trained_fs_params_json'"),
    ("reconcile_incremental", (),
     "reconcile_incremental() missing 5 required positional arguments: 'yaml_str', "
     "'new_entities_json', 'existing_entities_json', 'existing_clusters_json', and "
     "'trained_fs_params_json'"),
]


@pytest.mark.parametrize("name,args,message", MISSING)
def test_missing_arguments(native, name, args, message):
    with pytest.raises(TypeError) as info:
        getattr(native, name)(*args)
    assert str(info.value) == message


def test_missing_argument_between_keywords(native):
    with pytest.raises(TypeError) as info:
        native.reconcile_incremental(
            "a", existing_entities_json="c", trained_fs_params_json=None)
    assert str(info.value) == (
        "reconcile_incremental() missing 2 required positional arguments: "
        "'new_entities_json' and 'existing_clusters_json'")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_too_many_positional(native, name):
    count = len(FUNCTIONS[name])
    for extra in (1, 3):
        with pytest.raises(TypeError) as info:
            getattr(native, name)(*(["x"] * (count + extra)))
        assert str(info.value) == (
            f"{name}() takes {count} positional arguments but {count + extra} were given")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_unexpected_keyword(native, name):
    args = ["x"] * len(FUNCTIONS[name])
    with pytest.raises(TypeError) as info:
        getattr(native, name)(*args, yaml_text="x")
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'yaml_text'"


def test_unexpected_keyword_comes_before_missing_and_type(native):
    with pytest.raises(TypeError) as info:
        native.diff(1, bogus=2)
    assert str(info.value) == "diff() got an unexpected keyword argument 'bogus'"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_multiple_values(native, name):
    params = FUNCTIONS[name]
    args = ["x"] * len(params)
    with pytest.raises(TypeError) as info:
        getattr(native, name)(*args, **{params[0]: "y"})
    assert str(info.value) == f"{name}() got multiple values for argument '{params[0]}'"


def test_multiple_values_for_a_later_parameter(native):
    with pytest.raises(TypeError) as info:
        native.reconcile_local("a", "b", entities_json="c")
    assert str(info.value) == "reconcile_local() got multiple values for argument 'entities_json'"


WRONG_TYPES = [
    (b"a: 1", "bytes"),
    (bytearray(b"a: 1"), "bytearray"),
    (1, "int"),
    (1.5, "float"),
    (["a"], "list"),
    (Outer.Inner(), "Outer.Inner"),
]


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("value,type_name", WRONG_TYPES)
def test_wrong_type_names_the_first_bad_argument(native, name, value, type_name):
    params = FUNCTIONS[name]
    # Every argument is bad; the first in parameter order is reported.
    with pytest.raises(TypeError) as info:
        getattr(native, name)(*([value] * len(params)))
    assert str(info.value) == (
        f"argument '{params[0]}': '{type_name}' object is not an instance of 'str'")
    # Only the last argument is bad.
    if len(params) > 1:
        kwargs = {p: "x" for p in params}
        kwargs[params[-1]] = value
        with pytest.raises(TypeError) as info:
            getattr(native, name)(**kwargs)
        assert str(info.value) == (
            f"argument '{params[-1]}': '{type_name}' object is not an instance of 'str'")


def test_first_bad_argument_in_parameter_order_not_call_order(native):
    with pytest.raises(TypeError) as info:
        native.reconcile_local(entities_json=2, yaml_str=1.0)
    assert str(info.value) == "argument 'yaml_str': 'float' object is not an instance of 'str'"


def test_reconcile_local_int_entities(native):
    with pytest.raises(TypeError) as info:
        native.reconcile_local("a: 1", 5)
    assert str(info.value) == "argument 'entities_json': 'int' object is not an instance of 'str'"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_none_rejected_except_for_trained_params(native, name):
    params = FUNCTIONS[name]
    for index, param in enumerate(params):
        if param == "trained_fs_params_json":
            continue
        kwargs = {p: "x" for p in params}
        if "trained_fs_params_json" in kwargs:
            kwargs["trained_fs_params_json"] = None
        kwargs[param] = None
        with pytest.raises(TypeError) as info:
            getattr(native, name)(**kwargs)
        assert str(info.value) == f"argument '{param}': 'None' is not an instance of 'str'"


def test_trained_params_accepts_none_and_str(native):
    for trained in (None, "{}"):
        kind, _ = outcome(lambda: native.reconcile_incremental("x", "[]", "[]", "[]", trained))
        assert kind in ("ok", "ValueError")


def test_trained_params_rejects_other_types(native):
    with pytest.raises(TypeError) as info:
        native.reconcile_incremental("x", "[]", "[]", "[]", 0)
    assert str(info.value) == (
        "argument 'trained_fs_params_json': 'int' object is not an instance of 'str'")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_str_subclass_and_keywords_in_any_order_are_accepted(native, name):
    params = FUNCTIONS[name]
    function = getattr(native, name)
    kwargs = {p: Text("a: 1") for p in reversed(params)}
    if "trained_fs_params_json" in kwargs:
        kwargs["trained_fs_params_json"] = None
    # Binding succeeds: the body runs and either returns or raises ValueError.
    assert outcome(lambda: function(**kwargs)) == outcome(
        lambda: function(*[None if p == "trained_fs_params_json" else "a: 1" for p in params]))


def test_str_subclass_text_is_read(native):
    assert native.parse(Text("k: v")) == {"k": "v"}


def test_lone_surrogate_passes_the_host_error_through(native):
    with pytest.raises(UnicodeEncodeError):
        native.parse("a: \ud800")
    with pytest.raises(UnicodeEncodeError):
        native.diff("a: 1", "b: \udfff")


def test_argument_errors_leave_no_error_state(native):
    with pytest.raises(TypeError):
        native.validate(b"x")
    assert native.validate_schema("api_version: vintrel/v1\nidentity_version: '1'\n"
                                  "entity: {name: c}\n") == []


def test_diff_keywords_bind_by_name_not_position(native):
    old = "api_version: vintrel/v1\nidentity_version: '1'\nentity: {name: c}\n" \
          "sources: [{name: crm, adapter: csv}]\n"
    new = old.replace("'1'", "'2'").replace("}]", "}, {name: shop, adapter: csv}]")
    try:
        forward = native.diff(old, new)
    except ValueError as error:
        pytest.skip(str(error))
    assert native.diff(yaml_b=new, yaml_a=old) == forward
    assert native.diff(new, yaml_b=old) == native.diff(new, old) != forward
    assert forward["sources_added"] == ["shop"]


def test_calls_keep_the_reference_counts_of_their_arguments(native):
    # A leaked or a dropped reference on any path shows as a drift of these counts.
    text, bad_yaml, other = "a: [1, {b: x}]\n", "a: [1,", Outer.Inner()
    watched = {"text": text, "bad_yaml": bad_yaml, "other": other, "kw": "bogus"}
    calls = [
        lambda: native.parse(text),
        lambda: native.parse(bad_yaml),
        lambda: native.diff(text, other),
        lambda: native.diff(other, text),
        lambda: native.diff(text),
        lambda: native.diff(text, text, other),
        lambda: native.diff(text, yaml_a=other),
        lambda: native.validate(yaml_str=text, **{watched["kw"]: other}),
        lambda: native.reconcile_incremental(text, text, text, other, None),
        lambda: native.reconcile_incremental(bad_yaml, text, text, text, other),
        lambda: native.reconcile_incremental(bad_yaml, text, text, text, None),
    ]
    for index, call in enumerate(calls):
        before = {name: sys.getrefcount(value) for name, value in watched.items()}
        for _ in range(100):
            try:
                call()
            except (TypeError, ValueError):
                pass
        after = {name: sys.getrefcount(value) for name, value in watched.items()}
        assert after == before, index
