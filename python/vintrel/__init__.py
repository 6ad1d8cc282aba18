"""vintrel: identity resolution driven by a declarative YAML identity spec.

The work is done by the extension module ``vintrel._native``; its eleven functions take
text arguments (YAML and JSON) and return plain Python values::

    from vintrel import _native

    _native.validate(spec_text)   # [] when the spec is valid
    _native.hash(spec_text)       # "sha256:..."
"""

# The engine's log events reach `logging` (loggers "vintrel.engine" and "vintrel.compiler").
# It is imported here, with the package, so that no call ever imports it (and `threading`
# with it) on whatever thread first has something to report.
import logging  # noqa: F401

from vintrel import _native

__all__ = ["_native"]
