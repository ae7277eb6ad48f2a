"""OwnedStore: calls from any thread or coroutine run on the one thread that owns the store."""

import asyncio
import gc
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from sorvid_owner_thread import OwnedStore, StoreClosedError

from sorvid_vector_db import VectorEntry


@pytest.fixture
def owned(tmp_path):
    with OwnedStore.open(str(tmp_path / "s.snap"), str(tmp_path / "s.wal")) as store:
        yield store


def upsert(store, i):
    store.upsert(VectorEntry(f"e{i}", [1.0, float(i)]))
    return threading.get_ident()


def test_many_threads_share_one_owner(owned):
    with ThreadPoolExecutor(max_workers=16) as pool:
        idents = set(pool.map(lambda i: owned.run(upsert, i), range(400)))
        hits = list(pool.map(lambda _: owned.run(lambda s: s.search([1.0, 5.0], top_k=3)), range(50)))
    assert idents == {owned._owner.thread.ident} and threading.get_ident() not in idents
    assert owned.run(len) == 400
    assert all([e.id for e, _ in h] == [e.id for e, _ in hits[0]] for h in hits)


def test_arun_gathers_while_the_loop_runs(owned):
    def slow_upsert(store, i):
        time.sleep(0.03)  # stands for a long store call: the loop must not wait on it
        return upsert(store, i)

    async def main():
        ticks = 0
        done = asyncio.Event()

        async def ticker():
            nonlocal ticks
            while not done.is_set():
                ticks += 1
                await asyncio.sleep(0.001)

        tick_task = asyncio.create_task(ticker())
        idents = await asyncio.gather(*(owned.arun(slow_upsert, i) for i in range(20)))
        done.set()
        await tick_task
        return ticks, idents

    ticks, idents = asyncio.run(main())
    # A loop that waited on each call would tick at most once between calls, about 20 times in all.
    assert ticks >= 60 and set(idents) == {owned._owner.thread.ident}
    assert owned.run(len) == 20


class Stop(BaseException):
    pass


def raise_stop(store):
    raise Stop("from the owner")


def use_from_another_thread(store):
    with ThreadPoolExecutor(1) as pool:
        return pool.submit(len, store).result()  # PanicException: not the owner thread


@pytest.mark.parametrize(
    ("fn", "name"),
    [
        (lambda s: s.search([1.0, 2.0, 3.0]), "ValueError"),  # dimension mismatch, from the module
        (raise_stop, "Stop"),
        (use_from_another_thread, "PanicException"),
    ],
)
@pytest.mark.parametrize("mode", ["run", "arun"])
def test_exceptions_travel_back(owned, fn, name, mode):
    owned.run(upsert, 1)
    with pytest.raises(BaseException) as caught:  # noqa: B017 - the type is checked by name below
        owned.run(fn) if mode == "run" else asyncio.run(owned.arun(fn))
    assert type(caught.value).__name__ == name
    assert owned.run(len) == 1  # the owner thread lives on


def test_run_inside_run_runs_inline(owned):
    def outer(store):
        return owned.run(upsert, 7), threading.get_ident()

    inner_ident, outer_ident = owned.run(outer)
    assert inner_ident == outer_ident and owned.run(len) == 1


def test_close_drains_then_refuses(tmp_path):
    paths = (str(tmp_path / "s.snap"), str(tmp_path / "s.wal"))
    owned = OwnedStore.new(*paths)
    futures = [owned._owner.submit(upsert, (i,), {}) for i in range(100)]
    owned.close()
    owned.close()  # idempotent
    assert all(f.done() and f.exception() is None for f in futures)
    assert not owned._owner.thread.is_alive() and owned.closed
    with pytest.raises(StoreClosedError):
        owned.run(len)
    with pytest.raises(StoreClosedError):
        asyncio.run(owned.arun(len))
    with OwnedStore.open(*paths) as again:
        assert again.run(len) == 100 and again.snapshot_path == paths[0] and again.wal_path == paths[1]


def raise_from_attribute_error(store):
    try:
        store.no_such_member  # noqa: B018 - the AttributeError keeps the store as its obj
    except AttributeError as exc:
        raise Stop from exc


@pytest.mark.parametrize("fn", [raise_stop, raise_from_attribute_error])
def test_the_store_is_dropped_on_its_thread(owned, monkeypatch, fn):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    kept = []
    try:
        owned.run(fn)
    except Stop as exc:
        kept.append(exc)  # its traceback holds the frames that saw the store
    owned.close()
    kept.clear()
    gc.collect()
    assert unraisable == []


def test_close_from_inside_a_call(owned):
    owned.run(lambda s: owned.close())
    owned._owner.thread.join(timeout=5)
    assert not owned._owner.thread.is_alive()


def test_open_failure_reaches_the_caller(tmp_path):
    with pytest.raises(ValueError, match="same file"):
        OwnedStore.open(str(tmp_path / "s"), str(tmp_path / "s"))
