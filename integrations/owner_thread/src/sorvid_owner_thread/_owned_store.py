"""One thread per store makes the VectorStore, runs every call on it and drops it.

A VectorStore may only be used by the thread that made it. OwnedStore gives that thread a queue of calls; callers on
any thread wait on a concurrent.futures.Future, coroutines await it through asyncio.wrap_future, so the event loop
keeps running while the store works.
"""

from __future__ import annotations

import asyncio
import queue
import threading
import traceback
import weakref
from collections.abc import Callable
from concurrent.futures import Future
from typing import Any, Concatenate, ParamSpec, Self, TypeVar

from sorvid_vector_db import VectorStore

P = ParamSpec("P")
T = TypeVar("T")

# A queued call: fn, its arguments after the store, and the future that receives its outcome.
_Call = tuple[Callable[..., Any], tuple[Any, ...], dict[str, Any], Future[Any]]


class StoreClosedError(RuntimeError):
    """A call was made on an OwnedStore after close()."""


def _settle(future: Future[Any], fn: Callable[..., Any], owner: _Owner, args: Any, kwargs: Any) -> None:
    # The store is passed straight from owner.store: this frame, which the traceback keeps, never names it.
    try:
        result = fn(owner.store, *args, **kwargs)
    except BaseException as exc:  # noqa: B036 - PanicException and KeyboardInterrupt travel back too
        _forget_store(exc, owner.store)
        future.set_exception(exc)
    else:
        future.set_result(result)


def _forget_store(exc: BaseException, store: object) -> None:
    """Drops the references an exception chain keeps to the store, which would otherwise drop it on whichever
    thread drops the exception: the locals of the frames in its tracebacks (file and line numbers stay) and the
    object of an AttributeError raised on the store."""
    seen: set[int] = set()
    pending: list[BaseException | None] = [exc]
    while pending:
        link = pending.pop()
        if link is None or id(link) in seen:
            continue
        seen.add(id(link))
        traceback.clear_frames(link.__traceback__)
        if isinstance(link, AttributeError) and link.obj is store:
            link.obj = None
        pending += [link.__cause__, link.__context__]


class _Owner:
    """The thread, its queue and the store, apart from OwnedStore so that a forgotten OwnedStore's finalizer can
    stop them. Only the owner thread touches `store`."""

    def __init__(self, make: Callable[[], VectorStore]) -> None:
        self.calls: queue.SimpleQueue[_Call | None] = queue.SimpleQueue()
        self.lock = threading.Lock()  # orders submit() against stop(): nothing is queued after the None
        self.closed = False
        self.store: VectorStore | None = None
        started: Future[None] = Future()
        self.thread = threading.Thread(target=self._serve, args=(make, started), name="sorvid-owner", daemon=True)
        self.thread.start()
        try:
            started.result()
        except BaseException:
            self.thread.join()
            raise

    def _serve(self, make: Callable[[], VectorStore], started: Future[None]) -> None:
        """The owner thread's body: make the store, run calls until the None that stop() queues, drop the store."""
        try:
            self.store = make()
        except BaseException as exc:  # noqa: B036 - every failure to make the store goes to the caller
            _forget_store(exc, None)
            started.set_exception(exc)
            return
        started.set_result(None)
        while (call := self.calls.get()) is not None:
            fn, args, kwargs, future = call
            if future.set_running_or_notify_cancel():
                _settle(future, fn, self, args, kwargs)
            del call, fn, args, kwargs, future
        self.store = None  # the last reference: the store is dropped here, on the thread that made it

    def submit(self, fn: Callable[..., T], args: tuple[Any, ...], kwargs: dict[str, Any]) -> Future[T]:
        future: Future[T] = Future()
        with self.lock:
            if self.closed:
                raise StoreClosedError("the store was closed")
            self.calls.put((fn, args, kwargs, future))
        return future

    def stop(self) -> None:
        with self.lock:
            if not self.closed:
                self.closed = True
                self.calls.put(None)
        # From the owner thread itself (close() inside a call) the thread ends once that call returns.
        if threading.current_thread() is not self.thread:
            self.thread.join()


class OwnedStore:
    """A VectorStore usable from any thread and any event loop: every call runs on the one thread that owns it."""

    def __init__(self, make: Callable[[], VectorStore], snapshot_path: str, wal_path: str) -> None:
        """Prefer OwnedStore.open or OwnedStore.new; make() runs on the new owner thread."""
        self.snapshot_path = snapshot_path
        self.wal_path = wal_path
        self._owner = _Owner(make)
        # Closes the store when this object is collected or the interpreter exits without close().
        self._finalizer = weakref.finalize(self, self._owner.stop)

    @classmethod
    def open(cls, snapshot_path: str = "store.snap", wal_path: str = "store.wal") -> Self:
        """Open an existing store (snapshot and log) or create a fresh one, as VectorStore.open does."""
        return cls(lambda: VectorStore.open(snapshot_path, wal_path), snapshot_path, wal_path)

    @classmethod
    def new(cls, snapshot_path: str = "store.snap", wal_path: str = "store.wal") -> Self:
        """Create a fresh empty store without reading existing files, as VectorStore.new does."""
        return cls(lambda: VectorStore.new(snapshot_path, wal_path), snapshot_path, wal_path)

    @property
    def closed(self) -> bool:
        return self._owner.closed

    def run(self, fn: Callable[Concatenate[VectorStore, P], T], /, *args: P.args, **kwargs: P.kwargs) -> T:
        """Run fn(store, *args, **kwargs) on the owner thread and return its result or raise its exception."""
        owner = self._owner
        if threading.current_thread() is owner.thread:
            # A call made from inside another call: the thread would wait for itself, so fn runs at once.
            assert owner.store is not None
            return fn(owner.store, *args, **kwargs)
        return owner.submit(fn, args, kwargs).result()

    async def arun(self, fn: Callable[Concatenate[VectorStore, P], T], /, *args: P.args, **kwargs: P.kwargs) -> T:
        """The same as run, awaited: the event loop runs on while the owner thread works."""
        return await asyncio.wrap_future(self._owner.submit(fn, args, kwargs))

    def close(self) -> None:
        """Run the calls already queued, drop the store on its thread and end the thread. Idempotent."""
        self._finalizer()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"OwnedStore({self.snapshot_path!r}, {self.wal_path!r}, {state})"
