"""The figures this store is judged by against hnswlib and Chroma, measured in one run on one machine.

Two data sets: 100,000 entries of 384 float32 values in Gaussian clusters (index_bench's generator, as the other
benchmarks use it) with 1,000 held-out queries of the same clusters; and the cached all-MiniLM-L6-v2 embeddings of
Debian's package descriptions (bench/real_data.py, all 61,202 of them), 1,000 held out as queries. On each:

  1. build: `upsert_batch` of all entries (timed on its own), then the first `search`, which builds the index;
     beside hnswlib's `add_items` of the same points into `Index(space="cosine")` with M 32, ef_construction 100,
     set_num_threads(2). Each library builds BUILD_ROUNDS times, the first alternating, so that the machine's
     drift (up to 2x within minutes) falls on both; the figures are the medians, and the ratio is hnswlib's median
     over ours (above 1 we are faster). Each build also gives its recall@10 over the queries: both libraries draw
     a graph that depends on chance (a fresh seed, the threads' order), so recall is compared as the mean over the
     builds. The last build of each goes on to 2 and 3;
  2. queries: `VectorStore.search(q, 10)` and hnswlib's `knn_query(q, k=10)` at ef 100, one query per call, each
     call timed with perf_counter_ns. The queries run in rounds, each library taking a round's queries in turn
     (the first alternating), so that noise from the rest of the machine falls on both; p50 and p99 latency and
     recall@10 against brute force;
  3. memory: the store is compacted and closed; in a fresh process it is opened and searched once, and the
     whole process's VmRSS and its growth over VmRSS before the open are each divided by the raw float bytes
     (entries x 384 x 4). The goal is set on the clustered store.

On the compacted MiniLM store:

  4. open, in fresh processes with the files in the page cache, median of 5, the four kinds interleaved:
     `VectorStore.open` alone, and followed by the first search; Chroma (a `PersistentClient` collection filled
     once with the same entries: cosine, M 32, ef_construction 100, ef_search 100): `PersistentClient` and
     `get_collection` alone, and followed by the first query. Chroma reads its index only at the first query, so
     the headline sets our open alone against Chroma's reopen with its first query; the like-for-like pairs are
     kept beside it.

The libraries are imported before any timer starts. The load average is recorded before and after the run.
--quick takes a tenth of each data set's entries (the 1,000 queries stay), to check that everything runs.

    python bench/race_bench.py [--quick] [--json]

The last line printed with --json is one JSON object (bench/run_all.py keeps it as results["race"]).
Needs numpy, hnswlib and chromadb (requirements-bench.txt) and the MiniLM cache of bench/real_data.py.
"""

# The fresh processes of 3 and 4 import this file too; so that the process measured in 3 holds no more than a user's
# would (the interpreter, NumPy and the module), the other benchmarks' helpers, hnswlib, Chroma and the larger
# standard modules (subprocess, tempfile) are imported inside the functions that use them, in the parent process
# only (Chroma also in its own children).

import argparse
import functools
import importlib
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, cast

import numpy as np
from numpy.typing import NDArray

from sorvid_vector_db import VectorEntry, VectorStore

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

Matrix = NDArray[np.float32]
Figures = dict[str, Any]

DIM = 384
K = 10
M = 32
EF_CONSTRUCTION = 100
EF_SEARCH = 100
BUILD_THREADS = 2
CLUSTERED_ENTRIES = 100_000
QUERIES = 1000
ROUNDS = 50
WARM_UP = 50
OPEN_REPEATS = 5
BUILD_ROUNDS = 3
CREATED = "2026-12-08T00:00:00Z"
SNAPSHOT, LOG = "store.snap", "store.wal"
CHROMA_NAME = "race"
CHILD_TIMEOUT_S = 600

# What the store is judged by. Build and queries: hnswlib's time over ours at least this; open: our open alone at
# most this many times Chroma's reopen with its first query; memory: the whole process's VmRSS over the raw float
# bytes of the clustered store below this.
GOALS = {"build": 1.3, "query_p50": 1.3, "query_p99": 1.3, "open_vs_chroma": 1.5, "memory_whole": 3.4}


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] race: {message}", file=sys.stderr, flush=True)


def seconds(call: Callable[[], object]) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


# --- the data --------------------------------------------------------------------------------------------------

