from collections.abc import Iterator

import pytest
from langchain_core.embeddings import DeterministicFakeEmbedding
from langchain_sorvid import SorvidVectorStore

DIM = 16


@pytest.fixture
def paths(tmp_path) -> tuple[str, str]:
    return str(tmp_path / "s.snap"), str(tmp_path / "s.wal")


@pytest.fixture
def vs(paths) -> Iterator[SorvidVectorStore]:
    with SorvidVectorStore(DeterministicFakeEmbedding(size=DIM), *paths) as store:
        yield store
