"""The standard LangChain vector store suite (langchain-tests), sync and async."""

from collections.abc import Iterator

import pytest
from langchain_sorvid import SorvidVectorStore
from langchain_tests.integration_tests.vectorstores import VectorStoreIntegrationTests


class TestSorvidVectorStoreStandard(VectorStoreIntegrationTests):
    @pytest.fixture
    def vectorstore(self, tmp_path) -> Iterator[SorvidVectorStore]:  # type: ignore[override]
        with SorvidVectorStore(self.get_embeddings(), str(tmp_path / "s.snap"), str(tmp_path / "s.wal")) as store:
            yield store
