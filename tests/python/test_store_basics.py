"""VectorStore as a user sees it: construction, mutations, reads and the log they write."""
import gc
import math
import os
import sys
import threading

import pytest

from sorvid_vector_db import VectorEntry, VectorStore


def log_lines(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8").splitlines(keepends=True)


def entry(entry_id="a", embedding=(1.0, 2.0, 3.0), metadata="", created_at=""):
    return VectorEntry(entry_id, list(embedding), metadata, created_at)


def snapshot_of(store, ids):
    """The fields of the stored entries, for comparing states."""
    out = {}
    for entry_id in ids:
        got = store.get(entry_id)
        out[entry_id] = None if got is None else (got.id, got.embedding, got.metadata, got.created_at)
    return out


def test_new_store_is_empty(store, paths):
    assert (store.len, store.dim, store.wal_pending, len(store), bool(store)) == (0, None, 0, 0, False)
    assert repr(store) == "VectorStore(len=0, dim=None, wal_pending=0)"
    assert not any(os.path.exists(p) for p in paths)


def test_upsert_fixes_dim_and_logs(store, paths):
    store.upsert(entry())
    assert repr(store) == "VectorStore(len=1, dim=Some(3), wal_pending=1)"
    assert store.dim == 3 and type(store.dim) is int
    assert bool(store) and len(store) == 1


def test_log_lines_are_exact(store, paths):
    store.upsert(VectorEntry("doc-7", [0.5, -1, 100, 0.0000001], 'say "hi"\n', ""))
    store.delete("doc-7")
    assert log_lines(paths[1]) == [
        '{"op":"upsert","data":{"id":"doc-7","embedding":[0.5,-1.0,100.0,1e-7],'
        '"metadata":"say \\"hi\\"\\n","created_at":""}}\n',
        '{"op":"delete","data":{"id":"doc-7"}}\n',
    ]
    assert store.wal_pending == 2 and store.len == 0


def test_store_holds_copies(store):
    e = entry()
    store.upsert(e)
    e.embedding = [9.0, 9.0, 9.0]
    assert store.get("a").embedding == [1.0, 2.0, 3.0]
    got = store.get("a")
    got.embedding = [5.0, 5.0, 5.0]
    assert store.get("a").embedding == [1.0, 2.0, 3.0]
    assert store.get("a") is not store.get("a")


def test_keywords(store):
    store.upsert(entry=entry("k"))
    assert store.get(id="k").id == "k"
    store.upsert_batch(entries=[entry("j")])
    store.delete(id="j")
    assert store.get("j") is None


def test_replace_keeps_len_and_logs_both(store, paths):
    store.upsert(entry("a", (1, 2, 3), "first"))
    store.upsert(entry("a", (4, 5, 6), "second"))
    assert (store.len, store.wal_pending) == (1, 2)
    assert store.get("a").metadata == "second"
    assert len(log_lines(paths[1])) == 2


def test_dim_survives_deleting_the_last_entry(store):
    store.upsert(entry())
    store.delete("a")
    assert (store.len, store.dim, bool(store)) == (0, 3, False)
    assert repr(store) == "VectorStore(len=0, dim=Some(3), wal_pending=2)"


def test_empty_created_at_is_kept(store):
    store.upsert(entry(created_at=""))
    assert store.get("a").created_at == ""


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda s: s.upsert(), TypeError, "VectorStore.upsert() missing 1 required positional argument: 'entry'"),
        (lambda s: s.get("a", "b"), TypeError, "VectorStore.get() takes 1 positional arguments but 2 were given"),
        (lambda s: s.delete(key="a"), TypeError, "VectorStore.delete() got an unexpected keyword argument 'key'"),
        (lambda s: s.upsert({"id": "a"}), TypeError, "argument 'entry': 'dict' object is not an instance of 'VectorEntry'"),
        (lambda s: s.upsert(None), TypeError, "argument 'entry': 'None' is not an instance of 'VectorEntry'"),
        (lambda s: s.upsert_batch([entry("e1"), "x"]), TypeError, "argument 'entries': 'str' object is not an instance of 'VectorEntry'"),
        (lambda s: s.upsert_batch("ab"), TypeError, "argument 'entries': Can't extract `str` to `Vec`"),
        (lambda s: s.upsert_batch(entry("e1")), TypeError, "argument 'entries': 'VectorEntry' object is not an instance of 'Sequence'"),
        (lambda s: s.get(5), TypeError, "argument 'id': 'int' object is not an instance of 'str'"),
        (lambda s: s.upsert(entry(), entry=entry()), TypeError, "VectorStore.upsert() got multiple values for argument 'entry'"),
        (lambda s: VectorStore.new("a.snap", "a.wal", "x"), TypeError, "VectorStore.new() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda s: VectorStore.new(None), TypeError, "argument 'snapshot_path': 'None' is not an instance of 'str'"),
        (lambda s: s.upsert(entry("z", ())), ValueError, "Embedding must not be empty"),
    ],
)
def test_call_errors_write_nothing(store, paths, call, exc, message):
    with pytest.raises(exc) as info:
        call(store)
    assert str(info.value) == message
    assert type(info.value) is exc
    assert (store.len, store.wal_pending, store.dim) == (0, 0, None)
    assert not os.path.exists(paths[1])


