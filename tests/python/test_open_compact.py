"""Opening a store from its files and compacting it."""
import os
import pathlib
import random
import signal
import struct
import subprocess
import sys
import time

import pytest

from sorvid_vector_db import VectorEntry, VectorStore

UPSERT_A = '{"op":"upsert","data":{"id":"a","embedding":[1.0,2.0,3.0],"metadata":"m","created_at":"t"}}'
UPSERT_B = '{"op":"upsert","data":{"id":"b","embedding":[4.0,5.0,6.0],"metadata":"","created_at":""}}'
DELETE_A = '{"op":"delete","data":{"id":"a"}}'
SNAPSHOT = (
    '{"dim":3,"entries":[{"id":"a","embedding":[1.0,0.0,0.25],"metadata":"","created_at":""},'
    '{"id":"b","embedding":[-0.5,2.0,1e-7],"metadata":"blue","created_at":"t1"}]}'
)


def write(path, data):
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(path, mode) as f:
        f.write(data)


def test_open_with_no_files_is_empty_and_creates_nothing(paths):
    store = VectorStore.open(*paths)
    assert (store.len, store.dim, store.wal_pending) == (0, None, 0)
    assert not any(os.path.exists(p) for p in paths)


def test_open_with_only_a_snapshot(paths):
    write(paths[0], SNAPSHOT)
    store = VectorStore.open(*paths)
    assert (store.len, store.dim, store.wal_pending) == (2, 3, 0)
    b = store.get("b")
    assert (b.embedding, b.metadata, b.created_at) == ([-0.5, 2.0, 1.0000000116860974e-07], "blue", "t1")


def test_open_defaults_and_keywords(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write("store.snap", '{"dim":2,"entries":[]}')
    assert VectorStore.open().dim == 2
    assert VectorStore.open(wal_path="other.wal", snapshot_path="store.snap").dim == 2


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "EOF while parsing a value at line 1 column 0"),
        (b"\n", "EOF while parsing a value at line 2 column 0"),
        (b"\xef\xbb\xbf{}", "expected value at line 1 column 1"),
        (b'{"dim":2}', "missing field `entries` at line 1 column 9"),
        (b'{"dim":-1,"entries":[]}', "invalid value: integer `-1`, expected usize at line 1 column 9"),
        (b'{"dim":0,"entries":[]}{}', "trailing characters at line 1 column 23"),
    ],
)
def test_bad_snapshot_fails_the_open(paths, content, message):
    write(paths[0], content)
    with pytest.raises(ValueError) as info:
        VectorStore.open(*paths)
    assert str(info.value) == message


def test_log_with_blank_and_crlf_lines(paths):
    write(paths[1], "\n   \n\t\n" + UPSERT_A + "\r\n\r\n" + UPSERT_B + "\r\n \u3000 \n" + DELETE_A)
    store = VectorStore.open(*paths)
    assert (store.len, store.wal_pending, store.dim) == (1, 3, 3)
    assert store.get("a") is None and store.get("b").embedding == [4.0, 5.0, 6.0]


@pytest.mark.parametrize(
    "lines, exc, message",
    [
        (["{"], ValueError, "EOF while parsing an object at line 1 column 1"),
        (['{"op":"upsert","data":{"id":"e","embedding":[],"metadata":"","created_at":""}}'],
         ValueError, "Embedding must not be empty"),
        ([UPSERT_A, '{"op":"upsert","data":{"id":"e","embedding":[1,2,3,4],"metadata":"","created_at":""}}'],
         ValueError, "Dimension mismatch: store is 3D, got 4D"),
        (['{"op":"upsert","data":{"id":"e","embedding":[1e39],"metadata":"","created_at":""}}'],
         ValueError, "Embedding must contain only finite values"),
        (['{"op":"remove","data":{"id":"x"}}'],
         ValueError, "unknown variant `remove`, expected `upsert` or `delete` at line 1 column 14"),
    ],
)
def test_bad_log_line_fails_the_open(paths, lines, exc, message):
    write(paths[1], "".join(line + "\n" for line in lines))
    with pytest.raises(exc) as info:
        VectorStore.open(*paths)
    assert str(info.value) == message


