"""The files of a sharded directory: the manifest, the driver's lock, and per shard a snapshot, a log and a lock."""

from pathlib import Path
from typing import NamedTuple

MANIFEST_NAME = "MANIFEST.json"
DIRECTORY_LOCK_NAME = "LOCK"
SHARD_PREFIX = "shard-"


class ShardFiles(NamedTuple):
    snapshot: Path
    wal: Path
    lock: Path


def shard_files(directory: Path, index: int) -> ShardFiles:
    stem = f"{SHARD_PREFIX}{index:05d}"
    return ShardFiles(directory / f"{stem}.snap", directory / f"{stem}.wal", directory / f"{stem}.lock")


def has_shard_files(directory: Path) -> bool:
    return any(path.name.startswith(SHARD_PREFIX) for path in directory.iterdir())
