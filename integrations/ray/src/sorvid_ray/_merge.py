"""Merging the shards' answers into the answer one store holding every entry would give."""

import heapq
import itertools
from collections.abc import Iterable

from sorvid_vector_db import VectorEntry

# What one store's search returns at most, whatever top_k asks.
MAX_HITS = 100

Hits = list[tuple[VectorEntry, float]]


def merge_hits(per_shard: Iterable[Hits], top_k: int) -> Hits:
    """The nearest min(top_k, 100) hits of all shards, by distance, ties broken by id (code point order, which is
    the UTF-8 byte order). Each shard returned its own nearest min(top_k, 100), so none of the merged ones is missing."""
    limit = max(0, min(top_k, MAX_HITS))
    return heapq.nsmallest(limit, itertools.chain.from_iterable(per_shard), key=lambda hit: (hit[1], hit[0].id))


def merge_ids(per_shard: Iterable[list[str]]) -> list[str]:
    """The shards' ids, each list already sorted by UTF-8 bytes, merged into one such list."""
    return list(heapq.merge(*per_shard))
