"""Exclusive advisory flocks on lock files. The kernel drops a flock when its holder's process ends, however it
ends, so a killed holder never leaves a directory or a shard locked."""

import fcntl
import os
import time
from pathlib import Path

from sorvid_ray._errors import DirectoryLockedError

_POLL_SECONDS = 0.05


def lock_file(path: Path, timeout: float = 0.0) -> int:
    """Takes an exclusive flock on `path` (created if missing) and returns the descriptor that holds it, waiting up
    to `timeout` seconds for the holder to let go; raises DirectoryLockedError if it does not."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    deadline = time.monotonic() + timeout
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return fd
        except BlockingIOError:
            if time.monotonic() >= deadline:
                os.close(fd)
                raise DirectoryLockedError(f"{path} is locked by another process or store") from None
            time.sleep(_POLL_SECONDS)
        except BaseException:
            os.close(fd)
            raise


def unlock_file(fd: int) -> None:
    """Closing the descriptor drops the flock."""
    os.close(fd)
