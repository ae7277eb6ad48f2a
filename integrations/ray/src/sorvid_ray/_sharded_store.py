"""ShardedVectorStore: a directory of VectorStore shards, one Ray actor each, driven from one handle.

Writes go to the shards that own their ids (split per shard and sent in parallel), reads of one id to its owner,
searches and the other whole-store calls to every shard. The handle holds an exclusive flock on the directory's
LOCK file for its lifetime, so a second handle on the same directory, in this process or another, is refused.
"""

from __future__ import annotations

import contextlib
import math
import operator
import threading
import weakref
from collections import defaultdict
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Self, SupportsIndex, TypedDict, Unpack

import numpy as np
import ray

from sorvid_ray._columns import EntryColumns
from sorvid_ray._errors import UnacknowledgedWriteError
from sorvid_ray._layout import DIRECTORY_LOCK_NAME, has_shard_files, make_shard_logs
from sorvid_ray._locks import lock_file, unlock_file
from sorvid_ray._manifest import Manifest, read_manifest, write_manifest
from sorvid_ray._merge import Hits, merge_hits, merge_ids
from sorvid_ray._routing import shard_of
from sorvid_ray._shard_actor import ShardActor
from sorvid_vector_db import VectorEntry

_RemoteShard = ray.remote(ShardActor)


@dataclass(frozen=True)
class ShardOptions:
    """How the shards' actors run: `num_cpus` each (their worker pools get that many threads, at least one),
    restarted up to `max_restarts` times and their cut-short calls retried up to `max_task_retries` times (-1: no
    limit), syncing every write before acknowledging it if `sync_writes`, and waiting up to `lock_timeout` seconds
    for a dying predecessor's shard lock. A store whose actors have not all started within `start_timeout` seconds
    (None: no limit) gives up with TimeoutError: actors the cluster has no CPUs for would otherwise wait forever."""

    num_cpus: float = 1.0
    max_restarts: int = -1
    max_task_retries: int = -1
    sync_writes: bool = False
    lock_timeout: float = 60.0
    start_timeout: float | None = 300.0

    def start(self, directory: Path, index: int) -> Any:
        threads = max(1, math.floor(self.num_cpus))
        return _RemoteShard.options(
            num_cpus=self.num_cpus,
            max_restarts=self.max_restarts,
            max_task_retries=self.max_task_retries,
            runtime_env={"env_vars": {"RAYON_NUM_THREADS": str(threads)}},
        ).remote(str(directory), index, self.sync_writes, self.lock_timeout)


class ShardOptionsArgs(TypedDict, total=False):
    """ShardOptions' fields as keyword arguments of create, open and reshard."""

    num_cpus: float
    max_restarts: int
    max_task_retries: int
    sync_writes: bool
    lock_timeout: float
    start_timeout: float | None