def test_tuple_batch_and_duplicate_ids(store, paths):
    store.upsert_batch((entry("x", (1, 1, 1), "old"), entry("y"), entry("x", (2, 2, 2), "new")))
    assert (store.len, store.wal_pending) == (2, 3)
    assert store.get("x").metadata == "new"
    ids = [line.split('"id":"')[1][0] for line in log_lines(paths[1])]
    assert ids == ["x", "y", "x"]


def test_empty_batch_creates_an_empty_log(store, paths):
    store.upsert_batch([])
    assert os.path.getsize(paths[1]) == 0
    assert (store.wal_pending, store.dim) == (0, None)


def test_delete_of_absent_id_is_silent(store, paths):
    assert store.delete("missing") is None
    assert store.wal_pending == 0
    assert not os.path.exists(paths[1])
    assert store.get("missing") is None


@pytest.mark.parametrize(
    "first, second, message, dim_after",
    [
        ((1, 2, 3), (1, 2, 3, 4), "Dimension mismatch: store is 3D, got 4D", 3),
        ((1, 2, 3), (), "Embedding must not be empty", 3),
        ((), (1, 2, 3), "Embedding must not be empty", None),
        ((1, 2, 3), (1, math.nan, 3), "Embedding must contain only finite values", 3),
        ((math.inf,), (1,), "Embedding must contain only finite values", None),
        ((1, 2, 3), (math.nan,), "Embedding must contain only finite values", 3),
    ],
)
def test_rejected_batch_writes_nothing(store, paths, first, second, message, dim_after):
    with pytest.raises(ValueError) as info:
        store.upsert_batch([entry("p", first), entry("q", second)])
    assert str(info.value) == message
    assert (store.len, store.wal_pending, store.dim) == (0, 0, dim_after)
    assert not os.path.exists(paths[1])


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, 1e39])
def test_non_finite_upsert_is_refused_and_fixes_no_dim(store, paths, bad):
    with pytest.raises(ValueError, match="^Embedding must contain only finite values$"):
        store.upsert(entry("a", (1.0, bad)))
    assert (store.len, store.dim, store.wal_pending) == (0, None, 0)
    assert not os.path.exists(paths[1])
    store.upsert(entry("b", (1.0, 2.0, 3.0, 4.0)))  # the store takes any length afterwards
    assert store.dim == 4


def test_non_finite_is_checked_before_the_dimension(store):
    store.upsert(entry())
    with pytest.raises(ValueError, match="^Embedding must contain only finite values$"):
        store.upsert(entry("b", (math.nan,)))


def test_mismatch_leaves_log_unchanged(store, paths):
    store.upsert(entry())
    before = log_lines(paths[1])
    with pytest.raises(ValueError, match=r"^Dimension mismatch: store is 3D, got 4D$"):
        store.upsert(entry("b", (1, 2, 3, 4)))
    assert log_lines(paths[1]) == before


def test_wal_path_that_is_a_directory(tmp_path):
    store = VectorStore.new(str(tmp_path / "s.snap"), str(tmp_path))
    with pytest.raises(OSError) as info:
        store.upsert(entry())
    assert str(info.value) == "Is a directory (os error 21)"
    assert type(info.value) is OSError and info.value.errno is None
    assert (store.len, store.dim, store.wal_pending) == (0, None, 0)  # nothing stored fixes no dimension


