"""ShardedVectorStore on a local Ray cluster: routing, round trips, merged searches, faults, locking, resharding."""

import hashlib
import json
import os
import signal
import threading
import time

import numpy as np
import pytest
import ray
from conftest import SHARD_CPUS, make_entries, same_entry
from sorvid_ray import DirectoryLockedError, ShardedVectorStore, UnacknowledgedWriteError, reshard, shard_of
from sorvid_ray._locks import lock_file, unlock_file

from sorvid_vector_db import VectorEntry, VectorStore


def shard_ids(store: ShardedVectorStore) -> list[list[str]]:
    return ray.get([actor.ids.remote() for actor in store.actors])


@pytest.mark.parametrize(
    ("entry_id", "hash64"),
    [
        ("", 8676750893070244099),
        ("a", 3692893759121030161),
        ("doc-1", 6258491073175151119),
        ("é文🙂", 11423054980176990482),
    ],
)
def test_routing_is_pinned(entry_id, hash64):
    # Changing these values moves ids between shards of every existing directory: it needs a new routing version.
    assert shard_of(entry_id, 2**64) == hash64
    assert [shard_of(entry_id, n) for n in (1, 2, 3, 7)] == [0, hash64 % 2, hash64 % 3, hash64 % 7]


def test_round_trip_split_and_reopen(tmp_path):
    entries = make_entries(150)
    with ShardedVectorStore.create(tmp_path, 3, num_cpus=SHARD_CPUS) as store:
        assert store.dim is None and len(store) == 0
        store.upsert_batch(entries[:149])
        store.upsert(entries[149])
        store.delete("id7")
        store.delete_batch(["id8", "id9", "absent"])
        with pytest.raises(ValueError, match="dimension 4"):
            store.upsert(VectorEntry("short", [1.0] * 4))
        assert ray.get([actor.pool_threads.remote() for actor in store.actors]) == ["1"] * 3
    with pytest.raises(RuntimeError, match="closed"):
        store.ids()
    live = [e for e in entries if e.id not in {"id7", "id8", "id9"}]
    manifest = json.loads((tmp_path / "MANIFEST.json").read_text())
    assert (manifest["num_shards"], manifest["dim"], manifest["routing_version"]) == (3, 8, 1)
    with ShardedVectorStore.open(tmp_path, num_cpus=SHARD_CPUS) as store:
        assert (len(store), store.dim, store.num_shards) == (147, 8, 3)
        assert store.ids() == sorted(e.id for e in live) and store.get("id7") is None
        assert all(same_entry(store.get(e.id), e) for e in live)
        # Each shard holds exactly the ids routed to it.
        assert shard_ids(store) == [sorted(e.id for e in live if shard_of(e.id, 3) == s) for s in range(3)]


@pytest.fixture(scope="module")
def searched(tmp_path_factory):
    """One store holding 120 entries, and the same entries sharded over 4 shards."""
    entries, root = make_entries(120, seed=1), tmp_path_factory.mktemp("searched")
    single = VectorStore.new(str(root / "one.snap"), str(root / "one.wal"))
    single.upsert_batch(entries)
    with ShardedVectorStore.create(root / "sharded", 4, num_cpus=SHARD_CPUS) as store:
        store.upsert_batch(entries)
        yield single, store


@pytest.mark.parametrize("top_k", [1, 7, 150])
def test_search_merge_equals_one_store(searched, top_k):
    single, store = searched
    queries = np.random.default_rng(2).standard_normal((4, 8)).astype(np.float32)

    def pairs(hits):
        return [(entry.id, distance) for entry, distance in hits]

    expected = [pairs(single.search(q, top_k)) for q in queries]
    assert len(expected[0]) == min(top_k, 100)
    assert [pairs(store.search(q, top_k)) for q in queries] == expected
    assert [pairs(hits) for hits in store.search_batch(queries, top_k)] == expected


@pytest.mark.parametrize(
    ("query", "top_k", "error"),
    [([1.0] * 3, 5, ValueError), ([1.0] * 8, -1, OverflowError), ([[1.0] * 8], 5, ValueError)],
)
def test_bad_queries_are_refused(searched, query, top_k, error):
    with pytest.raises(error):
        searched[1].search(query, top_k)


