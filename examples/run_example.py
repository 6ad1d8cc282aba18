"""Validates and hashes the example identity spec and prints the results.

Usage: python3 examples/run_example.py [path/to/spec.yaml]
"""

import pathlib
import sys

from vintrel import _native

DEFAULT_SPEC = pathlib.Path(__file__).resolve().parent / "customer.yaml"


def show_messages(title: str, messages: list[str]) -> None:
    if not messages:
        print(f"  {title}: no problems")
        return
    print(f"  {title}: {len(messages)} problem(s)")
    for message in messages:
        print(f"    - {message}")


def main() -> int:
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_SPEC
    text = path.read_text(encoding="utf-8")

    try:
        spec = _native.parse(text)
    except ValueError as error:
        print(f"{path}: not a readable YAML document: {error}")
        return 1

    print(f"Spec: {path}")
    if isinstance(spec, dict):
        entity = spec.get("entity")
        entity_name = entity.get("name") if isinstance(entity, dict) else None
        sources = spec.get("sources") or []
        rules = spec.get("rules") or []
        print(f"  api_version:      {spec.get('api_version')}")
        print(f"  identity_version: {spec.get('identity_version')}")
        print(f"  entity:           {entity_name}")
        print(f"  sources:          {len(sources)}")
        print(f"  rules:            {len(rules)}")

    print("Validation:")
    show_messages("schema", _native.validate_schema(text))
    show_messages("semantics", _native.validate_semantics(text))
    problems = _native.validate(text)
    print(f"  result: {'valid' if not problems else 'INVALID'}")

    print(f"Hash: {_native.hash(text)}")
    return 0 if not problems else 2


if __name__ == "__main__":
    sys.exit(main())
