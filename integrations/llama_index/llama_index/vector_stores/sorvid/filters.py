"""LlamaIndex metadata filters evaluated against one node's metadata, nested filters included.

The operators mean what they mean in LlamaIndex's in-memory store: a missing or null key matches only NE and NIN
(and IS_EMPTY), and a comparison between values of kinds that do not compare (a string against a number) is no match.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Mapping
from typing import Any

from llama_index.core.vector_stores.types import FilterCondition, FilterOperator, MetadataFilter, MetadataFilters


def _text_match(value: Any, wanted: Any) -> bool:
    return isinstance(value, str) and isinstance(wanted, str) and wanted in value


def _text_match_insensitive(value: Any, wanted: Any) -> bool:
    return isinstance(value, str) and isinstance(wanted, str) and wanted.lower() in value.lower()


# Each takes (the node's value, the filter's value).
_COMPARISONS: dict[FilterOperator, Callable[[Any, Any], bool]] = {
    FilterOperator.EQ: operator.eq,
    FilterOperator.NE: operator.ne,
    FilterOperator.GT: operator.gt,
    FilterOperator.GTE: operator.ge,
    FilterOperator.LT: operator.lt,
    FilterOperator.LTE: operator.le,
    FilterOperator.IN: lambda value, wanted: value in wanted,
    FilterOperator.NIN: lambda value, wanted: value not in wanted,
    FilterOperator.CONTAINS: lambda value, wanted: wanted in value,
    FilterOperator.ANY: lambda value, wanted: any(item in value for item in wanted),
    FilterOperator.ALL: lambda value, wanted: all(item in value for item in wanted),
    FilterOperator.TEXT_MATCH: _text_match,
    FilterOperator.TEXT_MATCH_INSENSITIVE: _text_match_insensitive,
}

_MISSING_MATCHES = frozenset({FilterOperator.NE, FilterOperator.NIN})


def _matches_one(condition: MetadataFilter, metadata: Mapping[str, Any]) -> bool:
    value = metadata.get(condition.key)
    if condition.operator == FilterOperator.IS_EMPTY:
        return value is None or value == "" or value == []
    if value is None:
        return condition.operator in _MISSING_MATCHES
    compare = _COMPARISONS.get(condition.operator)
    if compare is None:
        raise ValueError(f"unsupported filter operator {condition.operator!r}")
    try:
        return bool(compare(value, condition.value))
    except TypeError:
        return False


def matches(filters: MetadataFilters, metadata: Mapping[str, Any]) -> bool:
    """Whether a node with this metadata passes `filters`; an empty list of filters passes every node."""
    if not filters.filters:
        return True
    results = (
        matches(item, metadata) if isinstance(item, MetadataFilters) else _matches_one(item, metadata)
        for item in filters.filters
    )
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.AND:
        return all(results)
    if condition == FilterCondition.OR:
        return any(results)
    if condition == FilterCondition.NOT:
        return not any(results)
    raise ValueError(f"unsupported filter condition {condition!r}")
