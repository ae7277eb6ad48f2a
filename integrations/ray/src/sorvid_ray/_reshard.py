"""Copying a sharded store into a new layout with another shard count."""

from pathlib import Path
from typing import Unpack

import ray

from sorvid_ray._layout import has_shard_files
from sorvid_ray._manifest import Manifest, read_manifest
from sorvid_ray._sharded_store import ShardedVectorStore, ShardOptions, ShardOptionsArgs


def reshard(
    source_dir: str | Path,
    target_dir: str | Path,
    num_shards: int,
    *,
    batch_size: int = 1024,
    **options: Unpack[ShardOptionsArgs],
) -> None:
    """Copies every entry of the sharded store in `source_dir` into a new one of `num_shards` shards in `target_dir`.

    The source is opened (its directory lock keeps every other handle out meanwhile) and only read: each shard hands
    out its entries in pages of `batch_size`, by id order, and each page is written to the target's shards as one
    batch. The target's manifest is written last, once every shard has synced, so an interrupted reshard leaves a
    target that `open` refuses (remove it and start again) and a source as it was. Both layouts' actors run at once,
    each with `options` (those of ShardOptions): the cluster needs CPUs for both.
    """
    if batch_size < 1:
        raise ValueError("batch_size must be at least 1")
    shard_options = ShardOptions(**options)
    target_path = Path(target_dir)
    if target_path.is_dir() and (read_manifest(target_path) is not None or has_shard_files(target_path)):
        raise FileExistsError(f"{target_path} already holds a sharded store or shard files")  # before starting anything
    with (
        ShardedVectorStore.open(source_dir, **options) as source,
        ShardedVectorStore._start(target_path, Manifest(num_shards), shard_options, publish=False) as target,
    ):
        for actor in source.actors:
            pending = actor.page.remote(None, batch_size)
            while True:
                page = ray.get(pending)
                if not page.ids:
                    break
                pending = actor.page.remote(page.ids[-1], batch_size)  # read the next page while this one is written
                target._write_columns(page)
        target.sync()
        target._publish()