def test_snapshot_dim_checks_logged_upserts(paths):
    write(paths[0], '{"dim":3,"entries":[]}')
    write(paths[1], '{"op":"upsert","data":{"id":"e","embedding":[1,2,3,4],"metadata":"","created_at":""}}\n')
    with pytest.raises(ValueError, match=r"^Dimension mismatch: store is 3D, got 4D$"):
        VectorStore.open(*paths)


def test_non_finite_snapshot_entry_fails_the_open(paths):
    write(paths[0], '{"dim":1,"entries":[{"id":"x","embedding":[-1e39],"metadata":"","created_at":""}]}')
    with pytest.raises(ValueError, match="^Embedding must contain only finite values$"):
        VectorStore.open(*paths)


@pytest.mark.parametrize("which", [0, 1])
def test_invalid_utf8_is_an_io_error(paths, which):
    write(paths[which], b'{"dim":0,"entries":[],"x":"\xff"}\n' if which == 0 else
          b'{"op":"delete","data":{"id":"\xff"}}\n' + DELETE_A.encode() + b"\n")
    with pytest.raises(OSError, match="^stream did not contain valid UTF-8$"):
        VectorStore.open(*paths)


def test_missing_directory_counts_as_missing_file(tmp_path):
    store = VectorStore.open(str(tmp_path / "no" / "s.snap"), str(tmp_path / "no" / "s.wal"))
    assert store.len == 0


def test_snapshot_path_that_is_a_directory(tmp_path):
    with pytest.raises(OSError, match=r"^Is a directory \(os error 21\)$"):
        VectorStore.open(str(tmp_path), str(tmp_path / "s.wal"))


def test_torn_tail_is_ignored_when_it_does_not_decode(paths):
    write(paths[1], UPSERT_A + "\n" + UPSERT_B[:40])
    store = VectorStore.open(*paths)
    assert (store.len, store.wal_pending) == (1, 1)
    write(paths[1], UPSERT_A.encode() + b"\n" + b'{"op":"delete","data":{"id":"\xc3')
    assert VectorStore.open(*paths).wal_pending == 1


def test_final_line_without_line_feed_is_applied(paths):
    write(paths[1], UPSERT_A + "\n" + DELETE_A)
    store = VectorStore.open(*paths)
    assert (store.len, store.wal_pending) == (0, 2)


def test_only_deletes_of_absent_ids(paths):
    write(paths[1], (DELETE_A + "\n") * 3)
    store = VectorStore.open(*paths)
    assert (store.len, store.wal_pending, store.dim) == (0, 3, None)
    store.compact()
    assert pathlib.Path(paths[0]).read_text() == '{"dim":0,"entries":[]}'
    reopened = VectorStore.open(*paths)
    assert reopened.dim is None
    reopened.upsert(VectorEntry("z", [1.0] * 7))
    assert reopened.dim == 7


def test_compact_with_nothing_pending_touches_no_file(paths):
    store = VectorStore.new(*paths)
    store.compact()
    assert not any(os.path.exists(p) for p in paths)
    write(paths[0], SNAPSHOT)
    write(paths[1], "")
    before = [os.stat(p).st_mtime_ns for p in paths]
    time.sleep(0.01)
    VectorStore.open(*paths).compact()
    assert [os.stat(p).st_mtime_ns for p in paths] == before


def test_upsert_compact_reopen(paths):
    store = VectorStore.new(*paths)
    store.upsert_batch([VectorEntry(f"k{i}", [float(i), 1.0], f"m{i}", "t") for i in range(20)])
    store.delete("k3")
    store.compact()
    assert os.path.getsize(paths[1]) == 0 and store.wal_pending == 0
    reopened = VectorStore.open(*paths)
    assert (reopened.len, reopened.dim, reopened.wal_pending) == (19, 2, 0)
    for i in range(20):
        got = reopened.get(f"k{i}")
        assert (got is None) == (i == 3)
        if got:
            assert (got.embedding, got.metadata, got.created_at) == ([float(i), 1.0], f"m{i}", "t")
    assert sorted(os.listdir(os.path.dirname(paths[0]))) == ["store.snap", "store.snap.f32", "store.snap.hnsw",
                                                             "store.wal"]


