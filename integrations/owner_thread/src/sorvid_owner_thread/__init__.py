"""Use a sorvid_vector_db store from any thread or event loop: one thread owns it and runs every call."""

from sorvid_owner_thread._owned_store import OwnedStore, StoreClosedError

__all__ = ["OwnedStore", "StoreClosedError"]
