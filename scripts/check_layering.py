#!/usr/bin/env python3
"""Checks that every #include line keeps to the dependency graph of the libraries:

    osmira_base   <- osmira_common <- osmira_core
    osmira_base   <- vintrel_core (tooling)
    osmira_core, vintrel_core <- vintrel_bridge <- the _native module

A file may include headers of its own library and of the libraries below it, and only the
module includes Python.h (the bridge is plain C++). Third-party headers are allowed where their
library is linked: libyaml and OpenSSL inside osmira_base only, ICU inside osmira_base and
osmira_core, TBB and Boost from osmira_core up. Test programs under tests/cpp/<area>/ keep to the library they test; the
benchmark programs link the bridge.

    python3 scripts/check_layering.py            # the repository this script is in
    python3 scripts/check_layering.py --root DIR # another tree of the same layout

Prints one line per offending include and exits 1 when there is any, else prints a summary
and exits 0.
"""

import argparse
import pathlib
import re
import sys

# Where each library's files are (longest prefix first) and which libraries each may include.
AREAS = [
    ("src/python/bridge/", "bridge"),
    ("src/python/", "module"),
    ("src/base/", "base"),
    ("src/common/", "common"),
    ("src/core/", "core"),
    ("src/tooling/", "tooling"),
    ("tests/cpp/base/", "base"),
    ("tests/cpp/common/", "common"),
    ("tests/cpp/engine/", "core"),
    ("tests/cpp/tooling/", "tooling"),
    ("tests/cpp/bridge/", "bridge"),
    ("bench/", "bridge"),
]
MAY_INCLUDE = {
    "base": {"base"},
    "common": {"base", "common"},
    "core": {"base", "common", "core"},
    "tooling": {"base", "tooling"},
    "bridge": {"base", "common", "core", "tooling", "bridge"},
    "module": {"base", "common", "core", "tooling", "bridge", "module"},
}
LIBRARY_NAMES = {
    "base": "osmira_base", "common": "osmira_common", "core": "osmira_core",
    "tooling": "vintrel_core", "bridge": "vintrel_bridge", "module": "the _native module",
}
# Third-party headers (by their first path piece) and the libraries that may include them.
THIRD_PARTY = {
    "Python.h": {"module"},
    "internal": {"module"},  # the interpreter's own headers
    "yaml.h": {"base"},
    "unicode": {"base", "core"},
    "openssl": {"base"},
    "tbb": {"core", "bridge", "module"},
    "boost": {"core", "bridge", "module"},
}

INCLUDE_RE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCE_SUFFIXES = {".h", ".hpp", ".cc", ".cpp"}


def area_of(relative: str) -> str | None:
    for prefix, area in AREAS:
        if relative.startswith(prefix):
            return area
    return None


def library_of_header(path: str) -> str | None:
    """The library a project header ("core/engine/x.h") belongs to, or None for others."""
    if path.startswith("python/bridge/"):
        return "bridge"
    first = path.split("/", 1)[0]
    if "/" not in path:
        return None
    return {"base": "base", "common": "common", "core": "core", "tooling": "tooling",
            "python": "module"}.get(first)


def check_file(root: pathlib.Path, file: pathlib.Path) -> list[str]:
    relative = file.relative_to(root).as_posix()
    area = area_of(relative)
    if area is None:
        return []
    problems = []
    text = file.read_text(encoding="utf-8", errors="replace")
    for number, line in enumerate(text.splitlines(), start=1):
        m = INCLUDE_RE.match(line)
        if not m:
            continue
        bracket, path = m.groups()
        where = f"{relative}:{number}"
        if bracket == '"' and (file.parent / path).exists():
            continue  # a file beside the includer (a test's own support header)
        library = library_of_header(path)
        if bracket == '"' and library is not None:
            if library not in MAY_INCLUDE[area]:
                problems.append(f"{where}: {LIBRARY_NAMES[area]} may not include {path} "
                                f"(a header of {LIBRARY_NAMES[library]})")
            continue
        if bracket == '"':
            problems.append(f"{where}: {path} is no header of a library")
            continue
        allowed = THIRD_PARTY.get(path) or THIRD_PARTY.get(path.split("/", 1)[0])
        if allowed is not None and area not in allowed:
            problems.append(f"{where}: {LIBRARY_NAMES[area]} may not include <{path}>")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=str(pathlib.Path(__file__).resolve().parents[1]),
                        help="the repository to check")
    args = parser.parse_args()
    root = pathlib.Path(args.root).resolve()
    files = sorted(p for d in ("src", "tests/cpp", "bench") for p in (root / d).rglob("*")
                   if p.suffix in SOURCE_SUFFIXES and p.is_file())
    problems = [problem for file in files for problem in check_file(root, file)]
    for problem in problems:
        print(problem)
    if problems:
        print(f"layering: {len(problems)} include lines cross the dependency graph")
        return 1
    print(f"layering: {len(files)} files keep to the dependency graph")
    return 0


if __name__ == "__main__":
    sys.exit(main())
