from collections.abc import Iterator
from pathlib import Path

import pytest
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode
from llama_index.vector_stores.sorvid import SorvidVectorStore


def text_node(node_id: str, embedding: list[float], metadata: dict, ref_doc_id: str | None = None) -> TextNode:
    relationships = {} if ref_doc_id is None else {NodeRelationship.SOURCE: RelatedNodeInfo(node_id=ref_doc_id)}
    return TextNode(
        id_=node_id, text=f"text of {node_id}", embedding=embedding, metadata=metadata, relationships=relationships
    )


def sample_nodes() -> list[TextNode]:
    """Four nodes: two of doc-a, one of doc-b, one without a ref doc; embeddings exact in float32."""
    return [
        text_node("a1", [1.0, 0.0, 0.0], {"author": "Stephen King", "year": 1977, "tags": ["x", "y"]}, "doc-a"),
        text_node("a2", [1.0, 0.5, 0.0], {"author": "Stephen King", "year": 1986, "tags": ["y"]}, "doc-a"),
        text_node("b1", [0.0, 1.0, 0.0], {"author": "Mark Twain", "year": 1884}, "doc-b"),
        text_node("c1", [0.0, 0.0, 1.0], {"director": "Stanley Kubrick", "year": 1968}),
    ]


@pytest.fixture
def paths(tmp_path: Path) -> tuple[str, str]:
    return str(tmp_path / "store.snap"), str(tmp_path / "store.wal")


@pytest.fixture
def vector_store(paths: tuple[str, str]) -> Iterator[SorvidVectorStore]:
    with SorvidVectorStore(*paths) as store:
        yield store


@pytest.fixture
def filled(vector_store: SorvidVectorStore) -> SorvidVectorStore:
    vector_store.add(sample_nodes())
    return vector_store