def test_a_device_as_the_log_is_refused(tmp_path):
    store = VectorStore.new(str(tmp_path / "s.snap"), "/dev/full")
    for call in (lambda: store.upsert(entry()), lambda: store.upsert_batch([entry("b"), entry("c")])):
        with pytest.raises(OSError) as info:
            call()
        assert str(info.value) == "not a regular file: /dev/full"
    assert (store.len, store.wal_pending, store.dim) == (0, 0, None)


def test_failed_delete_keeps_the_entry(tmp_path):
    wal = tmp_path / "store.wal"
    store = VectorStore.new(str(tmp_path / "s.snap"), str(wal))
    store.upsert(entry())
    wal.unlink()
    wal.mkdir()  # the next append cannot open the log
    with pytest.raises(OSError):
        store.delete("a")
    assert store.get("a") is not None
    assert (store.len, store.wal_pending) == (1, 1)


FSIZE_CHILD = r"""
import os, resource, signal, sys
from sorvid_vector_db import VectorEntry, VectorStore
wal, limit, batch = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
store = VectorStore.new(wal + ".snap", wal)
entries = [VectorEntry(f"id-{i}", [float(i)] * 64, "m" * 50) for i in range(batch)]
try:
    store.upsert_batch(entries)
    print("ok", store.len, store.wal_pending)
except OSError as exc:
    print("error", store.len, store.wal_pending, exc)
"""


@pytest.mark.parametrize("limit", [1, 600, 5000, 9000, 20000])
def test_file_too_large_cuts_the_log_back(tmp_path, limit):
    import subprocess

    wal = tmp_path / "store.wal"
    prefix = b'{"op":"delete","data":{"id":"zzz"}}\n'
    wal.write_bytes(prefix)
    result = subprocess.run(
        [sys.executable, "-c", FSIZE_CHILD, str(wal), str(limit + len(prefix)), "60"],
        capture_output=True, text=True, timeout=60,
    )
    assert result.returncode == 0, result.stderr
    words = result.stdout.split(maxsplit=3)
    if words[0] == "ok":  # the whole batch fitted under the limit
        assert wal.stat().st_size <= limit + len(prefix)
        return
    assert words[:3] == ["error", "0", "0"]
    assert words[3].strip() == "File too large (os error 27)"
    assert wal.read_bytes() == prefix


def test_torn_tail_is_cut_before_appending(paths):
    snap, wal = paths
    good = '{"op":"delete","data":{"id":"x"}}\n'
    with open(wal, "w") as f:
        f.write(good + '{"op":"upsert","data":{"id":"half')
    store = VectorStore.new(snap, wal)
    store.upsert(entry())
    lines = log_lines(wal)
    assert lines[0] == good and len(lines) == 2
    assert lines[1].startswith('{"op":"upsert","data":{"id":"a"')


def test_complete_last_line_gets_its_line_feed(paths):
    snap, wal = paths
    with open(wal, "w") as f:
        f.write('{"op":"delete","data":{"id":"x"}}')
    store = VectorStore.new(snap, wal)
    store.delete("nothing")  # absent: writes nothing, repairs nothing
    assert log_lines(wal) == ['{"op":"delete","data":{"id":"x"}}']
    store.upsert(entry())
    lines = log_lines(wal)
    assert lines[0] == '{"op":"delete","data":{"id":"x"}}\n' and len(lines) == 2


def test_members_and_docstrings():
    members = [name for name in vars(VectorStore) if not name.startswith("__")]
    assert members == ["new", "open", "upsert", "upsert_batch", "delete", "get", "search", "search_batch",
                       "search_filtered", "ids", "sync", "compact", "len", "dim", "wal_pending"]
    signatures = {
        "new": '(snapshot_path="store.snap", wal_path="store.wal")',
        "open": '(snapshot_path="store.snap", wal_path="store.wal")',
        "upsert": "($self, entry)",
        "upsert_batch": "($self, entries)",
        "delete": "($self, id)",
        "get": "($self, id)",
        "search": "($self, query, top_k=10)",
        "search_batch": "($self, queries, top_k=10)",
        "search_filtered": "($self, query, allowed, top_k=10)",
        "ids": "($self)",
        "sync": "($self)",
        "compact": "($self)",
    }
    for name, text in signatures.items():
        assert getattr(VectorStore, name).__text_signature__ == text, name
    assert VectorStore.upsert.__doc__ == "Insert or replace an entry by ID. O(1) WAL append \u2014 no index rebuild."
    assert VectorStore.search.__doc__ == (
        "Search top-k nearest neighbours.\nReturns a list of (VectorEntry, distance) tuples.\n"
        "Rebuilds the HNSW index lazily only when the live state has changed."
    )
    assert VectorStore.compact.__doc__ == (
        "Merge WAL into snapshot, truncate WAL file, rebuild HNSW index once.\n"
        "Call after large batch inserts or on a schedule."
    )
    assert VectorStore.len.__doc__ == "Number of live entries."
    assert VectorStore.dim.__doc__ == "Fixed embedding dimension, or None if the store is empty."
    assert VectorStore.wal_pending.__doc__ == "WAL ops not yet merged into the snapshot."
    assert VectorStore.__doc__ is None


