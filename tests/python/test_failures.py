"""Real failures of the file system under every operation.

After each failure: the error is the one the operating system gave, memory is
as it was before the call (a failed compaction changes nothing either), and
the files reopen to the state of the calls that succeeded.
"""
import glob
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

from sorvid_vector_db import VectorEntry, VectorStore

IS_A_DIRECTORY = "Is a directory (os error 21)"
NO_SUCH_FILE = "No such file or directory (os error 2)"
TOO_LARGE = "File too large (os error 27)"
PERMISSION_DENIED = "Permission denied (os error 13)"


def entry(entry_id, value=1.0, dim=3, metadata=""):
    return VectorEntry(entry_id, [float(value)] + [0.5] * (dim - 1), metadata, "")


def state(store, ids):
    """What the store holds for these ids, plus its counters."""
    held = {}
    for entry_id in ids:
        got = store.get(entry_id)
        if got is not None:
            held[entry_id] = (got.embedding, got.metadata, got.created_at)
    return held, store.len, store.dim


def reopened_state(snap, wal, ids):
    return state(VectorStore.open(snap, wal), ids)


def scratch_files(snap):
    """Temporary files a compaction left beside the snapshot (its own or the graph's)."""
    return glob.glob(glob.escape(snap) + ".*tmp*")


def make_store(tmp_path, ids=("a", "b", "c"), compact=True):
    """A store with a snapshot and a non-empty log: a, b and c, b deleted."""
    snap, wal = str(tmp_path / "store.snap"), str(tmp_path / "store.wal")
    store = VectorStore.new(snap, wal)
    store.upsert_batch([entry(x) for x in ids])
    if compact:
        store.compact()
    store.upsert(entry("a", 2.0))
    store.delete("b")
    return store, snap, wal


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


IDS = ["a", "b", "c", "d", "e"]


# --- The log replaced by a link to a device (/dev/full): refused, as anything but a regular file is.

@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="/dev/full is not available")
@pytest.mark.parametrize("call", [
    lambda s: s.upsert(entry("d")),
    lambda s: s.upsert(entry("a", 9.0)),
    lambda s: s.upsert_batch([entry("d"), entry("e"), entry("a", 9.0)]),
    lambda s: s.delete("a"),
], ids=["upsert", "replace", "batch", "delete"])
def test_full_device_fails_every_mutation_without_trace(tmp_path, call):
    store, snap, wal = make_store(tmp_path)
    before = state(store, IDS)
    pending = store.wal_pending
    log = file_bytes(wal)
    os.rename(wal, wal + ".real")
    os.symlink("/dev/full", wal)
    with pytest.raises(OSError) as info:
        call(store)
    assert str(info.value) == f"not a regular file: {wal}"
    assert state(store, IDS) == before and store.wal_pending == pending
    os.remove(wal)
    os.rename(wal + ".real", wal)
    assert file_bytes(wal) == log
    assert reopened_state(snap, wal, IDS) == before


# --- File too large: RLIMIT_FSIZE in a child, at every point of a batch and
# of a compaction's snapshot. The soft limit is lowered for one call and
# raised again, so one child runs every limit.

FSIZE_CHILD = r"""
import glob, json, os, resource, signal, sys
from sorvid_vector_db import VectorEntry, VectorStore

snap, wal, mode, start, stop, step = sys.argv[1], sys.argv[2], sys.argv[3], *map(int, sys.argv[4:7])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
_, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
ids = [f"id-{i}" for i in range(40)] + ["keep"]

def observe(store):
    got = {i: store.get(i) for i in ids}
    return {i: (e.embedding, e.metadata) for i, e in got.items() if e is not None}

def size(path):
    return os.path.getsize(path) if os.path.exists(path) else None

for limit in range(start, stop, step):
    store = VectorStore.open(snap, wal)
    before = (observe(store), store.len, store.wal_pending)
    files = (size(snap), size(wal))
    batch = [VectorEntry(f"id-{i}", [float(i + limit), 0.5, 0.5], "m" * (i * 20)) for i in range(40)]
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
    try:
        if mode == "batch":
            store.upsert_batch(batch)
        else:
            store.compact()
        outcome = "ok"
    except OSError as exc:
        outcome = str(exc)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
    after = (observe(store), store.len, store.wal_pending)
    reopened = VectorStore.open(snap, wal)
    print(json.dumps({
        "limit": limit, "outcome": outcome,
        "memory_unchanged": after == before,
        "files_unchanged": (size(snap), size(wal)) == files,
        "reopened_as_memory": (observe(reopened), reopened.len) == after[:2],
        "leftover_temporary": bool(glob.glob(glob.escape(snap) + ".*tmp*")),
    }), flush=True)
    if outcome == "ok":
        break
"""


