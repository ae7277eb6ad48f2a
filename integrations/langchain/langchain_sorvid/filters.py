"""Filters on document metadata: a dict of conditions or any predicate over the metadata dict."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

Predicate = Callable[[dict[str, Any]], bool]
MetadataFilter = Mapping[str, Any] | Predicate

_IN = "$in"


def compile_filter(spec: MetadataFilter) -> Predicate:
    """Turn `{"k": v, "k2": {"$in": [a, b]}}` into a predicate; all conditions must hold, a missing key fails.

    A value that is a dict whose keys all start with "$" is an operator; "$in" is the only one. Any other value,
    dicts without operators included, must equal the stored value.
    """
    if callable(spec):
        return spec
    if not isinstance(spec, Mapping):
        raise TypeError(f"filter must be a dict or a callable, got {type(spec).__name__}")
    conditions = [(key, _condition(key, value)) for key, value in spec.items()]

    def matches(metadata: dict[str, Any]) -> bool:
        return all(key in metadata and test(metadata[key]) for key, test in conditions)

    return matches


def _condition(key: str, value: Any) -> Callable[[Any], bool]:
    if isinstance(value, Mapping) and value and all(isinstance(op, str) and op.startswith("$") for op in value):
        if set(value) != {_IN}:
            raise ValueError(f"filter on {key!r}: only {_IN!r} is supported, got {sorted(value)}")
        choices = value[_IN]
        if isinstance(choices, str | bytes) or not hasattr(choices, "__iter__"):
            raise ValueError(f"filter on {key!r}: {_IN!r} takes a list of values")
        choices = list(choices)
        return lambda stored: stored in choices
    return lambda stored: stored == value