def test_class_cannot_be_called_and_properties_are_read_only(store):
    with pytest.raises(TypeError):
        VectorStore()
    for name in ("len", "dim", "wal_pending", "other"):
        with pytest.raises(AttributeError):
            setattr(store, name, 5)


def test_reentrant_batch_gets_already_borrowed(store):
    class Sneaky(list):
        def __iter__(self):
            store.upsert(entry("inner"))
            return super().__iter__()

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        store.upsert_batch(Sneaky([entry("outer")]))
    assert store.len == 0


def test_reentrant_read_during_exclusive_call(store):
    seen = []

    class Sneaky(list):
        def __iter__(self):
            try:
                seen.append(store.len)
            except RuntimeError as exc:
                seen.append(str(exc))
            return super().__iter__()

    store.upsert_batch(Sneaky([entry("x")]))
    assert seen == ["Already mutably borrowed"]
    assert store.len == 1  # the outer call still succeeded


def run_in_thread(fn):
    outcome = {}

    def target():
        try:
            outcome["value"] = fn()
        except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
            outcome["error"] = exc

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome


@pytest.mark.parametrize(
    "use",
    [
        lambda s: s.len,
        lambda s: s.dim,
        lambda s: s.wal_pending,
        lambda s: len(s),
        lambda s: bool(s),
        lambda s: repr(s),
        lambda s: s.get("a"),
        lambda s: s.upsert(entry("t")),
        lambda s: s.delete("a"),
        lambda s: s.upsert_batch([]),
        lambda s: s.search_batch([[1.0, 2.0]]),
        lambda s: s.search_filtered([1.0, 2.0], ["a"]),
        lambda s: s.ids(),
        lambda s: s.sync(),
    ],
)
def test_foreign_thread_raises_panic(store, paths, use, capfd):
    store.upsert(entry())
    outcome = run_in_thread(lambda: use(store))
    error = outcome["error"]
    assert not isinstance(error, Exception)
    assert isinstance(error, BaseException)
    assert type(error).__name__ == "PanicException"
    assert type(error).__bases__ == (BaseException,)
    text = error.args[0]
    head, left, right = text.split("\n")
    assert head == ("assertion `left == right` failed: sorvid_vector_db::VectorStore is unsendable, "
                    "but sent to another thread")
    assert left.startswith("  left: ThreadId(") and right.startswith(" right: ThreadId(")
    assert left[len("  left: "):] != right[len(" right: "):]
    assert "panicked at" in capfd.readouterr().err
    assert (store.len, store.wal_pending) == (1, 1)  # nothing happened


def test_binding_errors_come_before_the_thread_check(store):
    outcome = run_in_thread(lambda: store.get())
    assert type(outcome["error"]) is TypeError


def test_panic_exception_type_is_created_once(store):
    first = run_in_thread(lambda: store.len)["error"]
    second = run_in_thread(lambda: store.len)["error"]
    assert type(first) is type(second)


def test_stores_on_other_threads_are_independent(paths):
    outcome = run_in_thread(lambda: _make_and_fill(paths))
    assert outcome == {"value": (1, 3)}


def _make_and_fill(paths):
    store = VectorStore.new(*paths)
    store.upsert(entry())
    return store.len, store.dim


def test_drop_on_foreign_thread_reports_unraisable(paths):
    gc.collect()  # stores left by earlier tests must not report during this one
    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda info: seen.append((type(info.exc_value), str(info.exc_value)))
    try:
        holder = [VectorStore.new(*paths)]
        run_in_thread(lambda: holder.clear())
        gc.collect()
    finally:
        sys.unraisablehook = old_hook
    expected = (RuntimeError, "sorvid_vector_db::VectorStore is unsendable, but is being dropped on another thread")
    assert seen and all(report == expected for report in seen)