# Values whose bits are the easiest to lose: -0, the smallest subnormal, the extremes, values of nine digits.
EDGE_VALUES = [-0.0, 1e-45, 3.4028234663852886e38, -3.4028234663852886e38, 0.1, -1.0 / 3.0]


def float_bits(values):
    return struct.pack(f"<{len(values)}f", *values)


@pytest.mark.parametrize("damage", ["none", "flipped", "cut", "stale", "removed"])
def test_reopen_gives_the_compacted_embeddings_whatever_became_of_the_vector_file(paths, damage):
    """Compaction saves the embeddings beside the snapshot as raw floats, which the next open takes instead of
    reading their text; a damaged or stale file is passed over and the text read."""
    entries = {f"k{i}": EDGE_VALUES[i:] + EDGE_VALUES[:i] for i in range(len(EDGE_VALUES))}
    store = VectorStore.new(*paths)
    store.upsert_batch([VectorEntry(key, values) for key, values in entries.items()])
    store.compact()
    vectors = pathlib.Path(paths[0] + ".f32")
    content = vectors.read_bytes()
    if damage == "flipped":
        middle = len(content) // 2  # among the values
        vectors.write_bytes(content[:middle] + bytes([content[middle] ^ 0x10]) + content[middle + 1:])
    elif damage == "cut":
        vectors.write_bytes(content[:-1])
    elif damage == "stale":
        entries["k0"] = [1.0] * len(EDGE_VALUES)
        store.upsert(VectorEntry("k0", entries["k0"]))
        store.compact()
        vectors.write_bytes(content)
    elif damage == "removed":
        vectors.unlink()
    reopened = VectorStore.open(*paths)
    assert {key: float_bits(reopened.get(key).embedding) for key in entries} == {
        key: float_bits(values) for key, values in entries.items()}


def test_compact_rebuilds_so_search_is_ready(paths):
    store = VectorStore.new(*paths)
    store.upsert_batch([VectorEntry(str(i), [float(i), 1.0]) for i in range(1, 30)])
    store.compact()
    assert len(store.search([1.0, 1.0], top_k=5)) == 5


def test_new_on_existing_files_reads_nothing(paths):
    write(paths[0], SNAPSHOT)
    write(paths[1], UPSERT_A + "\n")
    store = VectorStore.new(*paths)
    assert store.len == 0
    store.upsert(VectorEntry("c", [1.0, 1.0, 1.0]))
    assert pathlib.Path(paths[1]).read_text().splitlines()[0] == UPSERT_A
    store.compact()
    assert '"id":"a"' not in pathlib.Path(paths[0]).read_text()
    assert VectorStore.open(*paths).len == 1


@pytest.mark.parametrize("bad", [None, pathlib.Path("x.snap"), b"x.snap"])
def test_open_refuses_non_str_paths(bad):
    with pytest.raises(TypeError) as info:
        VectorStore.open(bad)
    name = "None" if bad is None else type(bad).__qualname__
    expected = "'None' is not an instance of 'str'" if bad is None else f"'{name}' object is not an instance of 'str'"
    assert str(info.value) == "argument 'snapshot_path': " + expected


def test_compact_takes_no_arguments(store, paths):
    store.upsert(VectorEntry("a", [1.0]))
    with pytest.raises(TypeError):
        store.compact(1)
    assert not os.path.exists(paths[0])


@pytest.mark.parametrize("make_bad", ["missing_dir", "directory"])
def test_failed_compact_keeps_old_files(tmp_path, make_bad):
    wal = tmp_path / "store.wal"
    if make_bad == "missing_dir":
        snap = tmp_path / "missing" / "store.snap"
    else:
        snap = tmp_path / "snapdir"
        snap.mkdir()
        (snap / "keep").write_text("x")
    store = VectorStore.new(str(snap), str(wal))
    store.upsert(VectorEntry("a", [1.0, 2.0]))
    log_before = wal.read_bytes()
    with pytest.raises(OSError):
        store.compact()
    assert store.wal_pending == 1
    assert wal.read_bytes() == log_before
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["store.wal"] + (["snapdir"] if make_bad == "directory" else []))


