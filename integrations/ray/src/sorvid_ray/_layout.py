"""The files of a sharded directory: the manifest, the driver's lock, and per shard a snapshot, a log and a lock."""

import os
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


def make_shard_logs(directory: Path, num_shards: int) -> None:
    """Creates every shard's log, empty, and makes the names durable. A shard's log exists from the moment its
    layout is made, so an actor that finds none is not looking at this store's files (a node without them, a
    directory moved away) and refuses to start, rather than serve an empty shard and write new files."""
    for index in range(num_shards):
        with open(shard_files(directory, index).wal, "xb"):
            pass
    descriptor = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
