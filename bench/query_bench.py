"""Batched and filtered queries side by side: `search_batch` beside hnswlib, `search_filtered` beside Chroma.

On N entries of 384 float32 values in Gaussian clusters (index_bench's
generator; N = 50,000, 5,000 with --quick) and 1,000 held-out queries of the
same clusters, this measures in one run:

  1. queries per second of `search_batch(queries, 10)` (the walks run in
     parallel on the worker pool) beside hnswlib's `knn_query` of all queries
     in one call on 2 threads, on an index built on the same points with
     M 32 (64 base links), ef_construction 100, ef 100, cosine; and, for
     context, `search` one query per call beside `knn_query` of one query on
     one thread; recall@10 of each against brute force;
  2. `search_filtered(query, allowed, 10)` where every entry carries a bucket
     drawn uniformly from 0..99,999 and the allowed entries are those whose
     bucket is under a threshold, for shares of 0.1% to 100%: median and
     90th-percentile latency over 200 queries with the ids prepared once as a
     list, and again passed as a Python set (a set per call is how users
     hold them), and recall@10 against brute force over the allowed entries;
     beside a Chroma `PersistentClient` collection (cosine, the same M and ef)
     holding the bucket as metadata and queried with
     `where={"bucket": {"$lt": threshold}}` for metadata and distances (ours
     returns both), whose short answers are counted.

A scenario whose rounds run past the time budget stops early and is marked
over budget, its figures then taken over the rounds it ran.

    python bench/query_bench.py [--quick] [--entries N] [--budget S] [--json]

The last line printed with --json is one JSON object (bench/run_all.py reads it).
Needs numpy, hnswlib and chromadb (requirements-bench.txt).
"""

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Collection, Sequence
from typing import Any, cast

import numpy as np
from numpy.typing import NDArray

from sorvid_vector_db import VectorStore

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import index_bench  # noqa: E402
import live_bench  # noqa: E402

Matrix = NDArray[np.float32]
Figures = dict[str, Any]

DIM = 384
K = 10
QUERIES = 1000
BATCH_REPEATS = 5
FILTER_QUERIES = 200
BUCKETS = 100_000
SHARES = (0.001, 0.003, 0.01, 0.03, 0.1, 0.3, 1.0)
CHROMA_NAME = "query-bench"


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] queries: {message}", file=sys.stderr, flush=True)


def timed(step: Callable[[int], object], planned: int, budget_s: float) -> Figures:
    """Times step(0), step(1), ... up to `planned` rounds, stopping once `budget_s` has passed."""
    samples: list[float] = []
    started = time.perf_counter()
    for i in range(planned):
        start = time.perf_counter()
        step(i)
        samples.append(time.perf_counter() - start)
        if time.perf_counter() - started > budget_s:
            break
    return {"rounds": len(samples), "planned": planned, "over_budget": len(samples) < planned,
            "median_ms": 1e3 * statistics.median(samples), "p90_ms": 1e3 * float(np.percentile(samples, 90)),
            "mean_ms": 1e3 * statistics.fmean(samples)}


def recall(found: Sequence[Collection[int]], truth: Sequence[Collection[int]]) -> float:
    """Share of the true neighbours found; a query with fewer than K allowed entries counts those it has."""
    wanted = sum(len(t) for t in truth)
    return sum(len(set(f) & set(t)) for f, t in zip(found, truth, strict=False)) / wanted if wanted else 1.0


def unit64(rows: Matrix) -> NDArray[np.float64]:
    wide = rows.astype(np.float64)
    return cast(NDArray[np.float64], wide / np.linalg.norm(wide, axis=1, keepdims=True))


def nearest_among(points: NDArray[np.float64], queries: NDArray[np.float64],
                  allowed: NDArray[np.intp]) -> list[list[int]]:
    """Row numbers of the K nearest allowed points of each query (all of them when fewer are allowed), by brute
    force in float64 on unit rows; the order within a query is left out, recall does not need it."""
    if len(allowed) <= K:
        return [allowed.tolist() for _ in queries]
    sims = queries @ points[allowed].T
    top = np.argpartition(-sims, K - 1, axis=1)[:, :K]
    return cast(list[list[int]], allowed[top].tolist())


# --- the three libraries filled with the same points ---------------------------------------------------------