@pytest.mark.parametrize(("kill", "sync_writes"), [("ray.kill", False), ("SIGKILL", True)])
def test_killed_actors_lose_no_acknowledged_write(tmp_path, kill, sync_writes):
    entries = make_entries(600, seed=3)
    acknowledged: dict[str, VectorEntry | None] = {}
    failures: list[BaseException] = []
    done = threading.Event()
    with ShardedVectorStore.create(tmp_path, 2, num_cpus=SHARD_CPUS, sync_writes=sync_writes) as store:

        def stream():
            try:
                for start in range(0, len(entries), 20):
                    batch = entries[start : start + 20]
                    store.upsert_batch(batch)
                    acknowledged.update((e.id, e) for e in batch)
                    store.delete(batch[0].id)
                    acknowledged[batch[0].id] = None
            except BaseException as err:
                failures.append(err)
            finally:
                done.set()

        writer = threading.Thread(target=stream)
        writer.start()
        for victim, progress in [(0, 100), (1, 250), (0, 400)]:
            while len(acknowledged) < progress and not done.is_set():  # each kill lands mid-stream
                time.sleep(0.001)
            assert not done.is_set()
            actor = store.actors[victim]
            if kill == "ray.kill":
                ray.kill(actor, no_restart=False)
            else:
                os.kill(ray.get(actor.pid.remote()), signal.SIGKILL)
        writer.join()
        assert not failures and len(acknowledged) == 600
        live = [e for e in acknowledged.values() if e is not None]
        assert store.ids() == sorted(e.id for e in live)
        assert all(store.get(i) is None for i, e in acknowledged.items() if e is None)
        assert all(same_entry(store.get(e.id), e) for e in live)
        hits = store.search_batch(np.array([e.embedding for e in live], dtype=np.float32), top_k=1)
        assert [h[0][0].id for h in hits] == [e.id for e in live]


def test_second_store_on_a_directory_is_refused(tmp_path):
    with (
        ShardedVectorStore.create(tmp_path, 2, num_cpus=SHARD_CPUS),
        pytest.raises(DirectoryLockedError, match="LOCK"),
    ):
        ShardedVectorStore.open(tmp_path, num_cpus=SHARD_CPUS)
    # A shard lock still held (say by a stray actor of a dead driver's layout) keeps the store from starting.
    held = lock_file(tmp_path / "shard-00001.lock")
    try:
        with pytest.raises(DirectoryLockedError, match="shard-00001.lock"):
            ShardedVectorStore.open(tmp_path, num_cpus=SHARD_CPUS, lock_timeout=0.2)
    finally:
        unlock_file(held)
    with ShardedVectorStore.open(tmp_path, num_cpus=SHARD_CPUS) as store:
        assert store.num_shards == 2


def test_refused_part_names_its_ids_and_the_rest_is_kept(tmp_path):
    entries = make_entries(40, seed=4)
    entries[5] = VectorEntry("poisoned", [float("nan")] * 8)
    bad_shard = shard_of("poisoned", 3)
    refused = [e.id for e in entries if shard_of(e.id, 3) == bad_shard]
    with ShardedVectorStore.create(tmp_path, 3, num_cpus=SHARD_CPUS) as store:
        with pytest.raises(UnacknowledgedWriteError) as caught:
            store.upsert_batch(entries)
        assert caught.value.ids == tuple(refused) and set(caught.value.causes) == {bad_shard}
        assert "'poisoned'" in str(caught.value) and "finite" in str(caught.value)
        assert store.ids() == sorted(e.id for e in entries if e.id not in refused)


def test_reshard_keeps_every_entry_and_leaves_the_source_alone(tmp_path):
    entries = make_entries(130, seed=5)
    source, target = tmp_path / "two", tmp_path / "three"
    with ShardedVectorStore.create(source, 2, num_cpus=SHARD_CPUS) as store:
        store.upsert_batch(entries)

    def digests():
        return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in source.iterdir() if p.suffix != ".lock"}

    before = digests()
    reshard(source, target, 3, batch_size=16, num_cpus=SHARD_CPUS)
    assert digests() == before
    with pytest.raises(FileExistsError):
        reshard(source, target, 3, num_cpus=SHARD_CPUS)
    with ShardedVectorStore.open(target, num_cpus=SHARD_CPUS) as store:
        assert (store.num_shards, store.dim) == (3, 8)
        assert all(same_entry(store.get(e.id), e) for e in entries)
        assert shard_ids(store) == [sorted(e.id for e in entries if shard_of(e.id, 3) == s) for s in range(3)]


def test_shards_the_cluster_cannot_place_time_out_and_free_the_directory(tmp_path):
    with pytest.raises(TimeoutError, match="6 CPUs"):
        ShardedVectorStore.create(tmp_path, 2, num_cpus=3, start_timeout=1)
    with ShardedVectorStore.open(tmp_path, num_cpus=SHARD_CPUS) as store:
        assert len(store) == 0


def test_a_shard_whose_files_are_missing_refuses_to_start(tmp_path):
    # Each shard's log exists from create on, so one that is gone means the files are not there (another node, a
    # directory moved away): serving an empty shard would silently lose its entries.
    ShardedVectorStore.create(tmp_path, 2, num_cpus=SHARD_CPUS).close()
    (tmp_path / "shard-00001.wal").unlink()
    with pytest.raises(FileNotFoundError, match="shard-00001.wal is missing"):
        ShardedVectorStore.open(tmp_path, num_cpus=SHARD_CPUS)