class ShardedVectorStore:
    """Made by `create` or `open`; `close()` (or leaving a `with` block) stops the actors and frees the directory.

    A write returns once every shard it touched has appended it to its log; a failure raises
    UnacknowledgedWriteError naming the ids whose shards did not.
    """

    def __init__(self, directory: Path, manifest: Manifest, lock_fd: int, options: ShardOptions, published: bool):
        """Internal: use create, open or reshard. Takes over `lock_fd` (the directory's lock) in every case."""
        self._directory = directory
        self._manifest = manifest
        self._published = published  # False while reshard fills a directory that has no manifest yet
        self._unlock = weakref.finalize(self, unlock_file, lock_fd)
        self._first_write = threading.Lock()
        self._actors: list[Any] = []
        try:
            self._actors = [options.start(directory, index) for index in range(manifest.num_shards)]
            # Every shard has its lock and its files once it answers.
            dims = ray.get([actor.dim.remote() for actor in self._actors], timeout=options.start_timeout)
        except ray.exceptions.GetTimeoutError:
            self._stop(graceful=False)
            need = options.num_cpus * manifest.num_shards
            raise TimeoutError(
                f"{manifest.num_shards} shard actors did not start within {options.start_timeout} s: "
                f"does the cluster have {need:g} CPUs free for them?"
            ) from None
        except ray.exceptions.RayActorError as err:
            self._stop(graceful=False)
            # An __init__ that raised (a shard lock still held, unreadable files) ends the actor for good: raise
            # its own error rather than Ray's wrapping.
            cause = getattr(err.args[0] if err.args else None, "cause", None)
            if isinstance(cause, Exception):
                raise cause from err
            raise
        except BaseException:
            self._stop(graceful=False)
            raise
        self._dim = manifest.dim if manifest.dim is not None else next((d for d in dims if d is not None), None)

    @classmethod
    def create(cls, directory: str | Path, num_shards: int, **options: Unpack[ShardOptionsArgs]) -> Self:
        """A new sharded store in `directory` (made if missing), which must hold no manifest and no shard files.
        `options` are those of ShardOptions."""
        return cls._start(Path(directory), Manifest(num_shards), ShardOptions(**options), publish=True)

    @classmethod
    def open(cls, directory: str | Path, **options: Unpack[ShardOptionsArgs]) -> Self:
        """The sharded store in `directory`, with every entry it held. `options` are those of ShardOptions."""
        directory = Path(directory)
        lock_fd = lock_file(directory / DIRECTORY_LOCK_NAME)
        try:
            manifest = read_manifest(directory)
            if manifest is None:
                raise FileNotFoundError(f"{directory} has no manifest: not a sharded store, or one never finished")
        except BaseException:
            unlock_file(lock_fd)
            raise
        return cls(directory, manifest, lock_fd, ShardOptions(**options), published=True)

    @classmethod
    def _start(cls, directory: Path, manifest: Manifest, options: ShardOptions, publish: bool) -> Self:
        """A store on a new layout; its manifest is written now if `publish`, else by `_publish`."""
        if manifest.num_shards < 1:
            raise ValueError("a sharded store needs at least one shard")
        directory.mkdir(parents=True, exist_ok=True)
        lock_fd = lock_file(directory / DIRECTORY_LOCK_NAME)
        try:
            if read_manifest(directory) is not None or has_shard_files(directory):
                raise FileExistsError(f"{directory} already holds a sharded store or shard files")
            make_shard_logs(directory, manifest.num_shards)
            if publish:
                write_manifest(directory, manifest)
        except BaseException:
            unlock_file(lock_fd)
            raise
        return cls(directory, manifest, lock_fd, options, published=publish)

    def _publish(self) -> None:
        self._manifest = Manifest(self._manifest.num_shards, self._dim)
        write_manifest(self._directory, self._manifest)
        self._published = True

    # ----- writes -----

    def upsert(self, entry: VectorEntry) -> None:
        self.upsert_batch([entry])

    def upsert_batch(self, entries: Sequence[VectorEntry]) -> None:
        """Inserts or replaces the entries by id. Embeddings of another length than the store's are refused with
        ValueError before anything is sent; a shard's refusal (a NaN, say) fails only that shard's part."""
        self._write_columns(EntryColumns.from_entries(list(entries)))

    def delete(self, entry_id: str) -> None:
        """Deletes by id; an absent id is not an error."""
        self.delete_batch([entry_id])

    def delete_batch(self, ids: Iterable[str]) -> None:
        """Deletes every id; absent ones are not an error."""
        ids = list(ids)
        refs = {
            shard: (rows, self._shards[shard].delete.remote([ids[row] for row in rows]))
            for shard, rows in self._split(ids).items()
        }
        failure = self._wait(refs, ids)[1]
        if failure is not None:
            raise failure

    def _write_columns(self, columns: EntryColumns) -> None:
        if not columns.ids:
            return
        # Until the manifest holds the dimension, writes go one at a time, so that the first one fixes it.
        with self._first_write if self._manifest.dim is None else contextlib.nullcontext():
            self._check_dim(columns)
            refs = {
                shard: (rows, self._shards[shard].upsert.remote(columns.take(rows)))
                for shard, rows in self._split(columns.ids).items()
            }
            acknowledged, failure = self._wait(refs, columns.ids)
            if acknowledged and self._manifest.dim is None:
                self._record_dim(columns.dim)
        if failure is not None:
            raise failure

    def _check_dim(self, columns: EntryColumns) -> None:
        if self._dim is not None and columns.dim != self._dim:
            raise ValueError(f"embedding dimension {columns.dim} does not match the store's {self._dim}")

    def _record_dim(self, dim: int | None) -> None:
        self._dim = dim
        if self._published and dim is not None:
            self._manifest = self._manifest.with_dim(dim)
            write_manifest(self._directory, self._manifest)

    def _split(self, ids: Sequence[str]) -> dict[int, list[int]]:
        """The rows of `ids` each shard owns."""
        parts: defaultdict[int, list[int]] = defaultdict(list)
        for row, entry_id in enumerate(ids):
            parts[shard_of(entry_id, self._manifest.num_shards)].append(row)
        return parts

    @staticmethod
    def _wait(
        refs: dict[int, tuple[list[int], Any]], ids: Sequence[str]
    ) -> tuple[int, UnacknowledgedWriteError | None]:
        """Waits for every shard's answer; returns how many acknowledged and the error naming the rest's ids."""
        causes: dict[int, BaseException] = {}
        for shard, (_, ref) in refs.items():
            try:
                ray.get(ref)
            except Exception as err:
                causes[shard] = err
        if not causes:
            return len(refs), None
        failed_rows = sorted(row for shard in causes for row in refs[shard][0])
        return len(refs) - len(causes), UnacknowledgedWriteError([ids[row] for row in failed_rows], causes)

    # ----- reads -----

    def get(self, entry_id: str) -> VectorEntry | None:
        entry: VectorEntry | None = ray.get(self._owner(entry_id).get.remote(entry_id))
        return entry

    def search(self, query: Any, top_k: SupportsIndex = 10) -> Hits:
        """The min(top_k, 100) nearest entries of all shards, nearest first, ties by id."""
        vector = np.ascontiguousarray(query, dtype=np.float32)
        if vector.ndim != 1:
            raise ValueError("a query is one vector")
        k = self._check_query(vector.shape[0], top_k)
        return merge_hits(_get_all([actor.search.remote(vector, k) for actor in self._shards]), k)

    def search_batch(self, queries: Any, top_k: SupportsIndex = 10) -> list[Hits]:
        """For each row of `queries` (a 2-D array or a sequence of vectors), what `search` gives."""
        if len(queries) == 0:
            return []
        matrix = np.ascontiguousarray(queries, dtype=np.float32)
        if matrix.ndim != 2:
            raise ValueError("queries are a sequence of vectors of one length")
        k = self._check_query(matrix.shape[1], top_k)
        shared = ray.put(matrix)  # stored once, read by every shard
        per_shard = _get_all([actor.search_batch.remote(shared, k) for actor in self._shards])
        return [merge_hits(hits, k) for hits in zip(*per_shard, strict=True)]

    def _check_query(self, dim: int, top_k: SupportsIndex) -> int:
        """Refuses here what every non-empty shard would refuse, with the store's exception types."""
        k = operator.index(top_k)
        if k < 0:
            raise OverflowError("top_k must not be negative")
        if self._dim is not None and dim != self._dim:
            raise ValueError(f"Dimension mismatch: store is {self._dim}D, got {dim}D")
        return k

    def ids(self) -> list[str]:
        """Every live id, sorted by UTF-8 bytes."""
        return merge_ids(self._fan_out("ids"))

    def __len__(self) -> int:
        return sum(self._fan_out("len"))

    @property
    def len(self) -> int:
        return len(self)

    @property
    def dim(self) -> int | None:
        return self._dim

    @property
    def num_shards(self) -> int:
        return self._manifest.num_shards

    @property
    def directory(self) -> Path:
        return self._directory

    @property
    def actors(self) -> tuple[Any, ...]:
        """The shards' actor handles, by shard index (for monitoring and fault drills)."""
        return tuple(self._shards)

    def sync(self) -> None:
        """Makes every acknowledged write of every shard survive a power cut."""
        self._fan_out("sync")

    def compact(self) -> None:
        self._fan_out("compact")

    @property
    def _shards(self) -> list[Any]:
        if not self._actors:
            raise RuntimeError("this ShardedVectorStore was closed")
        return self._actors

    def _fan_out(self, method: str) -> list[Any]:
        return _get_all([getattr(actor, method).remote() for actor in self._shards])

    def _owner(self, entry_id: str) -> Any:
        return self._shards[shard_of(entry_id, self._manifest.num_shards)]

    # ----- lifetime -----

    def close(self) -> None:
        """Closes every shard (dropping its store and its lock), stops the actors and frees the directory.
        Idempotent."""
        self._stop()

    def _stop(self, graceful: bool = True) -> None:
        """Stops the actors and frees the directory. Gracefully, each shard first drops its store and its lock;
        otherwise (actors that may never have started) the kernel drops the locks of the killed processes."""
        actors, self._actors = self._actors, []
        if graceful:
            closing = [actor.close.remote() for actor in actors]
            for ref in closing:
                with contextlib.suppress(Exception):  # a dead actor holds no lock: the kernel dropped it
                    ray.get(ref)
        for actor in actors:
            ray.kill(actor, no_restart=True)
        self._unlock()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _get_all(refs: list[Any]) -> list[Any]:
    """Every shard's answer, or the first error once all have answered (ray.get of a list would stop at the first
    error and leave the others to be logged as unhandled)."""
    results: list[Any] = []
    first_error: Exception | None = None
    for ref in refs:
        try:
            results.append(ray.get(ref))
        except Exception as err:
            first_error = first_error or err
    if first_error is not None:
        raise first_error
    return results
