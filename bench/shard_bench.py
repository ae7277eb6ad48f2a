"""One store against the same entries sharded over Ray actors (sorvid_ray.ShardedVectorStore).

On N entries of 384 float32 values in Gaussian clusters (index_bench's
generator; N = 100,000, 10,000 with --quick) and 1,000 held-out queries of the
same clusters, this measures for one in-process VectorStore and for a
ShardedVectorStore of 2 and of 4 shards on a local Ray of 2 CPUs:

  1. upsert rate: `upsert_batch` of 1,000 entries at a time, every entry once;
  2. the first search after that ingest (each store or shard builds its graph);
  3. batched queries: `search_batch` of all queries in one call (median of a
     few calls), as time per query;
  4. single queries: `search` one query per call, median and 99th percentile;
  5. recall@10 of both against brute force;
  6. memory after that first search: each shard actor's process (read from
     /proc through the pid it reports), its resident size and its private
     anonymous part (RssAnon: the store's vectors, graph and Python objects,
     not the shared object store pages it maps), which over the empty actor's
     gives bytes per entry; for the in-process store, this process's growth
     of RssAnon; again after the queries below, with the peak (VmHWM);
  7. reopening: close, open again and the first search (every shard replays
     its log).

Shards get an equal share of the 2 CPUs (1 each for 2 shards, 0.5 each for 4);
a shard's worker pool runs max(1, floor(share)) threads, so 4 shards run 4
build threads on 2 cores where one store runs 2.

A scenario whose rounds run past the time budget stops early and is marked
over budget, its figures then taken over the rounds it ran.

    python bench/shard_bench.py [--quick] [--entries N] [--budget S] [--json]

The last line printed with --json is one JSON object (bench/run_all.py reads it).
Needs numpy, ray and sorvid-ray (integrations/ray); without Ray the object
says what was missing.
"""

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from typing import Any, cast

import numpy as np
from numpy.typing import NDArray

from sorvid_vector_db import VectorEntry, VectorStore

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import index_bench  # noqa: E402

Matrix = NDArray[np.float32]
Figures = dict[str, Any]
Hits = Sequence[tuple[VectorEntry, float]]

DIM = 384
K = 10
QUERIES = 1000
BATCH = 1000
BATCH_REPEATS = 3
RAY_CPUS = 2
SHARD_COUNTS = (2, 4)
CREATED = "2026-12-08T00:00:00Z"
MB = 1024 * 1024


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] shards: {message}", file=sys.stderr, flush=True)


