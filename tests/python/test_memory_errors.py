"""Running out of memory: std::bad_alloc anywhere in a call, on the calling thread or on a worker thread of an
index build, reaches Python as MemoryError, and the interpreter carries on.

Each case runs in a child interpreter whose address space is limited (RLIMIT_AS) to what it already uses plus a
few megabytes, then makes a call that needs far more.
"""
import os
import random
import subprocess
import sys

import pytest

from sorvid_vector_db import VectorEntry, VectorStore

DIM = 16
ENTRIES = 100_000  # the index over them needs tens of megabytes

SEARCH_SCRIPT = """
import random, resource, sys
from sorvid_vector_db import VectorEntry, VectorStore

# Start the worker pool (a build of a few thousand entries uses it) while memory is plentiful, so that the
# large build below runs its parallel loops on the pool's threads.
rng = random.Random(3)
warm = VectorStore.new(sys.argv[3] + ".snap", sys.argv[3] + ".wal")
warm.upsert_batch([VectorEntry(f"w{i}", [rng.uniform(-1, 1) for _ in range(16)]) for i in range(3000)])
warm.search([0.5] * 16)
big = VectorStore.open(sys.argv[1], sys.argv[2])

_, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + (int(sys.argv[4]) << 20), hard))
try:
    big.search([0.5] * 16)
    print("no error")
except BaseException as exc:
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print(type(exc).__name__, exc)
print("still running", len(warm.search([0.5] * 16, 3)))
"""


@pytest.fixture(scope="module")
def big_store(tmp_path_factory):
    folder = tmp_path_factory.mktemp("big")
    paths = str(folder / "big.snap"), str(folder / "big.wal")
    rng = random.Random(5)
    VectorStore.new(*paths).upsert_batch(
        [VectorEntry(f"e{i}", [rng.uniform(-1.0, 1.0) for _ in range(DIM)]) for i in range(ENTRIES)])
    return paths


@pytest.mark.no_asan("the sanitizer reserves far more address space than the limit allows")
# With little room the build fails copying the points; with more, allocating its large arrays (points, links).
@pytest.mark.parametrize("headroom_mib", [1, 8, 24, 48])
def test_search_that_cannot_build_its_index_raises_memory_error(big_store, tmp_path, headroom_mib):
    script = [sys.executable, "-c", SEARCH_SCRIPT, *big_store, str(tmp_path / "warm"), str(headroom_mib)]
    result = subprocess.run(script, capture_output=True, text=True, env={**os.environ, "RAYON_NUM_THREADS": "4"})
    assert (result.returncode, result.stdout, result.stderr) == (0, "MemoryError \nstill running 3\n", "")


CONVERSION_SCRIPT = """
import array, resource, sys
from sorvid_vector_db import VectorEntry, VectorStore

floats = array.array("f", bytes(64 << 20))
store = VectorStore.new(*sys.argv[1:3])
store.upsert(VectorEntry("big", floats))
# A search result reads the store's record in place until a change takes it back, which copies it.
hits = store.search(floats, 1) if sys.argv[3] == "take_back" else []
calls = {"embedding": lambda: VectorEntry("a", floats), "get": lambda: store.get("big"),
         "take_back": lambda: store.delete("big")}
_, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + (4 << 20), hard))
try:
    calls[sys.argv[3]]()
    print("no error")
except BaseException as exc:
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print(type(exc).__name__, exc)
floats.append(1.0)  # refused while a buffer view of it is still held
print("still running", len(store.get("big").embedding))
"""


@pytest.mark.no_asan("the sanitizer reserves far more address space than the limit allows")
@pytest.mark.parametrize("call", ["embedding", "get", "take_back"])
def test_copying_a_large_embedding_raises_memory_error(paths, call):
    result = subprocess.run([sys.executable, "-c", CONVERSION_SCRIPT, *paths, call], capture_output=True, text=True)
    assert (result.returncode, result.stdout, result.stderr) == (0, "MemoryError \nstill running 16777216\n", "")