def clustered_data(entries: int) -> tuple[Matrix, Matrix]:
    import index_bench

    points, queries = index_bench.synthetic(np.random.default_rng(17), entries, DIM, QUERIES, False)
    return cast(Matrix, points), cast(Matrix, queries)


def minilm_data(share: float) -> tuple[Matrix, Matrix]:
    """QUERIES vectors held out at random, and `share` of the others (in their cached order)."""
    import real_data

    _, _, vectors = real_data.load()
    order = np.random.default_rng(11).permutation(len(vectors))
    kept = np.sort(order[QUERIES:QUERIES + round(share * (len(vectors) - QUERIES))])
    return np.ascontiguousarray(vectors[kept]), np.ascontiguousarray(vectors[order[:QUERIES]])


# --- 1: build ----------------------------------------------------------------------------------------------------

def build_store(folder: str, points: Matrix) -> tuple[VectorStore, Figures]:
    """A new store holding `points` as entries "0", "1", ..., searched once so that its index exists."""
    store = VectorStore.new(os.path.join(folder, SNAPSHOT), os.path.join(folder, LOG))
    entries = [VectorEntry(str(i), cast(Sequence[float], row), "", CREATED) for i, row in enumerate(points)]
    upsert_s = seconds(functools.partial(store.upsert_batch, entries))
    del entries  # freed before the build, as a caller's batch would be
    build_s = seconds(lambda: store.search(cast(Sequence[float], points[0]), K))
    return store, {"upsert_batch_s": upsert_s, "first_search_s": build_s}


def build_hnswlib(points: Matrix) -> tuple[Any, float]:
    hnswlib = importlib.import_module("hnswlib")
    index = hnswlib.Index(space="cosine", dim=points.shape[1])
    index.init_index(max_elements=len(points), M=M, ef_construction=EF_CONSTRUCTION)
    index.set_num_threads(BUILD_THREADS)
    build_s = seconds(lambda: index.add_items(points))
    index.set_ef(EF_SEARCH)
    return index, build_s


def median(values: list[float]) -> float:
    return float(np.median(values))


def store_recall(store: VectorStore, queries: Matrix, truth: NDArray[np.int32]) -> float:
    import index_bench

    found = [[int(entry.id) for entry, _ in store.search(cast(Sequence[float], q), K)] for q in queries]
    return float(index_bench.recall(found, truth))


def hnswlib_recall(index: Any, queries: Matrix, truth: NDArray[np.int32]) -> float:
    import index_bench

    labels, _ = index.knn_query(queries, k=K)
    return float(index_bench.recall(labels.tolist(), truth))


def build_rounds(store_dir: str, points: Matrix, queries: Matrix,
                 truth: NDArray[np.int32]) -> tuple[VectorStore, Any, Figures]:
    """BUILD_ROUNDS builds by each library, the first alternating, each followed by its recall; the medians of the
    times, every sample, and the last store (in `store_dir`) and index."""
    import shutil

    samples: dict[str, list[float]] = {"upsert_batch_s": [], "first_search_s": [], "hnswlib_s": [],
                                       "sorvid_recall": [], "hnswlib_recall": []}
    store: VectorStore | None = None
    index: Any = None
    for number in range(BUILD_ROUNDS):
        for library in (("sorvid", "hnswlib") if number % 2 == 0 else ("hnswlib", "sorvid")):
            if library == "sorvid":
                store = None  # the previous store is closed before its folder goes
                shutil.rmtree(store_dir, ignore_errors=True)
                os.makedirs(store_dir)
                store, ours = build_store(store_dir, points)
                samples["upsert_batch_s"].append(ours["upsert_batch_s"])
                samples["first_search_s"].append(ours["first_search_s"])
                samples["sorvid_recall"].append(store_recall(store, queries, truth))
            else:
                index = None
                index, hnswlib_s = build_hnswlib(points)
                samples["hnswlib_s"].append(hnswlib_s)
                samples["hnswlib_recall"].append(hnswlib_recall(index, queries, truth))
    assert store is not None
    figures: Figures = {key: median(values) for key, values in samples.items() if key.endswith("_s")}
    figures["ratio"] = figures["hnswlib_s"] / figures["first_search_s"]
    figures["rounds"] = BUILD_ROUNDS
    figures["samples"] = samples
    figures["sorvid_recall_mean"] = float(np.mean(samples["sorvid_recall"]))
    figures["hnswlib_recall_mean"] = float(np.mean(samples["hnswlib_recall"]))
    return store, index, figures


