"""The manifest: the shard count, the dimension once known and the routing rule's version, replaced atomically."""

from __future__ import annotations

import json
import os
import tempfile
from dataclasses import dataclass, replace
from pathlib import Path

from sorvid_ray._layout import MANIFEST_NAME
from sorvid_ray._routing import ROUTING_VERSION

_FORMAT = "sorvid-ray-manifest"
_FORMAT_VERSION = 1


@dataclass(frozen=True)
class Manifest:
    num_shards: int
    dim: int | None = None
    routing_version: int = ROUTING_VERSION

    def with_dim(self, dim: int) -> Manifest:
        return replace(self, dim=dim)


def read_manifest(directory: Path) -> Manifest | None:
    """The manifest of `directory`, or None when it has none. Refuses what this version cannot route."""
    try:
        text = (directory / MANIFEST_NAME).read_text(encoding="utf-8")
    except FileNotFoundError:
        return None
    data = json.loads(text)
    if data.get("format") != _FORMAT or data.get("format_version") != _FORMAT_VERSION:
        raise ValueError(f"{directory / MANIFEST_NAME} is not a manifest this version reads")
    manifest = Manifest(int(data["num_shards"]), data["dim"], int(data["routing_version"]))
    if manifest.routing_version != ROUTING_VERSION:
        raise ValueError(
            f"{directory} routes ids by rule version {manifest.routing_version}; this version knows only {ROUTING_VERSION}"
        )
    if manifest.num_shards < 1:
        raise ValueError(f"{directory / MANIFEST_NAME} names {manifest.num_shards} shards")
    return manifest


def write_manifest(directory: Path, manifest: Manifest) -> None:
    """Replaces the manifest so that a crash leaves the old one or the new one, never a mix: a temporary file is
    written and fsynced, renamed over the manifest, and the directory fsynced so that the rename itself lasts."""
    data = {
        "format": _FORMAT,
        "format_version": _FORMAT_VERSION,
        "num_shards": manifest.num_shards,
        "dim": manifest.dim,
        "routing_version": manifest.routing_version,
    }
    fd, temp = tempfile.mkstemp(prefix=f".{MANIFEST_NAME}.", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as file:
            json.dump(data, file, indent=2)
            file.write("\n")
            file.flush()
            os.fsync(file.fileno())
        os.replace(temp, directory / MANIFEST_NAME)
    except BaseException:
        Path(temp).unlink(missing_ok=True)
        raise
    dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)
