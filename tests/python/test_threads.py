"""Long calls release the GIL while the engine works, so other Python threads keep running.

A ticker thread counts while it sleeps 1 ms at a time. A call that holds the GIL
throughout lets it count at most once; one that releases the GIL lets it count
on. Each call is made long by size (index builds, log and snapshot files) or by
another process holding the lock on the log.
"""
import contextlib
import random
import subprocess
import sys
import threading
import time

import pytest

from sorvid_vector_db import VectorEntry, VectorStore

MIN_TICKS = 10
DIM = 64
INDEXED = 4_000  # entries whose index build takes a good fraction of a second
LOGGED = 120_000  # entries whose log takes a good fraction of a second to write or read
LOCK_SECONDS = 0.5


def random_entries(count, seed=7):
    rng = random.Random(seed)
    return [VectorEntry(f"e{i}", [rng.uniform(-1.0, 1.0) for _ in range(DIM)]) for i in range(count)]


def many_entries(count):
    """Cheap to make: the embeddings repeat (the files' size is what counts)."""
    pool = [[random.Random(i).uniform(-1.0, 1.0) for _ in range(DIM)] for i in range(256)]
    return [VectorEntry(f"e{i}", pool[i % 256]) for i in range(count)]


@contextlib.contextmanager
def ticker():
    """Yields a function that returns how often the ticker thread has counted."""
    ticks = [0]
    stop = threading.Event()

    def run():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.001)

    thread = threading.Thread(target=run)
    thread.start()
    try:
        while ticks[0] == 0:
            time.sleep(0.001)
        yield lambda: ticks[0]
    finally:
        stop.set()
        thread.join()


