"""LangChain integration of sorvid_vector_db."""

from langchain_sorvid.vectorstores import SorvidVectorStore

__all__ = ["SorvidVectorStore"]
