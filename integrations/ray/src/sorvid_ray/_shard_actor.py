"""One shard: a VectorStore on the shard's two files, served by one Ray actor.

The actor runs with Ray's default concurrency, so every call, __init__ included, runs on the one thread that made
the store, as the store requires. __init__ takes the shard's lock file first, waiting for a predecessor that is
still dying to let go (the kernel drops its flock when its process ends), then opens the files: a restarted actor
picks up every write its predecessor acknowledged. Every method is safe to run twice, so Ray may retry any call that
a death cut short.
"""

from __future__ import annotations

import bisect
import os
from pathlib import Path
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from sorvid_ray._columns import EntryColumns
from sorvid_ray._layout import shard_files
from sorvid_ray._locks import lock_file, unlock_file
from sorvid_vector_db import VectorEntry, VectorStore

Hits = list[tuple[VectorEntry, float]]


class ShardActor:
    def __init__(self, directory: str, index: int, sync_writes: bool, lock_timeout: float) -> None:
        files = shard_files(Path(directory), index)
        self._lock_fd: int | None = lock_file(files.lock, lock_timeout)
        if not files.wal.exists():
            unlock_file(self._lock_fd)
            raise FileNotFoundError(f"{files.wal} is missing: this shard's files are not here")
        self._store: VectorStore | None = VectorStore.open(str(files.snapshot), str(files.wal))
        self._sync_writes = sync_writes
        self._sorted_ids: list[str] | None = None  # the pages' view of ids(), dropped by every write

    @property
    def store(self) -> VectorStore:
        if self._store is None:
            raise RuntimeError("this shard was closed")
        return self._store

    def pid(self) -> int:
        return os.getpid()

    def pool_threads(self) -> str | None:
        return os.environ.get("RAYON_NUM_THREADS")

    def upsert(self, columns: EntryColumns) -> None:
        self._sorted_ids = None
        self.store.upsert_batch(columns.to_entries())
        self._acknowledge()

    def delete(self, ids: list[str]) -> None:
        self._sorted_ids = None
        for entry_id in ids:
            self.store.delete(entry_id)
        self._acknowledge()

    def _acknowledge(self) -> None:
        # The store has appended the log (a crash of this process keeps it); sync_writes adds power cuts.
        if self._sync_writes:
            self.store.sync()

    def get(self, entry_id: str) -> VectorEntry | None:
        return self.store.get(entry_id)

    def search(self, query: npt.NDArray[np.float32], top_k: int) -> Hits:
        return self.store.search(cast(Any, query), top_k)  # the store reads the array's buffer directly

    def search_batch(self, queries: npt.NDArray[np.float32], top_k: int) -> list[Hits]:
        return self.store.search_batch(cast(Any, queries), top_k)

    def ids(self) -> list[str]:
        return self.store.ids()

    def page(self, after: str | None, limit: int) -> EntryColumns:
        """Up to `limit` entries whose ids follow `after` in byte order (the first ones for None)."""
        if self._sorted_ids is None:
            self._sorted_ids = self.store.ids()
        # For valid str, code point order is UTF-8 byte order, so bisect on str finds the byte-order position.
        start = 0 if after is None else bisect.bisect_right(self._sorted_ids, after)
        entries = [self.store.get(entry_id) for entry_id in self._sorted_ids[start : start + limit]]
        return EntryColumns.from_entries([entry for entry in entries if entry is not None])

    def len(self) -> int:
        return len(self.store)

    def dim(self) -> int | None:
        return self.store.dim

    def sync(self) -> None:
        self.store.sync()

    def compact(self) -> None:
        self._sorted_ids = None
        self.store.compact()

    def close(self) -> None:
        """Drops the store on its own thread, then the shard's lock; a second close does nothing."""
        self._store = None
        if self._lock_fd is not None:
            unlock_file(self._lock_fd)
            self._lock_fd = None
