"""Careless and hostile use: paths, files and values that once lost data or misled, each now sound.

docs/reliability.md lists what holds and points at the test behind each point.
"""
import json
import math
import os
import pathlib
import subprocess
import sys

import pytest

from sorvid_vector_db import VectorEntry, VectorStore

NON_FINITE = "Embedding must contain only finite values"


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, 1e39, -1e300])
def test_a_query_with_a_non_finite_value_is_refused(tmp_path, store, bad):
    empty = VectorStore.new(str(tmp_path / "other.snap"), str(tmp_path / "other.wal"))
    store.upsert(VectorEntry("a", [1.0, 2.0, 3.0]))
    for searched, query in ((store, [1.0, bad, 3.0]), (empty, [bad])):
        with pytest.raises(ValueError) as info:
            searched.search(query, top_k=1)
        assert str(info.value) == NON_FINITE


@pytest.mark.parametrize("batch", [False, True])
def test_a_failed_append_does_not_fix_the_dimension(tmp_path, batch):
    log = tmp_path / "log"
    log.mkdir()  # every append fails
    store = VectorStore.new(str(tmp_path / "snap"), str(log))
    with pytest.raises(OSError):
        if batch:
            store.upsert_batch([VectorEntry("a", [1.0, 2.0, 3.0])])
        else:
            store.upsert(VectorEntry("a", [1.0, 2.0, 3.0]))
    assert store.dim is None and store.len == 0
    log.rmdir()
    store.upsert(VectorEntry("b", [1.0, 2.0]))
    assert store.dim == 2


@pytest.mark.parametrize("dim, lengths, culprit", [
    (3, [3, 4, 3], "e1"),
    (3, [2], "e0"),
    (0, [3, 3, 2], "e2"),  # no dimension written: the first entry's length stands for it
])
def test_a_snapshot_whose_entries_disagree_is_refused(paths, dim, lengths, culprit):
    entries = [{"id": f"e{i}", "embedding": [1.0] * n, "metadata": "", "created_at": ""}
               for i, n in enumerate(lengths)]
    with open(paths[0], "w", encoding="utf-8") as f:
        json.dump({"dim": dim, "entries": entries}, f)
    expected_dim = dim or lengths[0]
    with pytest.raises(ValueError) as info:
        VectorStore.open(*paths)
    assert str(info.value) == (f"Dimension mismatch in the snapshot: entry \"{culprit}\" has "
                               f"{lengths[int(culprit[1:])]} values, the store is {expected_dim}D")


# --- Paths that name one file twice.

def same_file_forms(tmp_path):
    """(snapshot, log) pairs that name one file, each in another way."""
    (tmp_path / "sub").mkdir()
    target = tmp_path / "store"
    os.symlink(target, tmp_path / "link")
    return {
        "equal": (str(target), str(target)),
        "dot-dot": (str(target), str(tmp_path / "sub" / ".." / "store")),
        "relative": (str(target), os.path.relpath(target)),
        "symlink": (str(target), str(tmp_path / "link")),
        "graph-file": (str(target), str(target) + ".hnsw"),
        "vector-file": (str(target), str(target) + ".f32"),
    }


@pytest.mark.parametrize("form", ["equal", "dot-dot", "relative", "symlink", "graph-file", "vector-file"])
@pytest.mark.parametrize("exists", [False, True])
def test_a_log_that_is_the_snapshot_or_a_file_beside_it_is_refused(tmp_path, form, exists):
    snapshot, log = same_file_forms(tmp_path)[form]
    if exists:
        with open(log, "w"):
            pass
    message = {"graph-file": "wal_path names the file where compaction saves the graph (snapshot_path + \".hnsw\")",
               "vector-file": "wal_path names the file where compaction saves the embeddings (snapshot_path + "
                              "\".f32\")"}.get(form, "snapshot_path and wal_path name the same file")
    for make in (VectorStore.new, VectorStore.open):
        with pytest.raises(ValueError) as info:
            make(snapshot, log)
        assert str(info.value) == message


def test_a_hard_link_between_snapshot_and_log_is_refused(tmp_path):
    snapshot = tmp_path / "store.snap"
    store = VectorStore.new(str(snapshot), str(tmp_path / "store.wal"))
    store.upsert(VectorEntry("a", [1.0]))
    store.compact()
    os.link(snapshot, tmp_path / "alias")
    with pytest.raises(ValueError, match="name the same file"):
        VectorStore.open(str(snapshot), str(tmp_path / "alias"))


def test_a_log_named_like_the_scratch_file_survives_compaction(tmp_path):
    snapshot = str(tmp_path / "store.snap")
    store = VectorStore.new(snapshot, snapshot + ".tmp")
    store.upsert_batch([VectorEntry(str(i), [float(i), 1.0]) for i in range(100)])
    store.compact()
    store.upsert(VectorEntry("late", [1.0, 1.0]))
    assert VectorStore.open(snapshot, snapshot + ".tmp").len == 101


# --- What already stands beside the snapshot, and the snapshot's own kind.

@pytest.mark.parametrize("occupant", ["symlink", "file", "directory"])
def test_whatever_stands_at_the_scratch_name_is_neither_followed_nor_overwritten(paths, tmp_path, occupant):
    victim = tmp_path / "victim"
    victim.write_text("precious")
    scratch = paths[0] + ".tmp"
    if occupant == "symlink":
        os.symlink(victim, scratch)
    elif occupant == "directory":
        os.mkdir(scratch)
    else:
        with open(scratch, "w") as f:
            f.write("someone else's")
    store = VectorStore.new(*paths)
    store.upsert(VectorEntry("a", [1.0, 2.0]))
    store.compact()
    assert victim.read_text() == "precious"
    if occupant == "symlink":
        assert os.path.islink(scratch)
    elif occupant == "directory":
        assert os.path.isdir(scratch)
    else:
        assert pathlib.Path(scratch).read_text() == "someone else's"
    assert VectorStore.open(*paths).len == 1
    assert sorted(os.listdir(tmp_path)) == sorted(["victim", "store.snap", "store.snap.f32", "store.snap.hnsw",
                                                   "store.snap.tmp", "store.wal"])


