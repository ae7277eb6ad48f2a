"""Model-based test: random runs of store operations, checked step by step against a plain Python model.

The model has two halves. Memory is what the live store must show (entries, `dim`, `wal_pending`); disk is
what its two files must hold (the snapshot's `dim` and entries, and the log's records in order). Every rule
applies an operation to the real store and to the model, and the invariants compare the two after every
step: the entries bit for bit, the counters, and the log and snapshot files record by record. Reopening
from disk replays the disk model, so the files are checked for what they make of a store, not only for
their text.

Profiles: "ci" (the default) is bounded for `make test`; "soak" runs far more and longer sequences and is
selected with SORVID_MODEL_PROFILE=soak (see `make soak`).
"""
import json
import math
import os
import shutil
import struct
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from sorvid_vector_db import VectorEntry, VectorStore

settings.register_profile(
    "ci", max_examples=60, stateful_step_count=40, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
settings.register_profile(
    "soak", max_examples=3000, stateful_step_count=120, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
PROFILE = os.environ.get("SORVID_MODEL_PROFILE", "ci")

EMPTY_MESSAGE = "Embedding must not be empty"
NON_FINITE_MESSAGE = "Embedding must contain only finite values"
MAX_HITS = 100  # a search never returns more hits than its result list holds

# A small pool of ids, so that runs upsert, replace and delete the same ids
# often; among them the empty id, NUL, quotes, escapes and non-BMP text.
ID_POOL = ["a", "b", "c", "", "\x00", 'q"\\', "line\nfeed", "é", "\U0001d11e", "\u2028"]
ids = st.one_of(st.sampled_from(ID_POOL), st.text(max_size=6))
texts = st.text(max_size=12)
# Every finite 32-bit float (zeros of both signs, subnormals, the extremes),
# with ordinary magnitudes drawn more often.
FLOAT32_MAX = float(np.finfo(np.float32).max)
finite_floats = st.one_of(
    st.floats(-10.0, 10.0, width=32),
    st.floats(-FLOAT32_MAX, FLOAT32_MAX, width=32),
)
# The files compaction writes beside the snapshot: the graph, and the embeddings as raw floats.
SAVED_BESIDE = [".hnsw", ".f32"]
non_finite_values = st.sampled_from([math.nan, math.inf, -math.inf, 1e39, -1e300])
top_ks = st.one_of(st.integers(0, 12), st.sampled_from([100, 101, 1000, 2**64 - 1]))


def bits(values):
    """The 32-bit patterns of a list of floats, for exact comparison (NaN and -0.0 included)."""
    return struct.unpack(f"{len(values)}I", np.asarray(values, dtype=np.float32).tobytes())


def nan_last(distance):
    """A sort key that puts NaN after every number."""
    return (1, 0.0) if math.isnan(distance) else (0, distance)


def float32_of_json(value):
    """A number read from the files, as the store reads it: to double, then to the nearest 32-bit float."""
    with np.errstate(over="ignore"):
        return float(np.float32(value))


class ModelEntry:
    """An entry as the model keeps it: texts and the embedding's bit patterns."""

    def __init__(self, entry_id, embedding, metadata="", created_at=""):
        self.id, self.metadata, self.created_at = entry_id, metadata, created_at
        self.embedding = [float32_of_json(x) for x in embedding]
        self.bits = bits(self.embedding)

    def key(self):
        return (self.id, self.bits, self.metadata, self.created_at)

    def to_vector_entry(self):
        return VectorEntry(self.id, self.embedding, self.metadata, self.created_at)

    @classmethod
    def of(cls, vector_entry):
        return cls(vector_entry.id, vector_entry.embedding, vector_entry.metadata, vector_entry.created_at)

    @classmethod
    def of_json(cls, data):
        return cls(data["id"], data["embedding"], data["metadata"], data["created_at"])


def reference_distance(query, embedding):
    """Cosine distance in 32-bit arithmetic, products summed in index order, clamped to [0, 2].

    A vector whose in-order sum of squares is below the smallest normal float32 although some value is not
    zero is used times 2 ** -ilogb(max |value|), an exact scaling that brings its largest value into [1, 2):
    the distance does not depend on either vector's scale, and this way its norm does not underflow.
    """

    def scored_form(vector):
        total = np.float32(-0.0)
        for x in vector:
            total = np.float32(total + np.float32(x * x))
        largest = max((abs(float(x)) for x in vector), default=0.0)
        if not total < np.finfo(np.float32).tiny or largest == 0.0:
            return vector
        exponent = 1 - math.frexp(largest)[1]  # frexp's exponent is ilogb + 1
        return np.array([math.ldexp(float(x), exponent) for x in vector], dtype=np.float32)

    with np.errstate(all="ignore"):
        q = scored_form(np.asarray(query, dtype=np.float32))
        e = scored_form(np.asarray(embedding, dtype=np.float32))
        dot, qq, ee = np.float32(-0.0), np.float32(-0.0), np.float32(-0.0)
        for x, y in zip(q, e, strict=False):
            dot = np.float32(dot + np.float32(x * y))
        for x in q:
            qq = np.float32(qq + np.float32(x * x))
        for y in e:
            ee = np.float32(ee + np.float32(y * y))
        product = np.float32(np.sqrt(qq) * np.sqrt(ee))
        if product == 0:
            return 2.0
        distance = np.float32(np.float32(1.0) - np.float32(dot / product))
    if distance < 0:
        return 0.0
    if distance > 2:
        return 2.0
    return float(distance)  # NaN stays NaN


class Admission:
    """The check every incoming embedding passes, on a model `dim`: not empty, finite, the right length.

    The first admitted embedding fixes an unset `dim`, and that stays even when a later embedding of the
    same call is refused.
    """

    def __init__(self, dim):
        self.dim = dim

    def admit(self, embedding):
        """None when admitted, else the refusal message."""
        if not embedding:
            return EMPTY_MESSAGE
        if not all(math.isfinite(float32_of_json(x)) for x in embedding):
            return NON_FINITE_MESSAGE
        if self.dim is not None and self.dim != len(embedding):
            return f"Dimension mismatch: store is {self.dim}D, got {len(embedding)}D"
        if self.dim is None:
            self.dim = len(embedding)
        return None


def replay(snapshot, log):
    """What opening the files gives: (dim, entries, wal_pending), or the message the open fails with."""
    dim, entries = None, {}
    if snapshot is not None:
        snapshot_dim, snapshot_entries = snapshot
        dim = snapshot_dim or None
        entries = dict(snapshot_entries)
    admission = Admission(dim)
    for op, payload in log:
        if op == "delete":
            entries.pop(payload, None)
            continue
        refused = admission.admit(payload.embedding)
        if refused:
            return refused
        entries[payload.id] = payload
    return admission.dim, entries, len(log)


class StoreMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.directory = tempfile.mkdtemp(prefix="sorvid-model-")
        self.paths = (os.path.join(self.directory, "store.snap"), os.path.join(self.directory, "store.wal"))
        self.store = VectorStore.new(*self.paths)
        # Memory.
        self.entries = {}
        self.dim = None
        self.wal_pending = 0
        # Disk: the snapshot as (dim, entries) or None when there is none, and the log's records.
        self.snapshot = None
        self.log = []
        self.seen_ids = set()

    def teardown(self):
        del self.store
        shutil.rmtree(self.directory, ignore_errors=True)

    # Drawing values that depend on the state.

    def embedding_length(self, data):
        return self.dim if self.dim is not None else data.draw(st.integers(1, 6), label="new dim")

    def draw_entry(self, data, length=None):
        length = self.embedding_length(data) if length is None else length
        embedding = data.draw(st.lists(finite_floats, min_size=length, max_size=length), label="embedding")
        entry = ModelEntry(data.draw(ids, label="id"), embedding, data.draw(texts), data.draw(texts))
        return entry

    def draw_bad_entry(self, data):
        """An entry the store must refuse: empty, non-finite, or of the wrong length."""
        kinds = ["empty", "non_finite"] + (["wrong_length"] if self.dim is not None else [])
        kind = data.draw(st.sampled_from(kinds), label="fault")
        entry = self.draw_entry(data)
        if kind == "empty":
            entry.embedding = []
        elif kind == "non_finite":
            position = data.draw(st.integers(0, len(entry.embedding) - 1))
            entry.embedding[position] = data.draw(non_finite_values)
        else:
            length = self.draw_wrong_length(data)
            entry.embedding = data.draw(st.lists(finite_floats, min_size=length, max_size=length))
        entry.bits = None  # never stored
        return entry

    def draw_wrong_length(self, data):
        """A length from 1 to 7 other than the store's `dim`."""
        length = data.draw(st.integers(1, 6), label="wrong length")
        return length if length < self.dim else length + 1

    def present_or_any_id(self, data):
        if self.entries and data.draw(st.booleans(), label="present id"):
            return data.draw(st.sampled_from(sorted(self.entries)), label="id")
        return data.draw(ids, label="id")

    # Applying a mutation to the model once the store has accepted it.

    def log_upserts(self, batch):
        for entry in batch:
            self.entries[entry.id] = entry
            self.log.append(("upsert", entry))
            self.seen_ids.add(entry.id)
        self.wal_pending += len(batch)

    def expect_refusal(self, call, batch):
        """Runs a mutation the model says is refused; only the `dim` of the first admitted entry stays."""
        admission = Admission(self.dim)
        message = next(m for m in map(admission.admit, (e.embedding for e in batch)) if m)
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
        self.dim = admission.dim

    # Rules.

    @rule(data=st.data())
    def upsert(self, data):
        entry = self.draw_entry(data)
        self.store.upsert(entry.to_vector_entry())
        self.dim = len(entry.embedding) if self.dim is None else self.dim
        self.log_upserts([entry])

    @rule(data=st.data(), size=st.integers(0, 6))
    def upsert_batch(self, data, size):
        length = self.embedding_length(data)
        batch = [self.draw_entry(data, length) for _ in range(size)]
        container = data.draw(st.sampled_from([list, tuple]))
        self.store.upsert_batch(container(e.to_vector_entry() for e in batch))
        if batch and self.dim is None:
            self.dim = length
        self.log_upserts(batch)

    @rule(data=st.data())
    def refused_upsert(self, data):
        entry = self.draw_bad_entry(data)
        self.expect_refusal(lambda: self.store.upsert(entry.to_vector_entry()), [entry])

    @rule(data=st.data(), size=st.integers(1, 5))
    def refused_batch(self, data, size):
        length = self.embedding_length(data)
        batch = [self.draw_entry(data, length) for _ in range(size)]
        batch.insert(data.draw(st.integers(0, size), label="bad position"), self.draw_bad_entry(data))
        self.expect_refusal(lambda: self.store.upsert_batch([e.to_vector_entry() for e in batch]), batch)

    @rule(data=st.data())
    def refused_by_type(self, data):
        """Binding and conversion errors are raised before the engine runs: nothing changes."""
        entry = self.draw_entry(data).to_vector_entry()
        call, exception = data.draw(st.sampled_from([
            (lambda: self.store.upsert(entry.id), TypeError),
            (lambda: self.store.upsert_batch([entry, entry.embedding]), TypeError),
            (lambda: self.store.upsert_batch(entry.id or "x"), TypeError),
            (lambda: self.store.delete(entry.embedding), TypeError),
            (lambda: self.store.delete(entry.id, entry.id), TypeError),
            (lambda: self.store.search(entry.embedding, top_k=-1), OverflowError),
            (lambda: self.store.search(entry.embedding + ["x"]), TypeError),
            (lambda: self.store.upsert(entry, entry=entry), TypeError),
        ]), label="refused call")
        with pytest.raises(exception):
            call()

    @rule(data=st.data())
    def delete(self, data):
        entry_id = self.present_or_any_id(data)
        self.store.delete(entry_id)
        if self.entries.pop(entry_id, None) is not None:
            self.log.append(("delete", entry_id))
            self.wal_pending += 1
        self.seen_ids.add(entry_id)

    @rule(entry_id=ids)
    def get(self, entry_id):
        got = self.store.get(entry_id)
        expected = self.entries.get(entry_id)
        assert (got is None) == (expected is None)
        if got is not None:
            assert ModelEntry.of(got).key() == expected.key()

    @rule(data=st.data(), top_k=top_ks)
    def search(self, data, top_k):
        length = self.dim if self.dim is not None else data.draw(st.integers(1, 6))
        query = data.draw(st.lists(finite_floats, min_size=length, max_size=length), label="query")
        hits = self.store.search(query, top_k=top_k)
        assert isinstance(hits, list)
        assert len(hits) <= min(top_k, MAX_HITS, len(self.entries))
        if top_k > 0 and self.entries:
            assert hits  # the walk always reaches at least its entry point
        distances = [distance for _, distance in hits]
        finite = [d for d in distances if not math.isnan(d)]
        assert finite == sorted(finite) and distances[: len(finite)] == finite  # NaN last
        assert all(0.0 <= d <= 2.0 for d in finite)
        found_ids = [entry.id for entry, _ in hits]
        assert len(set(found_ids)) == len(found_ids)
        for entry, distance in hits:
            stored = self.entries[entry.id]  # only live entries come back
            assert ModelEntry.of(entry).key() == stored.key()
            expected = reference_distance(query, stored.embedding)
            assert distance == expected or (math.isnan(distance) and math.isnan(expected))
        # Stores this small are searched exhaustively: the hits are the nearest live entries, as brute force
        # finds them, however the index got here (built, updated in place, loaded from its saved graph).
        nearest = sorted((reference_distance(query, e.embedding) for e in self.entries.values()), key=nan_last)
        assert len(hits) == min(top_k, MAX_HITS, len(self.entries))
        assert [nan_last(d) for d in distances] == [nan_last(d) for d in nearest[: len(hits)]]

    @rule(data=st.data())
    def refused_search(self, data):
        if self.dim is None or data.draw(st.booleans()):
            query, message = [], EMPTY_MESSAGE
        else:
            length = self.draw_wrong_length(data)
            query, message = [1.0] * length, f"Dimension mismatch: store is {self.dim}D, got {length}D"
        with pytest.raises(ValueError) as info:
            self.store.search(query, top_k=5)
        assert str(info.value) == message

    @rule()
    def compact(self):
        self.store.compact()
        if self.wal_pending == 0:
            return  # nothing to fold: no file is touched
        self.snapshot = (self.dim or 0, dict(self.entries))
        self.log = []
        self.wal_pending = 0
        # The graph and the embeddings are saved beside the snapshot.
        for suffix in SAVED_BESIDE:
            assert os.path.exists(self.paths[0] + suffix) == bool(self.entries)

    @rule(suffix=st.sampled_from(SAVED_BESIDE), damage=st.sampled_from(["remove", "truncate", "flip", "garbage",
                                                                        "stale"]), data=st.data())
    def damage_saved_file(self, suffix, damage, data):
        """A missing, cut, flipped, foreign or stale graph or vector file is ignored: the next search builds
        afresh, and the next open reads the embeddings from the snapshot's text."""
        graph = self.paths[0] + suffix
        if not os.path.exists(graph) or self.snapshot is None:
            return
        with open(graph, "rb") as f:
            content = bytearray(f.read())
        if not content:
            return  # already cut to nothing by an earlier damage
        position = data.draw(st.integers(0, len(content) - 1), label="position")
        if damage == "remove":
            os.remove(graph)
            return
        if damage == "truncate":
            content = content[:position]
        elif damage == "flip":
            content[position] ^= 1 << data.draw(st.integers(0, 7), label="bit")
        elif damage == "garbage":
            content = bytearray(data.draw(st.binary(min_size=1, max_size=200), label="garbage"))
        else:
            # The same entries in other bytes: the graph no longer belongs to the snapshot's bytes.
            with open(self.paths[0], "rb") as f:
                document = json.loads(f.read().decode("utf-8"))
            with open(self.paths[0], "w", encoding="utf-8") as f:
                json.dump(document, f, indent=1)
        if damage != "stale":
            with open(graph, "wb") as f:
                f.write(content)

    @rule()
    def reopen(self):
        outcome = replay(self.snapshot, self.log)
        if isinstance(outcome, str):  # the files disagree (a `new` store wrote another dimension)
            with pytest.raises(ValueError) as info:
                VectorStore.open(*self.paths)
            assert str(info.value) == outcome
            return
        self.store = VectorStore.open(*self.paths)
        self.dim, self.entries, self.wal_pending = outcome[0], dict(outcome[1]), outcome[2]

    @rule()
    def new_store_on_the_same_files(self):
        """`new` reads nothing: an empty store whose appends go after the old log's records."""
        self.store = VectorStore.new(*self.paths)
        self.entries, self.dim, self.wal_pending = {}, None, 0

    # Invariants, checked after every step.

    @invariant()
    def counters_agree(self):
        store = self.store
        assert (store.len, len(store), bool(store)) == (len(self.entries), len(self.entries), bool(self.entries))
        assert store.dim == self.dim
        assert store.wal_pending == self.wal_pending
        dim_text = "None" if self.dim is None else f"Some({self.dim})"
        assert repr(store) == f"VectorStore(len={len(self.entries)}, dim={dim_text}, wal_pending={self.wal_pending})"

    @invariant()
    def entries_agree_bit_for_bit(self):
        for entry_id in self.seen_ids | set(self.entries):
            got = self.store.get(entry_id)
            expected = self.entries.get(entry_id)
            assert (got is None) == (expected is None), entry_id
            if got is not None:
                assert ModelEntry.of(got).key() == expected.key()

    @invariant()
    def log_holds_the_model_records(self):
        wal = self.paths[1]
        if not os.path.exists(wal):
            assert self.log == []
            return
        with open(wal, "rb") as f:
            lines = f.read().decode("utf-8").split("\n")
        assert lines[-1] == ""  # every record ends with its line feed
        records = [json.loads(line) for line in lines[:-1]]
        assert len(records) == len(self.log)
        for record, (op, payload) in zip(records, self.log, strict=False):
            assert record["op"] == op
            if op == "delete":
                assert record["data"] == {"id": payload}
            else:
                assert ModelEntry.of_json(record["data"]).key() == payload.key()

    @invariant()
    def snapshot_holds_the_model_state(self):
        if self.snapshot is None:
            assert not os.path.exists(self.paths[0])
            return
        with open(self.paths[0], "rb") as f:
            document = json.loads(f.read().decode("utf-8"))
        dim, entries = self.snapshot
        assert document["dim"] == dim
        written = {data["id"]: ModelEntry.of_json(data).key() for data in document["entries"]}
        assert len(written) == len(document["entries"])  # no id twice
        assert written == {entry_id: entry.key() for entry_id, entry in entries.items()}


TestStoreModel = StoreMachine.TestCase
TestStoreModel.settings = settings.get_profile(PROFILE)
