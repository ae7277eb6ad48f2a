"""A sorvid_vector_db store sharded over Ray actors: writes routed by a stable hash of the id, searches fanned out
and merged, actors restarted on their files without losing an acknowledged write."""

from sorvid_ray._errors import DirectoryLockedError, UnacknowledgedWriteError
from sorvid_ray._reshard import reshard
from sorvid_ray._routing import ROUTING_VERSION, shard_of
from sorvid_ray._sharded_store import ShardedVectorStore, ShardOptions

__all__ = [
    "ROUTING_VERSION",
    "DirectoryLockedError",
    "ShardOptions",
    "ShardedVectorStore",
    "UnacknowledgedWriteError",
    "reshard",
    "shard_of",
]