def seconds(call: Callable[[], object]) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def status_kb(pid: int | str, field: str) -> int | None:
    """A field of /proc/<pid>/status in kB (Linux); None where it cannot be read."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def mb(kb: int | None) -> float | None:
    return None if kb is None else kb / 1024


def process_memory(pid: int | str) -> Figures:
    """Resident MB of a process: all of it, its private anonymous part and its peak."""
    return {"rss_mb": mb(status_kb(pid, "VmRSS")), "anon_mb": mb(status_kb(pid, "RssAnon")),
            "peak_mb": mb(status_kb(pid, "VmHWM"))}


def with_empty(now: Figures, empty: Figures) -> Figures:
    """`now` with the figures of the same process when its store was empty, and the anonymous growth since."""
    grown = None if now["anon_mb"] is None or empty["anon_mb"] is None else now["anon_mb"] - empty["anon_mb"]
    return {**now, "empty_rss_mb": empty["rss_mb"], "empty_anon_mb": empty["anon_mb"], "grown_mb": grown}


def pool_threads() -> int:
    """The worker pool size of a store in this process: RAYON_NUM_THREADS when it is a count above 0, else the
    processors this process may run on (the module's own rule, less its second setting)."""
    setting = os.environ.get("RAYON_NUM_THREADS", "")
    if setting.isdigit() and int(setting) > 0:
        return int(setting)
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def recall(found: Sequence[Sequence[int]], truth: Sequence[Sequence[int]]) -> float:
    return sum(len(set(f) & set(t)) for f, t in zip(found, truth, strict=False)) / (K * len(found))


def rows_of(hits: Hits) -> list[int]:
    return [int(entry.id[4:]) for entry, _ in hits]  # ids are "doc-<row>"


class Layout:
    """What the scenarios need of one layout: the in-process store or a sharded one behind the same calls."""

    name: str
    shards: int
    build_threads: int

    def upsert_batch(self, entries: Sequence[VectorEntry]) -> None:
        raise NotImplementedError

    def search(self, query: Matrix) -> Hits:
        raise NotImplementedError

    def search_batch(self, queries: Matrix) -> Sequence[Hits]:
        raise NotImplementedError

    def memory(self) -> Figures:
        raise NotImplementedError

    def reopen(self) -> None:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError


class OneStore(Layout):
    def __init__(self, folder: str) -> None:
        self.name, self.shards, self.build_threads = "1 store, in-process", 1, pool_threads()
        self._files = os.path.join(folder, "store.snap"), os.path.join(folder, "store.wal")
        self._empty = process_memory("self")
        self.store: VectorStore | None = VectorStore.new(*self._files)

    def _open(self) -> VectorStore:
        assert self.store is not None, "closed"
        return self.store

    def upsert_batch(self, entries: Sequence[VectorEntry]) -> None:
        self._open().upsert_batch(entries)

    # The module reads a float32 array through the buffer protocol; its stub names sequences of floats.
    def search(self, query: Matrix) -> Hits:
        return self._open().search(cast(Sequence[float], query), K)

    def search_batch(self, queries: Matrix) -> Sequence[Hits]:
        return self._open().search_batch(cast(Sequence[Sequence[float]], queries), K)

    def memory(self) -> Figures:
        # This process also holds the benchmark's data, so only its growth belongs to the store.
        shard = with_empty(process_memory("self"), self._empty)
        return {"method": "this process's RssAnon growth since the store was made",
                "per_shard": [{"entries": len(self._open()), **shard, "rss_mb": None}]}

    def reopen(self) -> None:
        self.store = None
        self.store = VectorStore.open(*self._files)

    def close(self) -> None:
        self.store = None


class Sharded(Layout):
    def __init__(self, folder: str, shards: int) -> None:
        from sorvid_ray import ShardedVectorStore

        self._open_store = ShardedVectorStore.open
        self.name, self.shards = f"{shards} shards over Ray", shards
        self._share = RAY_CPUS / shards
        self.build_threads = shards * max(1, int(self._share))
        self._folder = os.path.join(folder, f"sharded-{shards}")
        self.store: Any = ShardedVectorStore.create(self._folder, shards, num_cpus=self._share)
        self._empty = self._processes()

    def _processes(self) -> list[Figures]:
        ray = sys.modules["ray"]
        pids = ray.get([actor.pid.remote() for actor in self.store.actors])
        sizes = ray.get([actor.len.remote() for actor in self.store.actors])
        return [{"pid": pid, "entries": size, **process_memory(pid)} for pid, size in zip(pids, sizes, strict=True)]

    def upsert_batch(self, entries: Sequence[VectorEntry]) -> None:
        self.store.upsert_batch(entries)

    def search(self, query: Matrix) -> Hits:
        return cast(Hits, self.store.search(query, K))

    def search_batch(self, queries: Matrix) -> Sequence[Hits]:
        return cast(Sequence[Hits], self.store.search_batch(queries, K))

    def memory(self) -> Figures:
        now = self._processes()
        return {"method": "each actor process's VmRSS, RssAnon and VmHWM from /proc",
                "per_shard": [with_empty(shard, empty) for shard, empty in zip(now, self._empty, strict=True)]}

    def reopen(self) -> None:
        self.store.close()
        self.store = self._open_store(self._folder, num_cpus=self._share)

    def close(self) -> None:
        self.store.close()


def bytes_per_entry(memory: Figures) -> float | None:
    """Private resident bytes per entry held: the growth of RssAnon over the empty store's, all shards together."""
    grown, entries = 0.0, 0
    for shard in memory["per_shard"]:
        if shard["grown_mb"] is None:
            return None
        grown += shard["grown_mb"]
        entries += shard["entries"]
    return grown * MB / entries if entries else None


def batched(layout: Layout, queries: Matrix, truth: Sequence[Sequence[int]], budget_s: float) -> Figures:
    samples: list[float] = []
    found: list[list[int]] = []
    started = time.perf_counter()
    for i in range(BATCH_REPEATS):
        start = time.perf_counter()
        answers = layout.search_batch(queries)
        samples.append(time.perf_counter() - start)
        if i == 0:
            found = [rows_of(hits) for hits in answers]
        if time.perf_counter() - started > budget_s:
            break
    per_query_ms = 1e3 * statistics.median(samples) / len(queries)
    return {"rounds": len(samples), "planned": BATCH_REPEATS, "over_budget": len(samples) < BATCH_REPEATS,
            "per_query_ms": per_query_ms, "qps": 1e3 / per_query_ms, "recall_at_10": recall(found, truth)}


def single(layout: Layout, queries: Matrix, truth: Sequence[Sequence[int]], budget_s: float) -> Figures:
    samples: list[float] = []
    found: list[list[int]] = []
    started = time.perf_counter()
    for query in queries:
        start = time.perf_counter()
        hits = layout.search(query)
        samples.append(time.perf_counter() - start)
        found.append(rows_of(hits))
        if time.perf_counter() - started > budget_s:
            break
    return {"rounds": len(samples), "planned": len(queries), "over_budget": len(samples) < len(queries),
            "p50_ms": 1e3 * statistics.median(samples), "p99_ms": 1e3 * float(np.percentile(samples, 99)),
            "mean_ms": 1e3 * statistics.fmean(samples), "recall_at_10": recall(found, truth)}


def measure(layout: Layout, batches: Sequence[Sequence[VectorEntry]], queries: Matrix,
            truth: Sequence[Sequence[int]], budget_s: float) -> Figures:
    entries = sum(len(b) for b in batches)
    log(f"{layout.name}: upsert_batch of {entries:,} entries in batches of {BATCH:,}")
    ingest_s = 0.0
    for batch in batches:
        start = time.perf_counter()
        layout.upsert_batch(batch)
        ingest_s += time.perf_counter() - start
    figures: Figures = {"layout": layout.name, "shards": layout.shards, "build_threads": layout.build_threads,
                        "upsert_s": ingest_s, "upsert_rows_per_s": entries / ingest_s}
    log(f"{layout.name}: first search (graph build)")
    figures["first_search_s"] = seconds(lambda: layout.search(queries[0]))
    figures["memory"] = layout.memory()
    figures["memory"]["bytes_per_entry"] = bytes_per_entry(figures["memory"])
    log(f"{layout.name}: search_batch of {len(queries):,} queries")
    figures["batch"] = batched(layout, queries, truth, budget_s)
    log(f"{layout.name}: search one query per call")
    figures["single"] = single(layout, queries, truth, budget_s)
    figures["memory_after_queries"] = layout.memory()
    log(f"{layout.name}: reopening and the first search after it")
    figures["reopen_s"] = seconds(layout.reopen)
    figures["first_search_after_reopen_s"] = seconds(lambda: layout.search(queries[1]))
    return figures


def sharded_runs(folder: str, batches: Sequence[Sequence[VectorEntry]], queries: Matrix,
                 truth: Sequence[Sequence[int]], budget_s: float) -> list[Figures]:
    try:
        import ray
    except ImportError as error:
        log(f"sharded runs left out: {error}")
        return [{"error": repr(error)}]
    ray.init(num_cpus=RAY_CPUS, include_dashboard=False, log_to_driver=False, object_store_memory=1 << 30)
    runs = []
    try:
        for shards in SHARD_COUNTS:
            try:
                layout = Sharded(folder, shards)
            except ImportError as error:
                log(f"sharded runs left out: {error}")
                return [{"error": repr(error)}]
            try:
                runs.append(measure(layout, batches, queries, truth, budget_s))
            finally:
                layout.close()
    finally:
        ray.shutdown()
    return runs


def run(n: int, budget_s: float) -> Figures:
    rng = np.random.default_rng(17)
    points, queries = index_bench.synthetic(rng, n, DIM, QUERIES, False)
    log("brute-force neighbours of the queries")
    truth = index_bench.true_neighbours(points, queries).tolist()
    # The entries are made once, outside every timing, and written to each layout in turn.
    batches = [[VectorEntry(f"doc-{i}", cast(Sequence[float], points[i]), "meta", CREATED)
                for i in range(start, min(start + BATCH, n))] for start in range(0, n, BATCH)]
    figures: Figures = {"entries": n, "dim": DIM, "queries": QUERIES, "batch": BATCH, "budget_s": budget_s,
                        "ray_cpus": RAY_CPUS, "cores": os.cpu_count(), "load_before": os.getloadavg()}
    with tempfile.TemporaryDirectory(prefix="shard-bench-") as folder:
        one = OneStore(folder)
        try:
            runs = [measure(one, batches, queries, truth, budget_s)]
        finally:
            one.close()
        runs += sharded_runs(folder, batches, queries, truth, budget_s)
    figures["runs"] = runs
    figures["load_after"] = os.getloadavg()
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="10,000 entries and shorter time budgets")
    parser.add_argument("--entries", type=int, help="entries of every layout (default 100,000)")
    parser.add_argument("--budget", type=float, help="seconds a timed scenario may take before it stops early")
    parser.add_argument("--json", action="store_true", help="print one JSON object on one line")
    args = parser.parse_args()
    quick = args.quick or os.environ.get("BENCH_QUICK", "") not in ("", "0")
    n = args.entries or (10_000 if quick else 100_000)
    figures = run(n, args.budget or (20.0 if quick else 60.0))
    print(json.dumps(figures) if args.json else json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