class Filled:
    """Our store (searched once, so that its index is built), hnswlib and Chroma (None when it is missing) holding
    the same points; setup[step] is the seconds each step took."""

    def __init__(self, folder: str, points: Matrix, buckets: NDArray[np.int64], setup: Figures) -> None:
        n = len(points)
        self.ids = [f"doc-{i}" for i in range(n)]
        self.row_of = {entry_id: i for i, entry_id in enumerate(self.ids)}
        log(f"filling the store with {n:,} entries")
        self.store = VectorStore.new(os.path.join(folder, "store.snap"), os.path.join(folder, "store.wal"))
        setup["store filled"] = live_bench.seconds(lambda: live_bench.fill(self.store, self.ids, points))
        setup["its first search (building the index)"] = live_bench.seconds(
            lambda: self.store.search(cast(Sequence[float], points[0]), K))
        log("building hnswlib's index")
        start = time.perf_counter()
        self.hnsw = live_bench.hnswlib_index(points, n)
        setup["hnswlib built"] = time.perf_counter() - start
        self.collection = self._chroma(folder, points, buckets, setup)

    def _chroma(self, folder: str, points: Matrix, buckets: NDArray[np.int64], setup: Figures) -> Any:
        try:
            client = live_bench.chroma_client(os.path.join(folder, "chroma"))
        except ImportError as error:
            log(f"Chroma left out: {error}")
            return None
        log(f"filling Chroma with {len(points):,} entries and their buckets")
        start = time.perf_counter()
        configuration = {"hnsw": {"space": "cosine", "max_neighbors": index_bench.M,
                                  "ef_construction": index_bench.EF_CONSTRUCTION,
                                  "ef_search": index_bench.EF_SEARCH}}
        collection = client.create_collection(CHROMA_NAME, embedding_function=None, configuration=configuration)
        step = client.get_max_batch_size()
        for first in range(0, len(points), step):
            last = min(first + step, len(points))
            collection.add(ids=self.ids[first:last], embeddings=points[first:last],
                           metadatas=[{"bucket": int(b)} for b in buckets[first:last]])
        setup["Chroma filled"] = time.perf_counter() - start
        return collection

    def rows(self, hits: Sequence[tuple[Any, float]]) -> list[int]:
        return [self.row_of[entry.id] for entry, _ in hits]


# --- 1: batched queries -------------------------------------------------------------------------------------

def batched(libs: Filled, queries: Matrix, truth: Sequence[Sequence[int]], budget_s: float) -> Figures:
    """Queries per second and recall@10 of all queries in one call and of one query per call, ours and hnswlib's."""
    store, hnsw = libs.store, libs.hnsw
    found: dict[str, list[list[int]]] = {}

    # Read through the buffer protocol, which the stub names only from Python 3.12 on.
    def ours_batch(i: int) -> None:
        answers = store.search_batch(cast(Sequence[Sequence[float]], queries), K)
        if i == 0:
            found["sorvid batch"] = [libs.rows(hits) for hits in answers]

    def hnswlib_batch(i: int) -> None:
        labels, _ = hnsw.knn_query(queries, k=K, num_threads=index_bench.THREADS)
        if i == 0:
            found["hnswlib batch"] = labels.tolist()

    found["sorvid single"], found["hnswlib single"] = [], []

    def ours_single(i: int) -> None:
        found["sorvid single"].append(libs.rows(store.search(cast(Sequence[float], queries[i]), K)))

    def hnswlib_single(i: int) -> None:
        labels, _ = hnsw.knn_query(queries[i:i + 1], k=K, num_threads=1)
        found["hnswlib single"].append(labels[0].tolist())

    figures: Figures = {"threads": index_bench.THREADS, "queries": len(queries)}
    for name, step, planned, per_round in (("sorvid batch", ours_batch, BATCH_REPEATS, len(queries)),
                                           ("hnswlib batch", hnswlib_batch, BATCH_REPEATS, len(queries)),
                                           ("sorvid single", ours_single, len(queries), 1),
                                           ("hnswlib single", hnswlib_single, len(queries), 1)):
        log(f"{name}: {planned} rounds of {per_round} queries")
        result = timed(step, planned, budget_s)
        # A whole batch per round: its median; one query per round: the mean, as a loop of them would run.
        seconds_per_query = (result["median_ms"] if per_round > 1 else result["mean_ms"]) / 1e3 / per_round
        answered = found[name]
        result.update(qps=1 / seconds_per_query, recall_at_10=recall(answered, truth[:len(answered)]))
        figures[name] = result
    figures["batch ratio"] = figures["sorvid batch"]["qps"] / figures["hnswlib batch"]["qps"]
    figures["single ratio"] = figures["sorvid single"]["qps"] / figures["hnswlib single"]["qps"]
    return figures


