#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target under tests/fuzz/corpus/<target>/ from the
example spec and records, the fixed fuzz specs and small inputs taken from the unit tests.
Regression inputs (files named crash-*) that were added by hand are left alone. Run it again
after changing the examples; the seeds are small so that a corpus replay stays fast."""

import json
import pathlib

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parents[1]
CORPUS = HERE / "corpus"

EXAMPLE_SPEC = (REPO / "examples" / "customer.yaml").read_text(encoding="utf-8")
RECORDS = json.loads((REPO / "examples" / "customers.json").read_text(encoding="utf-8"))
SPECS = {p.stem: p.read_text(encoding="utf-8") for p in sorted((HERE / "specs").glob("*.yaml"))}
SPECS = {"customer": EXAMPLE_SPEC, **SPECS}

YAML_SNIPPETS = {
    "anchors": "base: &b {a: 1, b: [x, y]}\nuse: *b\nmore: [*b, *b]\n",
    "laughs": "a: &a [x, x]\nb: &b [*a, *a]\nc: &c [*b, *b]\nd: [*c, *c]\n",
    "tags": "a: !!str 12\nb: !custom [1, 2]\nc: !!int '7'\n",
    "scalars": "t: true\nf: False\nn: ~\ni: -12\nx: 0x1F\no: 0o17\nf1: 1.5e3\ninf: .inf\nnan: .NaN\nbig: 18446744073709551616\n",
    "blocks": "lit: |\n  one\n  two\nfold: >-\n  a\n  b\nq: 'it''s'\nd: \"tab\\t\\u00e9\\U0001F600\"\n",
    "flow": "{a: [1, {b: [2, [3, {c: 4}]]}], d: {e: f}}\n",
    "complex_key": "? [a, b]\n: value\n",
    "multi_doc": "a: 1\n---\nb: 2\n...\n",
    "duplicate_keys": "a: 1\na: 2\n",
    "undefined_alias": "a: *nowhere\n",
    "bad_indent": "a:\n  b: 1\n c: 2\n",
    "empty": "",
}

ENTITY_SNIPPETS = {
    "escapes": '[{"id":"67e55044-10b1-426f-9247-bb680e5fe0c8","tenant_id":"00000000-0000-0000-0000-0000000000ff",'
               '"external_id":"a\\"b\\\\c\\u00e9\\ud83d\\ude00","entity_type":"t","data":{"x":[1,-2,3.5e-7,true,null,{}]},'
               '"source_name":"crm","valid_from":"2024-01-01T00:00:00Z","valid_to":null,"last_updated":"2024-02-29T23:59:60+01:00"}]',
    "lone_surrogate": '[{"id":"67e55044-10b1-426f-9247-bb680e5fe0c8","external_id":"\\ud800"}]',
    "numbers": '[{"data":{"a":18446744073709551615,"b":-9223372036854775808,"c":1e308,"d":-0,"e":1e-400}}]',
    "empty_array": "[]",
    "clusters": '[["67e55044-10b1-426f-9247-bb680e5fe0c8","not-a-uuid"],[],["00000000-0000-0000-0000-0000000000ff"]]',
    "nested": "[" * 40 + "]" * 40,
}

EXPRESSIONS = [
    "email * 0.5 + max(name, 0.2)",
    "min(a, b) / (c - 1)",
    "-(a + -b) * 2.5e-1",
    "max(min(a, 1), -1) - x / 0",
    "((((a))))",
    "1 + 2 * 3 - 4 / 5",
    "MIN(a, b)",
    "min(1, 2, 3)",
    "a + .",
    "(1 + 2",
    "- - a",
]

FS_PARAMS = (
    '{"fields":[{"name":"email","comparator":"exact","weight":1.0,"m_probability":0.920054184226867,'
    '"u_probability":0.11121791864578079,"w_agree":2.112941056471649,"w_disagree":-2.4085029752647853,'
    '"normalizer":null},{"name":"first_name","comparator":"jaro_winkler","weight":1.0,'
    '"m_probability":0.8477059278301471,"u_probability":0.43700000000000006,"w_agree":0.6626005973339412,'
    '"w_disagree":-1.3074662910587433,"normalizer":null}],"match_threshold":2.0,"possible_threshold":0.0,'
    '"non_match_threshold":-2.0,"merge_threshold":null,"max_composite":2.775541653805590,'
    '"min_composite":-3.7159692663235286,"em_training":{"max_iterations":20,"convergence_threshold":0.001,'
    '"estimate_u":null,"max_random_pairs":1000000,"prior_weight":0.7}}'
)
FS_PARAMS_VARIANTS = {
    "trained": FS_PARAMS,
    "array_form": '[[["phone",{"levenshtein":null},0.5,0.9,0.1,2.19,-2.19,"phone"]],1,0,-1,0.5,2.19,-2.19,'
                  '[10,0.01,"random_sampling",100,0.5]]',
    "minimal": '{"fields":[],"match_threshold":1,"possible_threshold":0,"non_match_threshold":-1,'
               '"max_composite":0,"min_composite":0}',
    "unknown_keys": '{"extra":{"a":[1,2,{"b":null}]},"fields":[{"name":"a","comparator":"cosine","weight":2,'
                    '"m_probability":1,"u_probability":0,"w_agree":1e308,"w_disagree":-1e308,"x":1}],'
                    '"match_threshold":1,"possible_threshold":0,"non_match_threshold":-1,"max_composite":0,'
                    '"min_composite":0,"em_training":null}',
}


def write(target: str, name: str, data) -> None:
    directory = CORPUS / target
    directory.mkdir(parents=True, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    (directory / name).write_bytes(data)


def compact(value) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def main() -> None:
    for name, text in {**SPECS, **YAML_SNIPPETS}.items():
        write("yaml_tree_fuzz", name, text)
    for name, text in SPECS.items():
        write("spec_reader_fuzz", name, text)
    # Typed-reading failures of several kinds, from the example spec.
    write("spec_reader_fuzz", "unknown_field", EXAMPLE_SPEC.replace("blocking:", "blockng:", 1))
    write("spec_reader_fuzz", "bad_variant", EXAMPLE_SPEC.replace("jaro_winkler", "jaro", 1))
    write("spec_reader_fuzz", "wrong_type", EXAMPLE_SPEC.replace("weight: 0.9", "weight: [0.9]", 1))
    write("spec_reader_fuzz", "nan_threshold", EXAMPLE_SPEC.replace("match: 0.85", "match: .nan", 1))

    few = compact(RECORDS[:4])
    write("entity_json_fuzz", "records", json.dumps(RECORDS[:3], indent=1))
    for name, text in ENTITY_SNIPPETS.items():
        write("entity_json_fuzz", name, text)

    for i, text in enumerate(EXPRESSIONS):
        write("expression_fuzz", f"expr{i:02d}", text)

    for name, text in FS_PARAMS_VARIANTS.items():
        write("trained_params_fuzz", name, text)

    # Reconcile: mode byte, spec byte, payload.
    spec_names = list(SPECS)
    for index, name in enumerate(spec_names):
        write("reconcile_fuzz", f"local_{name}", bytes([0, index]) + few.encode())
        write("reconcile_fuzz", f"incremental_{name}", bytes([1, index]) + compact(RECORDS[4:6]).encode())
        write("reconcile_fuzz", f"spec_{name}", bytes([2, index]) + SPECS[name].encode())
    write("reconcile_fuzz", "local_escapes", bytes([0, 1]) + ENTITY_SNIPPETS["escapes"].encode())
    write("reconcile_fuzz", "params_trained", bytes([3, 2]) + FS_PARAMS.encode())
    write("reconcile_fuzz", "params_array", bytes([3, 2]) + FS_PARAMS_VARIANTS["array_form"].encode())
    write("reconcile_fuzz", "params_empty", bytes([3, 0]))


if __name__ == "__main__":
    main()