def test_compaction_keeps_the_snapshot_private(paths):
    store = VectorStore.new(*paths)
    store.upsert(VectorEntry("a", [1.0, 2.0]))
    store.compact()
    os.chmod(paths[0], 0o600)
    store.upsert(VectorEntry("b", [1.0, 2.0]))
    store.compact()
    assert os.stat(paths[0]).st_mode & 0o777 == 0o600


def test_a_symlinked_snapshot_keeps_its_link_and_its_target_is_replaced(tmp_path):
    (tmp_path / "data").mkdir()
    target = tmp_path / "data" / "real.snap"
    link = tmp_path / "store.snap"
    store = VectorStore.new(str(target), str(tmp_path / "store.wal"))
    store.upsert(VectorEntry("a", [1.0, 2.0]))
    store.compact()
    os.symlink(target, link)
    store = VectorStore.open(str(link), str(tmp_path / "store.wal"))
    store.upsert(VectorEntry("b", [3.0, 4.0]))
    store.compact()
    assert os.path.islink(link) and os.readlink(link) == str(target)
    assert VectorStore.open(str(target), str(tmp_path / "store.wal")).len == 2


NOT_REGULAR_CHILD = r"""
import sys
from sorvid_vector_db import VectorStore
try:
    VectorStore.open(sys.argv[1], sys.argv[2])
    print("opened")
except OSError as exc:
    print(str(exc))
"""


@pytest.mark.parametrize("which", ["snapshot", "log"])
@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_a_file_that_is_not_regular_is_refused_without_blocking(tmp_path, which, kind):
    special = "/dev/zero" if kind == "device" else str(tmp_path / "fifo")
    if kind == "fifo":
        os.mkfifo(special)
    paths = [str(tmp_path / "store.snap"), str(tmp_path / "store.wal")]
    paths[0 if which == "snapshot" else 1] = special
    result = subprocess.run([sys.executable, "-c", NOT_REGULAR_CHILD, *paths], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.strip() == f"not a regular file: {special}", result.stderr



# --- Running out of memory.

OUT_OF_MEMORY_SWEEP = r"""
import json, resource, sys
from sorvid_vector_db import VectorEntry, VectorStore

snap, wal = sys.argv[1], sys.argv[2]
_, hard = resource.getrlimit(resource.RLIMIT_AS)
def vector(seed):
    return [((seed * 7919 + j * 104729) % 1009) / 1009.0 - 0.5 for j in range(64)]

store = VectorStore.new(snap, wal)
store.upsert_batch([VectorEntry(f"old{i}", [0.5] * 64) for i in range(500)])
store.search([0.5] * 64, top_k=1)
outcomes = []
for spare_mib in range(0, 48, 3):
    batch = [VectorEntry(f"b{spare_mib}-{i}", vector(spare_mib * 3000 + i)) for i in range(3000)]
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (in_use + (spare_mib << 20), hard))
    try:
        store.upsert_batch(batch)
        store.search([1.0] * 64, top_k=5)
        outcome = "ok"
    except BaseException as exc:
        outcome = type(exc).__name__
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    reopened = VectorStore.open(snap, wal)
    ids = [e.id for e in batch]
    outcomes.append({
        "outcome": outcome,
        "memory_is_the_log": [store.get(i) is not None for i in ids] == [reopened.get(i) is not None for i in ids]
                             and store.len == reopened.len and store.wal_pending == reopened.wal_pending,
        "search_finds_the_batch": outcome != "ok" or store.get(ids[0]) is None
                                  or any(e.id == ids[-1] for e, _ in store.search(batch[-1].embedding, top_k=100)),
    })
print(json.dumps(outcomes))
"""


@pytest.mark.no_asan("the sanitizer reserves far more address space than the limit allows")
def test_running_out_of_memory_never_leaves_the_log_ahead_of_memory(paths):
    result = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY_SWEEP, *paths], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    outcomes = json.loads(result.stdout)
    assert all(o["memory_is_the_log"] and o["search_finds_the_batch"] for o in outcomes), outcomes
    assert {o["outcome"] for o in outcomes} >= {"ok", "MemoryError"}, outcomes


def test_compaction_holds_the_log_lock_for_the_file_steps_only(paths):
    """Other processes wait for the files, not for the index build that follows them."""
    import fcntl
    import random
    import threading
    import time

    rng = random.Random(2)
    store = VectorStore.new(*paths)
    store.upsert_batch([VectorEntry(str(i), [rng.uniform(-1, 1) for _ in range(64)]) for i in range(20_000)])
    acquired = []

    def lock_the_log():
        with open(paths[1], "rb") as log:  # a second open file: flock excludes it from the store's own
            while not acquired:
                try:
                    fcntl.flock(log, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    acquired.append(time.monotonic())
                    fcntl.flock(log, fcntl.LOCK_UN)
                except BlockingIOError:
                    time.sleep(0.0005)

    contender = threading.Thread(target=lock_the_log)
    contender.start()
    store.compact()  # lets go of the GIL; the log stays locked only while the files change
    finished = time.monotonic()
    contender.join()
    # Released well before the call ends: the build of 20,000 points after the file steps takes far longer
    # than this margin (a lock held to the end would be taken just before `finished`).
    assert acquired and acquired[0] < finished - 0.1
