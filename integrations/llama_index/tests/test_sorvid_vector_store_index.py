"""VectorStoreIndex over the store, end to end: build, retrieve, persist, reopen the files, delete a document."""

from llama_index.core import Document, MockEmbedding, StorageContext, VectorStoreIndex
from llama_index.core.vector_stores.types import MetadataFilter, MetadataFilters
from llama_index.vector_stores.sorvid import SorvidVectorStore

EMBED = MockEmbedding(embed_dim=8)
DOCUMENTS = [
    Document(id_="apples", text="Apples grow on trees in orchards.", metadata={"topic": "fruit"}),
    Document(id_="rust", text="Rust is a systems programming language.", metadata={"topic": "code"}),
    Document(id_="pears", text="Pears ripen after they are picked.", metadata={"topic": "fruit"}),
]


def retrieved(index: VectorStoreIndex, **kwargs) -> dict[str, str]:
    nodes = index.as_retriever(similarity_top_k=10, **kwargs).retrieve("which fruit?")
    return {node.node.ref_doc_id: node.node.get_content() for node in nodes}


def test_index_survives_reopening_and_deletes_a_document_after(paths, tmp_path):
    with SorvidVectorStore(*paths) as vector_store:
        storage = StorageContext.from_defaults(vector_store=vector_store)
        index = VectorStoreIndex.from_documents(DOCUMENTS, storage_context=storage, embed_model=EMBED)
        assert retrieved(index) == {doc.doc_id: doc.text for doc in DOCUMENTS}
        fruit = MetadataFilters(filters=[MetadataFilter(key="topic", value="fruit")])
        assert set(retrieved(index, filters=fruit)) == {"apples", "pears"}
        storage.persist(persist_dir=str(tmp_path / "storage"))

    with SorvidVectorStore(*paths) as reopened:
        index = VectorStoreIndex.from_vector_store(reopened, embed_model=EMBED)
        index.delete_ref_doc("rust")
        assert set(retrieved(index)) == {"apples", "pears"}
        index.insert(Document(id_="plums", text="Plums are stone fruit.", metadata={"topic": "fruit"}))

    with SorvidVectorStore(*paths) as again:
        index = VectorStoreIndex.from_vector_store(again, embed_model=EMBED)
        assert set(retrieved(index)) == {"apples", "pears", "plums"}