# --- 2: filtered search -------------------------------------------------------------------------------------

def filtered_share(libs: Filled, share: float, allowed_rows: NDArray[np.intp], queries: Matrix,
                   truth: Sequence[Sequence[int]], budget_s: float) -> Figures:
    """One share of the sweep: our search_filtered with a list and with a set, and Chroma's filtered query."""
    threshold = round(share * BUCKETS)
    allowed_list = [libs.ids[i] for i in allowed_rows]
    allowed_set = set(allowed_list)
    expected = min(K, len(allowed_list))
    figures: Figures = {"share": share, "threshold": threshold, "allowed": len(allowed_list)}
    store = libs.store

    def ours(allowed: Collection[str]) -> Figures:
        found: list[list[int]] = []

        def step(i: int) -> None:
            found.append(libs.rows(store.search_filtered(cast(Sequence[float], queries[i]), allowed, K)))

        result = timed(step, len(queries), budget_s)
        return {**result, "recall_at_10": recall(found, truth[:len(found)]),
                "short": sum(len(f) < expected for f in found)}

    figures["sorvid list"] = ours(allowed_list)
    figures["sorvid set"] = ours(allowed_set)
    if libs.collection is None:
        return figures
    collection = libs.collection
    where = {"bucket": {"$lt": threshold}}
    found: list[list[int]] = []

    def chroma(i: int) -> None:
        answer = collection.query(query_embeddings=queries[i:i + 1], n_results=K, where=where,
                                  include=["metadatas", "distances"])
        found.append([libs.row_of[entry_id] for entry_id in answer["ids"][0]])

    result = timed(chroma, len(queries), budget_s)
    figures["chroma"] = {**result, "recall_at_10": recall(found, truth[:len(found)]),
                         "short": sum(len(f) < expected for f in found), "fewest": min(map(len, found))}
    return figures


def filtered(libs: Filled, points: Matrix, buckets: NDArray[np.int64], queries: Matrix,
             budget_s: float) -> list[Figures]:
    wide_points, wide_queries = unit64(points), unit64(queries)
    rows = []
    for share in SHARES:
        allowed_rows = np.flatnonzero(buckets < round(share * BUCKETS))
        truth = nearest_among(wide_points, wide_queries, allowed_rows)
        log(f"search_filtered with {share:.1%} allowed ({len(allowed_rows):,} entries)")
        rows.append(filtered_share(libs, share, allowed_rows, queries, truth, budget_s))
    return rows


def run(n: int, budget_s: float) -> Figures:
    rng = np.random.default_rng(15)
    points, queries = index_bench.synthetic(rng, n, DIM, QUERIES, False)
    buckets = rng.integers(0, BUCKETS, size=n)
    figures: Figures = {"entries": n, "dim": DIM, "budget_s": budget_s, "buckets": BUCKETS, "setup": {}}
    with tempfile.TemporaryDirectory(prefix="query-bench-") as folder:
        libs = Filled(folder, points, buckets, figures["setup"])
        figures["chroma"] = libs.collection is not None
        log("brute-force neighbours of the queries")
        truth = index_bench.true_neighbours(points, queries).tolist()
        figures["batched"] = batched(libs, queries, truth, budget_s)
        figures["filtered"] = filtered(libs, points, buckets, queries[:FILTER_QUERIES], budget_s)
        figures["filter_queries"] = FILTER_QUERIES
        if libs.collection is not None:
            libs.collection = None
            live_bench.chroma_forget_clients()
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="5,000 entries and shorter time budgets")
    parser.add_argument("--entries", type=int, help="entries of the store (default 50,000)")
    parser.add_argument("--budget", type=float, help="seconds a timed scenario may take before it stops early")
    parser.add_argument("--json", action="store_true", help="print one JSON object on one line")
    args = parser.parse_args()
    quick = args.quick or os.environ.get("BENCH_QUICK", "") not in ("", "0")
    n = args.entries or (5_000 if quick else 50_000)
    figures = run(n, args.budget or (20.0 if quick else 60.0))
    print(json.dumps(figures) if args.json else json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