def run_fsize_child(snap, wal, mode, start, stop, step):
    result = subprocess.run([sys.executable, "-c", FSIZE_CHILD, snap, wal, mode, str(start), str(stop), str(step)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return [json.loads(line) for line in result.stdout.splitlines()]


def test_file_too_large_at_every_point_of_a_batch(tmp_path):
    store, snap, wal = make_store(tmp_path, ids=["keep"], compact=False)
    start = os.path.getsize(wal)
    # The batch adds about 19 KB: two flushes of the buffer and the rest.
    runs = run_fsize_child(snap, wal, "batch", start, start + 30000, 67)
    assert len(runs) > 200
    for run in runs[:-1]:
        assert run["outcome"] == TOO_LARGE, run
        assert run["memory_unchanged"] and run["files_unchanged"] and run["reopened_as_memory"], run
    assert runs[-1]["outcome"] == "ok", "the batch never fitted"
    assert runs[-1]["reopened_as_memory"]


def test_file_too_large_at_every_point_of_a_compaction(tmp_path):
    store, snap, wal = make_store(tmp_path, ids=["keep"], compact=False)
    store.upsert_batch([VectorEntry(f"id-{i}", [float(i), 0.5, 0.5], "m" * (i * 20)) for i in range(40)])
    log = file_bytes(wal)
    runs = run_fsize_child(snap, wal, "compact", 0, 30000, 97)
    assert len(runs) > 100
    for run in runs[:-1]:
        assert run["outcome"] == TOO_LARGE, run
        assert run["memory_unchanged"] and run["files_unchanged"] and run["reopened_as_memory"], run
        assert not run["leftover_temporary"], run
    assert runs[-1]["outcome"] == "ok", "the snapshot never fitted"
    assert runs[-1]["reopened_as_memory"] and not runs[-1]["leftover_temporary"]
    assert os.path.getsize(wal) == 0 and len(log) > 0


# --- Paths that name directories, and directories that are missing.

def make_directory(path):
    os.mkdir(path)
    with open(os.path.join(path, "inside"), "w") as f:
        f.write("x")


@pytest.mark.parametrize("call, message", [
    (lambda s: s.upsert_batch([entry("d"), entry("e")]), IS_A_DIRECTORY),
    (lambda s: s.upsert_batch([]), IS_A_DIRECTORY),
    (lambda s: s.compact(), IS_A_DIRECTORY),
], ids=["batch", "empty-batch", "compact"])
def test_log_replaced_by_a_directory(tmp_path, call, message):
    store, snap, wal = make_store(tmp_path)
    before = state(store, IDS)
    pending, snapshot = store.wal_pending, file_bytes(snap)
    log = file_bytes(wal)
    os.remove(wal)
    make_directory(wal)
    with pytest.raises(OSError) as info:
        call(store)
    assert str(info.value) == message
    assert state(store, IDS) == before and store.wal_pending == pending
    # A compaction that cannot reach the log does not write the snapshot.
    assert file_bytes(snap) == snapshot and not scratch_files(snap)
    with pytest.raises(OSError, match=r"^Is a directory \(os error 21\)$"):
        VectorStore.open(snap, wal)
    shutil.rmtree(wal)
    with open(wal, "wb") as f:
        f.write(log)
    assert reopened_state(snap, wal, IDS) == before


@pytest.mark.parametrize("call", [
    lambda s: s.upsert(entry("d")),
    lambda s: s.upsert_batch([entry("d"), entry("e")]),
    lambda s: s.delete("a"),
    lambda s: s.compact(),
], ids=["upsert", "batch", "delete", "compact"])
def test_directory_removed_under_an_open_store(tmp_path, call):
    home = tmp_path / "home"
    home.mkdir()
    store, snap, wal = make_store(home)
    before, pending = state(store, IDS), store.wal_pending
    saved = tmp_path / "saved"
    shutil.move(str(home), str(saved))
    with pytest.raises(OSError) as info:
        call(store)
    assert str(info.value) == NO_SUCH_FILE
    assert state(store, IDS) == before and store.wal_pending == pending
    assert not home.exists()
    shutil.move(str(saved), str(home))
    assert reopened_state(snap, wal, IDS) == before


# --- Content that is not UTF-8 where a reopen must read it: the open fails
# and writes nothing, and the repaired file opens.

@pytest.mark.parametrize("which, bad, good", [
    (0, b'{"dim":3,"entries":[{"id":"a","embedding":[1,2,3],"metadata":"\xed\xa0\x80","created_at":""}]}',
     b'{"dim":3,"entries":[{"id":"a","embedding":[1,2,3],"metadata":"ok","created_at":""}]}'),
    (1, b'{"op":"delete","data":{"id":"\xc0\xaf"}}\r\n{"op":"delete","data":{"id":"b"}}\n',
     b'{"op":"delete","data":{"id":"x"}}\r\n{"op":"delete","data":{"id":"b"}}\n'),
], ids=["surrogate-in-snapshot", "overlong-in-log-line"])
def test_invalid_utf8_inside_a_value_fails_the_open_and_changes_nothing(tmp_path, which, bad, good):
    paths = [str(tmp_path / "store.snap"), str(tmp_path / "store.wal")]
    with open(paths[which], "wb") as f:
        f.write(bad)
    with pytest.raises(OSError, match="^stream did not contain valid UTF-8$"):
        VectorStore.open(*paths)
    assert file_bytes(paths[which]) == bad
    assert not os.path.exists(paths[1 - which])
    with open(paths[which], "wb") as f:
        f.write(good)
    assert VectorStore.open(*paths).len == (1 if which == 0 else 0)


# --- A directory this process may not write. Root ignores permissions, so
# as root the calls run in a child with the ids of the unprivileged "nobody".

UNPRIVILEGED_CHILD = r"""
import json, sys
from sorvid_vector_db import VectorEntry, VectorStore
snap, wal = sys.argv[1], sys.argv[2]
ids = ["a", "b", "c", "d", "e"]
store = VectorStore.open(snap, wal)
def observe(s):
    got = {i: s.get(i) for i in ids}
    return {i: e.embedding for i, e in got.items() if e is not None}
report = {"opened": observe(store), "pending": store.wal_pending}
for name, call in [("upsert", lambda: store.upsert(VectorEntry("d", [4.0, 0.5, 0.5]))),
                   ("delete", lambda: store.delete("a")),
                   ("compact", lambda: store.compact())]:
    try:
        call()
        report[name] = "ok"
    except OSError as exc:
        report[name] = str(exc)
    report[name + "_memory"] = [observe(store), store.wal_pending]
print(json.dumps(report))
"""


def run_as_unprivileged(snap, wal):
    command = [sys.executable, "-c", UNPRIVILEGED_CHILD, snap, wal]
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("running as root and setpriv is missing, so permissions cannot take effect")
        command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + command
    result = subprocess.run(command, capture_output=True, text=True, timeout=60)
    if result.returncode != 0 and "error while loading shared libraries" in result.stderr:
        pytest.skip("this interpreter cannot start as an unprivileged user: " + result.stderr.strip())
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.fixture
def shared_directory():
    # Outside pytest's own temporary tree, whose parents only root may enter.
    path = tempfile.mkdtemp(prefix="sorvid-perm-", dir="/tmp")
    os.chmod(path, 0o755)
    yield path
    os.chmod(path, 0o755)
    shutil.rmtree(path)


@pytest.mark.parametrize("files_writable", [False, True], ids=["read-only-files", "writable-files"])
def test_directory_the_process_may_not_write(shared_directory, files_writable):
    store, snap, wal = make_store(pathlib.Path(shared_directory))
    expected = {"a": [2.0, 0.5, 0.5], "c": [1.0, 0.5, 0.5]}
    snapshot, log = file_bytes(snap), file_bytes(wal)
    for path in (snap, wal):
        os.chmod(path, 0o666 if files_writable else 0o644)
    os.chmod(shared_directory, 0o555)

    report = run_as_unprivileged(snap, wal)

    os.chmod(shared_directory, 0o755)
    assert report["opened"] == expected and report["pending"] == 2
    assert report["compact"] == PERMISSION_DENIED
    assert not scratch_files(snap) and file_bytes(snap) == snapshot
    if files_writable:
        # The log can be appended to; only the new snapshot cannot be made.
        assert report["upsert"] == report["delete"] == "ok"
        after = {"c": [1.0, 0.5, 0.5], "d": [4.0, 0.5, 0.5]}
        assert report["compact_memory"] == [after, 4]
        reopened = VectorStore.open(snap, wal)
        assert {i: reopened.get(i).embedding for i in after} == after and reopened.len == 2
    else:
        assert report["upsert"] == report["delete"] == PERMISSION_DENIED
        assert report["upsert_memory"] == report["delete_memory"] == [expected, 2]
        assert file_bytes(wal) == log
        assert reopened_state(snap, wal, IDS) == state(store, IDS)


# --- The snapshot replaced behind an open store. Two stores on one pair of
# files share nothing in memory: the open store neither notices nor minds,
# its appends still reach the log, and its next compaction writes its own
# state over the replacement.

@pytest.mark.parametrize("replacement", [
    b'{"dim":3,"entries":[{"id":"z","embedding":[9,9,9],"metadata":"","created_at":""}]}',
    b"not a snapshot",
    None,
], ids=["other-store", "garbage", "removed"])
def test_snapshot_replaced_while_the_store_is_open(tmp_path, replacement):
    store, snap, wal = make_store(tmp_path)
    before = state(store, IDS + ["z"])
    replaced = snap + ".new"
    if replacement is None:
        os.remove(snap)
    else:
        with open(replaced, "wb") as f:
            f.write(replacement)
        os.replace(replaced, snap)
    assert state(store, IDS + ["z"]) == before

    store.upsert(entry("d", 4.0))
    expected = state(store, IDS + ["z"])
    if replacement == b"not a snapshot":
        with pytest.raises(ValueError):
            VectorStore.open(snap, wal)
    else:
        # The log replays over whatever snapshot now stands.
        reopened = VectorStore.open(snap, wal)
        assert reopened.get("d").embedding == [4.0, 0.5, 0.5]
        assert (reopened.get("z") is not None) == (replacement is not None)
    store.compact()
    assert reopened_state(snap, wal, IDS + ["z"]) == expected
    assert os.path.getsize(wal) == 0

