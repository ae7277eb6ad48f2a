"""Entries as columns for the trip between the driver and the shards: embeddings travel as one float32 matrix
(half the bytes of pickled Python floats, read by VectorEntry straight from each row's buffer)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from sorvid_vector_db import VectorEntry


class EntryColumns(NamedTuple):
    ids: list[str]
    embeddings: npt.NDArray[np.float32]  # one row per id, C-contiguous
    metadata: list[str]
    created_at: list[str]

    @staticmethod
    def from_entries(entries: Sequence[VectorEntry]) -> EntryColumns:
        """Raises ValueError, before anything is sent anywhere, for embeddings of different lengths or empty ones."""
        if not entries:
            return EntryColumns([], np.empty((0, 0), np.float32), [], [])
        problem = "the embeddings of a batch must be non-empty and all of one length"
        try:
            embeddings = np.array([entry.embedding for entry in entries], dtype=np.float32)
        except ValueError:
            raise ValueError(problem) from None
        if embeddings.ndim != 2 or embeddings.shape[1] == 0:
            raise ValueError(problem)
        return EntryColumns(
            [entry.id for entry in entries],
            embeddings,
            [entry.metadata for entry in entries],
            [entry.created_at for entry in entries],
        )

    @property
    def dim(self) -> int | None:
        return int(self.embeddings.shape[1]) if self.ids else None

    def take(self, rows: Sequence[int]) -> EntryColumns:
        return EntryColumns(
            [self.ids[row] for row in rows],
            np.ascontiguousarray(self.embeddings[list(rows)]),
            [self.metadata[row] for row in rows],
            [self.created_at[row] for row in rows],
        )

    def to_entries(self) -> list[VectorEntry]:
        return [
            VectorEntry(entry_id, row, metadata, created_at)
            for entry_id, row, metadata, created_at in zip(
                self.ids, self.embeddings, self.metadata, self.created_at, strict=True
            )
        ]
