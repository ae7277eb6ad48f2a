"""The errors a sharded store raises besides those of the store itself."""

from collections.abc import Mapping, Sequence

_IDS_SHOWN = 10


class DirectoryLockedError(RuntimeError):
    """Another ShardedVectorStore (in this process or another) holds the directory, or a shard's lock stayed held."""


class UnacknowledgedWriteError(Exception):
    """Some shards did not acknowledge their part of a write.

    `ids` are the ids sent to those shards, in the order of the call: each may or may not have been written.
    Every other id of the call was acknowledged and is durable. `causes` maps each failing shard to its error.
    """

    def __init__(self, ids: Sequence[str], causes: Mapping[int, BaseException]) -> None:
        self.ids = tuple(ids)
        self.causes = dict(causes)
        shown = ", ".join(repr(i) for i in self.ids[:_IDS_SHOWN])
        more = f" and {len(self.ids) - _IDS_SHOWN} more" if len(self.ids) > _IDS_SHOWN else ""
        reasons = "; ".join(f"shard {shard}: {_describe(err)}" for shard, err in sorted(self.causes.items()))
        super().__init__(f"{len(self.ids)} ids not acknowledged: {shown}{more} ({reasons})")


def _describe(err: BaseException) -> str:
    # A Ray task error carries the shard's own exception as `cause`; its text is the remote traceback.
    cause = getattr(err, "cause", None)
    shown = cause if isinstance(cause, BaseException) else err
    return f"{type(shown).__name__}: {shown}"