# --- 2: queries --------------------------------------------------------------------------------------------------

def latency(samples_ns: NDArray[np.int64]) -> Figures:
    p50, p99 = np.percentile(samples_ns, [50, 99]) / 1e6
    return {"p50_ms": float(p50), "p99_ms": float(p99), "mean_ms": float(samples_ns.mean()) / 1e6}


def race_queries(store: VectorStore, index: Any, warm_up: Matrix, queries: Matrix,
                 truth: NDArray[np.int32]) -> Figures:
    """p50, p99 and recall@10 of one query per call, ours and hnswlib's, in interleaved rounds."""
    import index_bench

    rows = [cast(Sequence[float], q) for q in queries]
    for row in warm_up:
        store.search(cast(Sequence[float], row), K)
        index.knn_query(row, k=K)
    taken = {"sorvid": np.zeros(len(rows), np.int64), "hnswlib": np.zeros(len(rows), np.int64)}
    found: dict[str, list[list[int]]] = {"sorvid": [[] for _ in rows], "hnswlib": [[] for _ in rows]}

    def ours(i: int) -> None:
        start = time.perf_counter_ns()
        hits = store.search(rows[i], K)
        taken["sorvid"][i] = time.perf_counter_ns() - start
        found["sorvid"][i] = [int(entry.id) for entry, _ in hits]

    def theirs(i: int) -> None:
        start = time.perf_counter_ns()
        labels, _ = index.knn_query(rows[i], k=K)
        taken["hnswlib"][i] = time.perf_counter_ns() - start
        found["hnswlib"][i] = labels[0].tolist()

    per_round = -(-len(rows) // ROUNDS)
    for number, first in enumerate(range(0, len(rows), per_round)):
        block = range(first, min(first + per_round, len(rows)))
        for side in ((ours, theirs) if number % 2 == 0 else (theirs, ours)):
            for i in block:
                side(i)
    figures: Figures = {"queries": len(rows), "rounds": ROUNDS, "warm_up": len(warm_up)}
    for library in ("sorvid", "hnswlib"):
        figures[library] = {**latency(taken[library]), "recall_at_10": index_bench.recall(found[library], truth)}
    figures["p50_ratio"] = figures["hnswlib"]["p50_ms"] / figures["sorvid"]["p50_ms"]
    figures["p99_ratio"] = figures["hnswlib"]["p99_ms"] / figures["sorvid"]["p99_ms"]
    return figures


# --- fresh processes (3 and 4) -------------------------------------------------------------------------------------

# A child imports this file as a module, from its compiled cache once that exists, rather than running it as a
# script, which compiles the source anew and leaves the compiler's memory in the process measured.
CHILD_PROGRAM = f"import sys; sys.path.insert(0, {HERE!r}); import race_bench; race_bench.child_main(sys.argv[1:])"


def child(mode: str, *args: str) -> Figures:
    """Runs `mode` in a fresh interpreter and returns the JSON object it prints."""
    import subprocess

    try:
        out = subprocess.run([sys.executable, "-c", CHILD_PROGRAM, mode, *args], check=True, capture_output=True,
                             text=True, timeout=CHILD_TIMEOUT_S).stdout
    except subprocess.CalledProcessError as failure:
        print(failure.stderr, file=sys.stderr)  # the child's traceback, which the exception leaves out
        raise
    return cast(Figures, json.loads(out.strip().splitlines()[-1]))


def child_main(argv: list[str]) -> None:
    print(json.dumps(child_figures(argv[0], argv[1:])))


def child_figures(mode: str, args: list[str]) -> Figures:
    """In a fresh process: the open of `mode` ("open", "open-search", "chroma-open", "chroma-open-search"), timed,
    with our store's memory around it."""
    query = np.load(args[-1]).astype(np.float32)
    if mode.startswith("chroma-"):
        chromadb = importlib.import_module("chromadb")
        settings = importlib.import_module("chromadb.config").Settings(anonymized_telemetry=False)
        start = time.perf_counter()
        collection = chromadb.PersistentClient(path=args[0], settings=settings).get_collection(CHROMA_NAME)
        figures: Figures = {"open_s": time.perf_counter() - start}
        if mode == "chroma-open-search":
            figures["search_s"] = seconds(lambda: collection.query(query_embeddings=query[None, :], n_results=K))
        return figures
    before_kb = status_kb("VmRSS")
    start = time.perf_counter()
    store = VectorStore.open(args[0], args[1])
    figures = {"open_s": time.perf_counter() - start}
    if mode == "open-search":
        figures["search_s"] = seconds(lambda: store.search(cast(Sequence[float], query), K))
    return {**figures, "before_open_kb": before_kb, "rss_kb": status_kb("VmRSS"), "anon_kb": status_kb("RssAnon"),
            "file_kb": status_kb("RssFile"), "entries": len(store)}


# --- 3: memory ---------------------------------------------------------------------------------------------------

def memory(snapshot: str, wal: str, query_path: str, entries: int) -> Figures:
    """The whole process's VmRSS after open and one search, and its growth over VmRSS before the open, over the
    raw float bytes. A first, unmeasured run warms the page cache and leaves this module compiled."""
    child("open-search", snapshot, wal, query_path)
    found = child("open-search", snapshot, wal, query_path)
    raw = entries * DIM * 4
    return {"entries": entries, "raw_mb": raw / 2**20, "before_open_mb": found["before_open_kb"] / 1024,
            "rss_mb": found["rss_kb"] / 1024, "anon_mb": found["anon_kb"] / 1024, "file_mb": found["file_kb"] / 1024,
            "whole_ratio": found["rss_kb"] * 1024 / raw,
            "growth_ratio": (found["rss_kb"] - found["before_open_kb"]) * 1024 / raw}


# --- 4: open beside Chroma ---------------------------------------------------------------------------------------

def chroma_filled(folder: str, points: Matrix) -> Figures:
    """A Chroma collection in `folder` holding the same entries; the client is dropped once it is filled."""
    import live_bench

    client = live_bench.chroma_client(folder)
    configuration = {"hnsw": {"space": "cosine", "max_neighbors": M, "ef_construction": EF_CONSTRUCTION,
                              "ef_search": EF_SEARCH}}
    start = time.perf_counter()
    collection = client.create_collection(CHROMA_NAME, embedding_function=None, configuration=configuration)
    step = client.get_max_batch_size()
    for first in range(0, len(points), step):
        last = min(first + step, len(points))
        collection.add(ids=[str(i) for i in range(first, last)], embeddings=points[first:last])
    fill_s = time.perf_counter() - start
    del collection, client
    live_bench.chroma_forget_clients()
    return {"fill_s": fill_s}


def folder_bytes(folder: str) -> int:
    return sum(os.path.getsize(os.path.join(root, name)) for root, _, names in os.walk(folder) for name in names)


def medians(samples: list[Figures]) -> Figures:
    opened = [s["open_s"] for s in samples]
    figures: Figures = {"open_s": float(np.median(opened)), "open_samples_s": opened}
    if "search_s" in samples[0]:
        together = [s["open_s"] + s["search_s"] for s in samples]
        figures.update(open_search_s=float(np.median(together)), open_search_samples_s=together,
                       search_s=float(np.median([s["search_s"] for s in samples])))
    return figures


def open_race(folder: str, snapshot: str, wal: str, points: Matrix, query_path: str) -> Figures:
    """Our open (alone, and with the first search) and Chroma's, in fresh processes, interleaved; medians."""
    import live_bench

    chroma_dir = os.path.join(folder, "chroma")
    try:
        log(f"filling Chroma with {len(points):,} entries")
        chroma: Figures | None = chroma_filled(chroma_dir, points)
    except ImportError as error:
        log(f"Chroma left out: {error}")
        chroma = None
    runs: list[tuple[str, list[str]]] = [("open", [snapshot, wal, query_path]),
                                         ("open-search", [snapshot, wal, query_path])]
    if chroma is not None:
        runs += [("chroma-open", [chroma_dir, query_path]), ("chroma-open-search", [chroma_dir, query_path])]
    live_bench.warm_cache(os.path.dirname(snapshot))
    if chroma is not None:
        live_bench.warm_cache(chroma_dir)
    log(f"open in fresh processes: one warm-up and {OPEN_REPEATS} timed runs of {', '.join(m for m, _ in runs)}")
    for mode, args in runs:
        child(mode, *args)
    samples: dict[str, list[Figures]] = {mode: [] for mode, _ in runs}
    for _ in range(OPEN_REPEATS):
        for mode, args in runs:
            samples[mode].append(child(mode, *args))
    figures: Figures = {
        "repeats": OPEN_REPEATS, "entries": len(points),
        "store_files": {name: os.path.getsize(os.path.join(os.path.dirname(snapshot), name))
                        for name in sorted(os.listdir(os.path.dirname(snapshot)))},
        "sorvid": {"open": medians(samples["open"]), "open_search": medians(samples["open-search"])}}
    if chroma is None:
        return {**figures, "chroma": None}
    figures["chroma"] = {"open": medians(samples["chroma-open"]), "open_search": medians(samples["chroma-open-search"]),
                         "fill_s": chroma["fill_s"], "folder_bytes": folder_bytes(chroma_dir)}
    ours, theirs = figures["sorvid"], figures["chroma"]
    # Ratios read as elsewhere: Chroma's time over ours. The headline sets our open alone against Chroma's reopen
    # with its first query, since Chroma reads its index only then.
    figures["headline_ratio"] = theirs["open_search"]["open_search_s"] / ours["open"]["open_s"]
    figures["open_ratio"] = theirs["open"]["open_s"] / ours["open"]["open_s"]
    figures["open_search_ratio"] = theirs["open_search"]["open_search_s"] / ours["open_search"]["open_search_s"]
    return figures


# --- one data set ------------------------------------------------------------------------------------------------

def race_dataset(folder: str, name: str, points: Matrix, queries: Matrix, with_open: bool) -> Figures:
    """Build, queries and memory on one data set (and the open beside Chroma when `with_open`)."""
    import index_bench

    os.makedirs(folder)
    log(f"{name}: brute-force neighbours of {len(queries):,} queries")
    truth = index_bench.true_neighbours(points, queries)
    figures: Figures = {"name": name, "entries": len(points), "dim": int(points.shape[1])}
    log(f"{name}: {BUILD_ROUNDS} rounds of upsert_batch of {len(points):,} entries and the first search, and of "
        "hnswlib add_items, the first alternating")
    store_dir = os.path.join(folder, "store")
    store, index, figures["build"] = build_rounds(store_dir, points, queries, truth)
    log(f"{name}: {len(queries):,} queries one per call, {ROUNDS} interleaved rounds")
    figures["queries"] = race_queries(store, index, points[1:1 + WARM_UP], queries, truth)
    del index
    log(f"{name}: compact")
    figures["compact_s"] = seconds(store.compact)
    del store  # closed before the fresh processes open it
    query_path = os.path.join(folder, "query.npy")
    np.save(query_path, queries[0])
    snapshot, wal = os.path.join(store_dir, SNAPSHOT), os.path.join(store_dir, LOG)
    log(f"{name}: memory after open and one search, in a fresh process")
    figures["memory"] = memory(snapshot, wal, query_path, len(points))
    if with_open:
        figures["open"] = open_race(folder, snapshot, wal, points, query_path)
    return figures


def run(quick: bool) -> Figures:
    import tempfile

    scale = 10 if quick else 1
    figures: Figures = {"quick": quick, "load_before": os.getloadavg(), "goals": GOALS, "k": K, "m": M,
                        "ef_construction": EF_CONSTRUCTION, "ef_search": EF_SEARCH, "build_threads": BUILD_THREADS,
                        "queries": QUERIES, "rounds": ROUNDS, "datasets": {}}
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="race-bench-") as folder:
        points, queries = clustered_data(CLUSTERED_ENTRIES // scale)
        figures["datasets"]["clustered"] = race_dataset(os.path.join(folder, "clustered"),
                                                        f"{len(points):,} x {DIM} clustered", points, queries, False)
        del points, queries
        points, queries = minilm_data(1 / scale)
        figures["datasets"]["minilm"] = race_dataset(os.path.join(folder, "minilm"), f"{len(points):,} x {DIM} MiniLM",
                                                     points, queries, True)
    figures["load_after"] = os.getloadavg()
    figures["minutes"] = (time.perf_counter() - started) / 60
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="a tenth of each data set's entries")
    parser.add_argument("--json", action="store_true", help="print one JSON object on one line")
    args = parser.parse_args()
    figures = run(args.quick or os.environ.get("BENCH_QUICK", "") not in ("", "0"))
    print(json.dumps(figures) if args.json else json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
