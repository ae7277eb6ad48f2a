"""Embedded, persistent vector store with approximate nearest-neighbour search."""

from collections.abc import Iterable, Sequence
from typing import SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer

__all__ = ["VectorEntry", "VectorStore", "__version__"]
__version__: str

@final
class VectorEntry:
    """One record: an id, a float32 embedding, and two opaque texts."""

    id: str
    embedding: list[float]
    metadata: str
    created_at: str

    def __new__(
        cls,
        id: str,
        embedding: Sequence[SupportsFloat | SupportsIndex],
        metadata: str = "",
        created_at: str = "",
    ) -> VectorEntry: ...
    def __len__(self) -> int: ...
    def __reduce__(self) -> tuple[type[VectorEntry], tuple[str, list[float], str, str]]: ...

@final
class VectorStore:
    """A store of VectorEntry records, made by `new` or `open`, never by calling the class.

    Only the thread that made a store may use it. Calls that read or write the files, wait for
    another process's lock on the log or build the index let other Python threads run meanwhile.
    """

    @staticmethod
    def new(snapshot_path: str = "store.snap", wal_path: str = "store.wal") -> VectorStore:
        """Create a fresh empty store (does not read any existing files)."""
    @staticmethod
    def open(snapshot_path: str = "store.snap", wal_path: str = "store.wal") -> VectorStore:
        """Open an existing store (loads snapshot + replays WAL), or create fresh."""
    def upsert(self, entry: VectorEntry) -> None:
        """Insert or replace an entry by ID. O(1) WAL append — no index rebuild."""
    def upsert_batch(self, entries: Sequence[VectorEntry]) -> None:
        """Batch upsert. Single buffered WAL write for the whole batch."""
    def delete(self, id: str) -> None:
        """Delete by ID. No-op (not an error) if the ID does not exist."""
    def get(self, id: str) -> VectorEntry | None:
        """Point lookup by ID. Returns None if not found."""
    def search(
        self, query: Sequence[SupportsFloat | SupportsIndex], top_k: SupportsIndex = 10
    ) -> list[tuple[VectorEntry, float]]:
        """Search top-k nearest neighbours."""
    def search_batch(
        self, queries: Buffer | Sequence[Sequence[SupportsFloat | SupportsIndex]], top_k: SupportsIndex = 10
    ) -> list[list[tuple[VectorEntry, float]]]:
        """Search the top-k nearest neighbours of every query at once."""
    def search_filtered(
        self, query: Sequence[SupportsFloat | SupportsIndex], allowed: Iterable[str], top_k: SupportsIndex = 10
    ) -> list[tuple[VectorEntry, float]]:
        """Search the top-k nearest neighbours among the entries whose ID is in `allowed`."""
    def ids(self) -> list[str]:
        """The IDs of the live entries, sorted by their UTF-8 bytes."""
    def sync(self) -> None:
        """Make every write so far durable against power loss."""
    def compact(self) -> None:
        """Merge WAL into snapshot, truncate WAL file, rebuild HNSW index once."""
    @property
    def len(self) -> int:
        """Number of live entries."""
    @property
    def dim(self) -> int | None:
        """Fixed embedding dimension, or None if the store is empty."""
    @property
    def wal_pending(self) -> int:
        """WAL ops not yet merged into the snapshot."""
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