@contextlib.contextmanager
def log_locked_by_another_process(wal):
    """Another process holds the exclusive lock on the log for LOCK_SECONDS."""
    holder = subprocess.Popen(
        [sys.executable, "-c",
         "import fcntl, sys, time\n"
         f"log = open({wal!r}, 'a')\n"
         "fcntl.flock(log, fcntl.LOCK_EX)\n"
         "print('locked', flush=True)\n"
         f"time.sleep({LOCK_SECONDS})\n"],
        stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "locked\n"
        yield
    finally:
        holder.wait()
        holder.stdout.close()


def setup_search(paths):
    store = VectorStore.new(*paths)
    entries = random_entries(INDEXED)
    store.upsert_batch(entries)
    return lambda: store.search(entries[0].embedding, 3), lambda hits: len(hits) == 3


def setup_search_batch(paths):
    store = VectorStore.new(*paths)
    entries = random_entries(INDEXED)
    store.upsert_batch(entries)
    queries = [entry.embedding for entry in entries[:200]]
    return lambda: store.search_batch(queries, 3), lambda lists: [len(hits) for hits in lists] == [3] * 200


def setup_compact(paths):
    store = VectorStore.new(*paths)
    store.upsert_batch(random_entries(INDEXED))
    return store.compact, lambda _: VectorStore.open(*paths).len == INDEXED and store.wal_pending == 0


def setup_upsert_batch(paths):
    store = VectorStore.new(*paths)
    entries = many_entries(LOGGED)
    return lambda: store.upsert_batch(entries), lambda _: store.len == LOGGED


def setup_open(paths):
    VectorStore.new(*paths).upsert_batch(many_entries(LOGGED))
    return lambda: VectorStore.open(*paths), lambda store: store.len == LOGGED


def setup_upsert(paths):
    store = VectorStore.new(*paths)
    return lambda: store.upsert(VectorEntry("a", [1.0, 2.0])), lambda _: store.get("a") is not None


def setup_delete(paths):
    store = VectorStore.new(*paths)
    store.upsert(VectorEntry("a", [1.0, 2.0]))
    return lambda: store.delete("a"), lambda _: store.len == 0


@pytest.mark.parametrize("setup, locked", [
    (setup_search, False),
    (setup_search_batch, False),
    (setup_compact, False),
    (setup_upsert_batch, False),
    (setup_open, False),
    (setup_upsert, True),
    (setup_delete, True),
], ids=["search", "search_batch", "compact", "upsert_batch", "open", "upsert", "delete"])
def test_other_threads_run_during_a_long_call(paths, setup, locked):
    call, done_right = setup(paths)
    with ticker() as ticks, log_locked_by_another_process(paths[1]) if locked else contextlib.nullcontext():
        before = ticks()
        result = call()
        counted = ticks() - before
    assert counted >= MIN_TICKS
    assert done_right(result)


def test_another_thread_is_refused_while_a_call_works_without_the_gil(paths, capfd):
    store = VectorStore.new(*paths)
    entries = random_entries(INDEXED)
    store.upsert_batch(entries)
    searching = [True]
    seen = []

    def intrude():
        time.sleep(0.05)
        try:
            store.get("e0")
        except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
            seen.append((type(exc).__name__, searching[0]))

    thread = threading.Thread(target=intrude)
    thread.start()
    assert len(store.search(entries[0].embedding, 1)) == 1
    searching[0] = False
    thread.join()
    assert seen == [("PanicException", True)]
    assert "sent to another thread" in capfd.readouterr().err


SHUTDOWN_SCRIPT = """
import random, sys, threading, time, types
from sorvid_vector_db import VectorEntry, VectorStore

class SlowToFinalise:
    def __del__(self):  # runs after the interpreter has begun to shut down
        time.sleep(1.5)

# A module of its own, so that it is torn down at shutdown (__main__ is kept alive by the thread).
sys.modules["slow_to_finalise"] = types.ModuleType("slow_to_finalise")
sys.modules["slow_to_finalise"].slow = SlowToFinalise()

searching = threading.Event()

def search_in_the_background():
    rng = random.Random(7)
    store = VectorStore.new(*sys.argv[1:3])
    count = int(sys.argv[3])
    store.upsert_batch([VectorEntry(f"e{i}", [rng.uniform(-1, 1) for _ in range(64)]) for i in range(count)])
    searching.set()
    store.search([0.5] * 64)
    print("the search returned before shutdown", flush=True)

threading.Thread(target=search_in_the_background, daemon=True).start()
searching.wait()
time.sleep(0.1)
"""


def test_daemon_thread_ends_quietly_when_its_call_returns_during_shutdown(paths):
    # The call finishes while the interpreter is shutting down: retaking the GIL
    # ends the thread (before 3.14 by unwinding its stack), and that unwinding must
    # pass the module's handlers instead of turning into a panic or a crash.
    script = [sys.executable, "-c", SHUTDOWN_SCRIPT, *paths, str(INDEXED)]
    result = subprocess.run(script, capture_output=True, text=True)
    if result.stdout:
        pytest.skip("the machine was too slow: " + result.stdout.strip())
    assert (result.returncode, result.stderr) == (0, "")


OUT_OF_MEMORY_SCRIPT = """
import resource, sys
from sorvid_vector_db import VectorStore

_, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + (4 << 20), hard))
try:
    VectorStore.open(*sys.argv[1:3])
except BaseException as exc:
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print(type(exc).__name__, exc)
"""


@pytest.mark.no_asan("the sanitizer reserves far more address space than the limit allows")
def test_running_out_of_memory_without_the_gil_raises_memory_error(paths):
    # Opening a log of ~10 MB with 4 MB of address space to spare: std::bad_alloc
    # is thrown inside the engine while the GIL is released, and is raised as
    # MemoryError once the GIL is back, without a report on standard error.
    VectorStore.new(*paths).upsert_batch([VectorEntry(f"e{i}", [0.5] * DIM) for i in range(40_000)])
    result = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY_SCRIPT, *paths], capture_output=True, text=True)
    assert (result.returncode, result.stdout, result.stderr) == (0, "MemoryError \n", "")
