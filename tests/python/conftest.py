import pytest

import sorvid_vector_db as svdb


@pytest.fixture
def paths(tmp_path):
    """Snapshot and log paths inside a fresh temporary directory."""
    return str(tmp_path / "store.snap"), str(tmp_path / "store.wal")


@pytest.fixture
def store(paths):
    return svdb.VectorStore.new(*paths)
