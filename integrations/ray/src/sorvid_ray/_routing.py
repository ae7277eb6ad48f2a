"""Which shard owns an id: a hash of the id's UTF-8 bytes that every process and every Python computes alike.

Python's hash() of a str is salted per process, so it could never be used here. The rule is versioned in the
manifest: a directory written under one rule is never read under another.
"""

import hashlib

# Version 1: the first 8 bytes of the BLAKE2b-512 digest of the id's UTF-8 bytes, read as a big-endian unsigned
# integer, modulo the shard count.
ROUTING_VERSION = 1


def shard_of(entry_id: str, num_shards: int) -> int:
    """The index of the shard that owns `entry_id` among `num_shards` shards, under routing version 1."""
    digest = hashlib.blake2b(entry_id.encode("utf-8")).digest()
    return int.from_bytes(digest[:8], "big") % num_shards
