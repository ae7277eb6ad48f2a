"""LlamaIndex vector store on sorvid_vector_db."""

from llama_index.vector_stores.sorvid.base import SorvidVectorStore

__all__ = ["SorvidVectorStore"]