def test_compact_replaces_the_snapshot_whole(paths):
    write(paths[0], SNAPSHOT)
    store = VectorStore.open(*paths)
    store.upsert(VectorEntry("c", [7.0, 8.0, 9.0]))
    store.compact()
    text = pathlib.Path(paths[0]).read_text()
    assert text.startswith('{"dim":3,"entries":[') and text.endswith("]}")
    assert not text.endswith("\n")
    assert VectorStore.open(*paths).len == 3


# Every prefix of a valid log opens, and holds exactly the records whose text
# the prefix contains in full (with or without the line feed).

def _log_records():
    rng = random.Random(11)
    records = []
    for i in range(8):
        if i % 3 == 2:
            records.append(("delete", f"id{i - 1}", None))
        else:
            records.append(("upsert", f"id{i}", [round(rng.uniform(-1, 1), 3) for _ in range(3)]))
    return records


def _record_line(record):
    op, entry_id, embedding = record
    if op == "delete":
        return f'{{"op":"delete","data":{{"id":"{entry_id}"}}}}'
    values = ",".join(repr(float(x)) for x in embedding)
    return f'{{"op":"upsert","data":{{"id":"{entry_id}","embedding":[{values}],"metadata":"é","created_at":""}}}}'


def test_log_cut_at_every_byte(paths):
    records = _log_records()
    lines = [_record_line(r).encode() + b"\n" for r in records]
    full = b"".join(lines)
    ends = [sum(len(x) for x in lines[: i + 1]) for i in range(len(lines))]
    for cut in range(len(full) + 1):
        write(paths[1], full[:cut])
        complete = sum(1 for end in ends if cut >= end - 1)  # the line feed may be missing
        store = VectorStore.open(*paths)
        expected = {}
        for op, entry_id, embedding in records[:complete]:
            if op == "delete":
                expected.pop(entry_id, None)
            else:
                expected[entry_id] = embedding
        assert store.wal_pending == complete, cut
        assert store.len == len(expected), cut
        for entry_id, embedding in expected.items():
            assert store.get(entry_id).embedding == pytest.approx(embedding, rel=1e-6), cut


CRASH_CHILD = r"""
import sys
from sorvid_vector_db import VectorEntry, VectorStore
snap, wal, start = sys.argv[1], sys.argv[2], int(sys.argv[3])
store = VectorStore.open(snap, wal)
i = start
while True:
    if i % 7 == 3:
        store.upsert_batch([VectorEntry(f"b{i}-{k}", [float(i), float(k), 1.0], "x" * 300) for k in range(20)])
    else:
        store.upsert(VectorEntry(f"u{i}", [float(i), 2.0, 3.0], "y" * 500))
    if i % 50 == 49:
        store.compact()
    print(i, flush=True)
    i += 1
"""


def test_killed_writer_loses_no_acknowledged_upsert(paths):
    rng = random.Random(2024)
    acknowledged = set()
    start = 0
    for _ in range(12):
        child = subprocess.Popen([sys.executable, "-c", CRASH_CHILD, *paths, str(start)],
                                 stdout=subprocess.PIPE, text=True)
        time.sleep(rng.uniform(0.15, 0.6))
        child.send_signal(signal.SIGKILL)
        out, _ = child.communicate()
        done = [int(x) for x in out.split()]
        for i in done:
            acknowledged.update([f"b{i}-{k}" for k in range(20)] if i % 7 == 3 else [f"u{i}"])
        start = (max(done) + 1 if done else start) + 1000
        store = VectorStore.open(*paths)
        missing = [x for x in acknowledged if store.get(x) is None]
        assert not missing
        store.upsert(VectorEntry("after-crash", [1.0, 1.0, 1.0]))
        del store
