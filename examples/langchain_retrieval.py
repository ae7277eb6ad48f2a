"""Retrieval with LangChain over a sorvid_vector_db store, offline: a deterministic fake embedding stands in for a model.

Run: python examples/langchain_retrieval.py
"""

import tempfile
from pathlib import Path

from langchain_core.documents import Document
from langchain_core.embeddings import DeterministicFakeEmbedding
from langchain_sorvid import SorvidVectorStore

DOCUMENTS = [
    Document("The heron waits in the shallows for fish.", metadata={"topic": "birds", "year": 2021}, id="heron"),
    Document("Swifts sleep on the wing for months.", metadata={"topic": "birds", "year": 2023}, id="swift"),
    Document("Octopuses taste with their arms.", metadata={"topic": "sea", "year": 2022}, id="octopus"),
    Document("Octopuses taste with their arms.", metadata={"topic": "sea", "year": 2024}, id="octopus-copy"),
    Document("Tardigrades survive being dried out.", metadata={"topic": "tiny", "year": 2020}, id="tardigrade"),
    Document("Coral reefs are built by colonies of polyps.", metadata={"topic": "sea", "year": 2019}, id="coral"),
]


def show(title: str, documents: list[Document]) -> None:
    print(title)
    for document in documents:
        print(f"  {document.id:13} {document.metadata}  {document.page_content}")


def main() -> None:
    embedding = DeterministicFakeEmbedding(size=32)  # the same text always gives the same vector
    with tempfile.TemporaryDirectory() as folder:
        paths = str(Path(folder) / "docs.snap"), str(Path(folder) / "docs.wal")
        with SorvidVectorStore(embedding, *paths) as store:
            store.add_documents(DOCUMENTS)
            query = "Octopuses taste with their arms."
            for document, relevance in store.similarity_search_with_relevance_scores(query, k=3):
                print(f"relevance {relevance:.3f}  {document.id}")
            show(
                "sea documents from 2020 on:",
                store.similarity_search(
                    query, k=3, filter={"topic": "sea", "year": {"$in": [2020, 2021, 2022, 2023, 2024]}}
                ),
            )
            show(
                "birds, by a callable filter:",
                store.similarity_search(query, k=2, filter=lambda meta: meta["topic"] == "birds"),
            )
            # The two octopus documents are the same text: MMR keeps one and adds variety.
            show("MMR:", store.max_marginal_relevance_search(query, k=3, fetch_k=6, lambda_mult=0.25))
            retriever = store.as_retriever(search_kwargs={"k": 1, "filter": {"topic": "tiny"}})
            show("retriever, tiny things:", retriever.invoke("what survives drought?"))
        with SorvidVectorStore(embedding, *paths) as reopened:  # the documents were kept on disk
            show("after reopening:", reopened.get_by_ids(["heron", "coral"]))


if __name__ == "__main__":
    main()
