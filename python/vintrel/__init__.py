"""vintrel: identity resolution driven by a declarative YAML identity spec."""

from vintrel import _native

__all__ = ["_native"]
