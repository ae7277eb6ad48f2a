"""A store that keeps changing, side by side with hnswlib and Chroma.

On N entries of 384 float32 values in Gaussian clusters (index_bench's
generator; N = 100,000, 10,000 with --quick) this measures, in one run:

  1. `upsert` of one entry then `search` (median and 90th percentile over 50
     rounds, after a warm-up search so that the index exists), beside hnswlib
     (`add_items` of the same point into an index built on the same data with
     M 32, ef_construction 100, ef 100, then `knn_query`) and a Chroma
     `PersistentClient` collection (cosine; `add` then `query`); once with a
     new id and once replacing an existing one;
  2. `upsert_batch` of 1,000 entries then `search` (peers: their add of 1,000
     then a query);
  3. `open` alone against `open` then the first `search` of a compacted store,
     each in fresh processes with the page cache warm (Chroma: a new
     PersistentClient and get_collection, then a query);
  4. recall@10 against brute force over the live entries after 20 rounds of
     1% replaced, 1% deleted and 1% added entries with a search after each
     round, beside a store freshly built on the final entries; on the
     clustered data and on the MiniLM embeddings of bench/real_data.py;
  5. how often another Python thread (sleep 1 ms, count) runs during the long
     calls: the first search of a store opened without its graph file,
     compact, upsert_batch, open;
  6. the peak memory of `compact` over the store's steady memory, in a fresh
     process (VmHWM reset through /proc/self/clear_refs).

A scenario whose rounds run past the time budget stops early and is marked
over budget, so that the run ends in reasonable time whatever the engine does.

    python bench/live_bench.py [--quick] [--entries N] [--texts T] [--json]

The last line printed with --json is one JSON object (bench/run_all.py reads it).
Needs numpy, hnswlib and chromadb (requirements-bench.txt).
"""

import argparse
import functools
import importlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any, cast

import numpy as np
from numpy.typing import NDArray

from sorvid_vector_db import VectorEntry, VectorStore

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import index_bench  # noqa: E402
import real_bench  # noqa: E402
import real_data  # noqa: E402

Matrix = NDArray[np.float32]
Figures = dict[str, Any]

DIM = 384
K = 10
ONE_ROUNDS = 50
BATCH = 1000
BATCH_ROUNDS = 5
OPEN_REPEATS = 3
CHURN_ROUNDS = 20
CHURN_SHARE = 0.01
QUERIES = 200
FILL_CHUNK = 10_000
CREATED = "2026-12-08T00:00:00Z"
CHROMA_NAME = "live-bench"
SNAPSHOT, LOG = "store.snap", "store.wal"


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] live: {message}", file=sys.stderr, flush=True)


# The module's stub types embeddings as sequences of floats; a float32 NumPy
# row is read directly (no Python float per value), so rows go in as they are.
def entry(entry_id: str, row: Matrix, metadata: str = "meta") -> VectorEntry:
    return VectorEntry(entry_id, cast(Sequence[float], row), metadata, CREATED)


def search_ids(store: VectorStore, query: Matrix) -> list[str]:
    return [hit.id for hit, _ in store.search(cast(Sequence[float], query), K)]


def fill(store: VectorStore, ids: Sequence[str], rows: Matrix) -> None:
    for start in range(0, len(ids), FILL_CHUNK):
        end = min(start + FILL_CHUNK, len(ids))
        store.upsert_batch([entry(ids[i], rows[i]) for i in range(start, end)])


def seconds(call: Callable[[], object]) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def rounds(step: Callable[[int], object], planned: int, budget_s: float) -> Figures:
    """Times step(0), step(1), ... up to `planned` rounds, stopping once `budget_s` has passed."""
    samples: list[float] = []
    started = time.perf_counter()
    for i in range(planned):
        samples.append(seconds(functools.partial(step, i)))
        if time.perf_counter() - started > budget_s:
            break
    return {"rounds": len(samples), "planned": planned, "over_budget": len(samples) < planned,
            "median_ms": 1e3 * statistics.median(samples), "p90_ms": 1e3 * float(np.percentile(samples, 90)),
            "total_s": time.perf_counter() - started}


# --- peers ---------------------------------------------------------------------------------------------------

# Chroma is imported untyped: a bench-only dependency that the lint environment may lack.
def chroma_client(path: str) -> Any:
    chromadb = importlib.import_module("chromadb")
    settings = importlib.import_module("chromadb.config").Settings(anonymized_telemetry=False)
    return chromadb.PersistentClient(path=path, settings=settings)


def chroma_forget_clients() -> None:
    """Drops the clients Chroma caches per path, so that the next one reads the files anew."""
    importlib.import_module("chromadb.api.shared_system_client").SharedSystemClient.clear_system_cache()


def chroma_fill(client: Any, ids: Sequence[str], rows: Matrix) -> Any:
    configuration = {"hnsw": {"space": "cosine", "max_neighbors": index_bench.M,
                              "ef_construction": index_bench.EF_CONSTRUCTION, "ef_search": index_bench.EF_SEARCH}}
    collection = client.create_collection(CHROMA_NAME, embedding_function=None, configuration=configuration)
    step = client.get_max_batch_size()
    for start in range(0, len(ids), step):
        collection.add(ids=list(ids[start:start + step]), embeddings=rows[start:start + step])
    return collection


def chroma_query(collection: Any, query: Matrix) -> object:
    return collection.query(query_embeddings=query[None, :], n_results=K)


def hnswlib_index(rows: Matrix, capacity: int) -> Any:
    hnswlib = importlib.import_module("hnswlib")
    index = hnswlib.Index(space="cosine", dim=rows.shape[1])
    index.init_index(max_elements=capacity, M=index_bench.M, ef_construction=index_bench.EF_CONSTRUCTION)
    index.add_items(rows, np.arange(len(rows)), num_threads=index_bench.THREADS)
    index.set_ef(index_bench.EF_SEARCH)
    return index


def hnswlib_query(index: Any, query: Matrix) -> object:
    return index.knn_query(query[None, :], k=K, num_threads=1)


# --- 5: a Python thread beside long calls --------------------------------------------------------------------

class Ticker:
    """A thread that sleeps 1 ms and notes the time, as long as it can take the GIL."""

    def __init__(self) -> None:
        self.times: list[float] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop.is_set():
            time.sleep(0.001)
            self.times.append(time.perf_counter())

    def __enter__(self) -> "Ticker":
        self._thread.start()
        time.sleep(0.02)  # ticking before the call starts
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()

    def between(self, start: float, end: float) -> int:
        return sum(1 for t in self.times if start < t < end)


# Ticks this close to either end of a call may have run in the Python code around the C call, where the
# interpreter hands the GIL over anyway; only those well inside show that the call itself let go of it.
TICK_MARGIN_S = 0.002


def ticked(name: str, call: Callable[[], object], long_call: bool = True) -> Figures:
    """Ticks of another thread while `call` runs; `long_call` marks the calls the GIL must be let go in (the
    others are timed for context)."""
    with Ticker() as ticker:
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    inside = max(end - start - 2 * TICK_MARGIN_S, 1e-9)
    ticks = ticker.between(start + TICK_MARGIN_S, end - TICK_MARGIN_S)
    return {"call": name, "seconds": end - start, "ticks": ticks, "ticks_per_s": ticks / inside, "long_call": long_call}


def idle_ticks_per_s() -> float:
    return cast(float, ticked("sleep", functools.partial(time.sleep, 0.5))["ticks_per_s"])


# --- fresh processes (3 and 6) -------------------------------------------------------------------------------

def child(mode: str, *args: str, timeout: float) -> Figures:
    """Runs this file in a fresh interpreter in `mode` and returns the JSON object it prints."""
    try:
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", mode, *args], check=True,
                             capture_output=True, text=True, timeout=timeout).stdout
    except subprocess.TimeoutExpired:
        return {"over_budget": True}
    except subprocess.CalledProcessError as failure:
        print(failure.stderr, file=sys.stderr)  # the child's traceback, which the exception leaves out
        raise
    return cast(Figures, json.loads(out.strip().splitlines()[-1]))


def status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


def reset_peak() -> bool:
    """Sets VmHWM back to the current RSS (Linux); false where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return False
    return status_kb("VmHWM") <= status_kb("VmRSS") + 1024


class RssSampler:
    """The largest RSS seen every 2 ms: the fallback where VmHWM cannot be reset (it misses peaks under the GIL)."""

    def __init__(self) -> None:
        self.peak_kb = status_kb("VmRSS")
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.is_set():
            self.peak_kb = max(self.peak_kb, status_kb("VmRSS"))
            time.sleep(0.002)

    def stop(self) -> int:
        self._stop.set()
        self._thread.join()
        return max(self.peak_kb, status_kb("VmRSS"))


def run_child(mode: str, args: list[str]) -> Figures:
    if mode in ("open", "open-search", "compact-memory"):
        snapshot, wal = args[0], args[1]
        base = status_kb("VmRSS")
        opened_at = time.perf_counter()
        store = VectorStore.open(snapshot, wal)
        figures: Figures = {"open_s": time.perf_counter() - opened_at}
        if mode == "open":
            return figures
        query = np.load(args[2]).astype(np.float32)
        figures["search_s"] = seconds(lambda: store.search(cast(Sequence[float], query), K))
        figures["open_search_s"] = figures["open_s"] + figures["search_s"]
        if mode == "open-search":
            return figures
        steady = status_kb("VmRSS")
        exact = reset_peak()
        sampler = None if exact else RssSampler()
        store.upsert(entry(args[3], query, "changed"))
        figures["compact_s"] = seconds(store.compact)
        peak = status_kb("VmHWM") if sampler is None else sampler.stop()
        return {**figures, "process_before_open_mb": base / 1024, "steady_mb": steady / 1024, "peak_mb": peak / 1024,
                "over_steady_pct": 100 * (peak / steady - 1), "method": "VmHWM" if exact else "RSS sampled"}
    client_at = time.perf_counter()
    collection = chroma_client(args[0]).get_collection(CHROMA_NAME)
    figures = {"open_s": time.perf_counter() - client_at}
    if mode == "chroma-open-search":
        query = np.load(args[1]).astype(np.float32)
        figures["search_s"] = seconds(lambda: chroma_query(collection, query))
        figures["open_search_s"] = figures["open_s"] + figures["search_s"]
    return figures


def warm_cache(folder: str) -> None:
    for root, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(root, name), "rb") as f:
                while f.read(1 << 24):
                    pass


def open_pair(mode: str, args: list[str], search_args: list[str], budget_s: float) -> Figures:
    """Open alone and open then first search, alternating in fresh processes; medians and their ratio."""
    alone: list[float] = []
    searched: list[Figures] = []
    for _ in range(OPEN_REPEATS):
        first = child(mode + "open", *args, timeout=budget_s)
        second = child(mode + "open-search", *args, *search_args, timeout=budget_s)
        if first.get("over_budget") or second.get("over_budget"):
            return {"over_budget": True, "open_s": statistics.median(alone) if alone else None}
        alone.append(first["open_s"])
        searched.append(second)
    open_s = statistics.median(alone)
    open_search_s = statistics.median(s["open_search_s"] for s in searched)
    return {"over_budget": False, "open_s": open_s, "open_search_s": open_search_s, "ratio": open_search_s / open_s,
            "search_s": statistics.median(s["search_s"] for s in searched)}


# --- 4: recall under churn -----------------------------------------------------------------------------------

def recall_at_k(found: Sequence[Sequence[str]], truth: Sequence[Sequence[str]]) -> float:
    return sum(len(set(f) & set(t)) for f, t in zip(found, truth, strict=True)) / (K * len(truth))


def store_recall(store: VectorStore, queries: Matrix, live: dict[str, int], rows: Matrix) -> float:
    ids = list(live)
    nearest = index_bench.true_neighbours(rows[[live[i] for i in ids]], queries)
    truth = [[ids[j] for j in row] for row in nearest]
    return recall_at_k([search_ids(store, q) for q in queries], truth)


def churned_store(folder: str, name: str, rows: Matrix, initial: int, queries: Matrix, budget_s: float,
                  rng: np.random.Generator) -> tuple[Figures, dict[str, int]]:
    """`initial` entries, then CHURN_ROUNDS rounds of replacing, deleting and adding 1% each, a search after each;
    the figures with the store's recall at the end, and the live ids with their rows.

    rows[initial:] feed the replacements and additions. Searching after a round stops once `budget_s` has
    passed (the mutations go on), so that the final recall is always measured."""
    share = max(1, int(initial * CHURN_SHARE))
    assert initial + 2 * share * CHURN_ROUNDS <= len(rows), "too few rows for the churn"
    live = {f"{name}-{i}": i for i in range(initial)}
    store = VectorStore.new(os.path.join(folder, name + ".snap"), os.path.join(folder, name + ".wal"))
    fill(store, list(live), rows[:initial])

    def search(query: Matrix) -> None:
        store.search(cast(Sequence[float], query), K)

    build_s = seconds(functools.partial(search, queries[0]))
    spare = initial
    searched: list[float] = []
    started = time.perf_counter()
    for round_number in range(CHURN_ROUNDS):
        keys = np.array(list(live))
        picked = rng.choice(len(keys), size=2 * share, replace=False)
        replaced, deleted = keys[picked[:share]], keys[picked[share:]]
        store.upsert_batch([entry(str(key), rows[spare + j]) for j, key in enumerate(replaced)])
        for key in deleted:
            store.delete(str(key))
            del live[str(key)]
        store.upsert_batch([entry(f"{name}-{spare + share + j}", rows[spare + share + j]) for j in range(share)])
        live.update({str(key): spare + j for j, key in enumerate(replaced)})
        live.update({f"{name}-{spare + share + j}": spare + share + j for j in range(share)})
        spare += 2 * share
        if time.perf_counter() - started <= budget_s:
            searched.append(seconds(functools.partial(search, queries[round_number % len(queries)])))
    figures = {"initial": initial, "live": len(live), "per_round": share, "rounds": CHURN_ROUNDS,
               "rounds_searched": len(searched), "over_budget": len(searched) < CHURN_ROUNDS, "budget_s": budget_s,
               "first_build_s": build_s,
               "search_after_round_median_s": statistics.median(searched) if searched else None,
               "recall_churned": store_recall(store, queries, live, rows)}
    return figures, live


def churn(folder: str, name: str, rows: Matrix, initial: int, queries: Matrix, budget_s: float,
          rng: np.random.Generator) -> Figures:
    """The churned store's recall beside that of a store made afresh from the same final entries."""
    figures, live = churned_store(folder, name, rows, initial, queries, budget_s, rng)
    fresh = VectorStore.new(os.path.join(folder, name + "-fresh.snap"), os.path.join(folder, name + "-fresh.wal"))
    ids = sorted(live, key=live.__getitem__)
    fill(fresh, ids, rows[[live[i] for i in ids]])
    figures["recall_fresh"] = store_recall(fresh, queries, live, rows)
    figures["drop"] = figures["recall_fresh"] - figures["recall_churned"]
    return figures


# --- 1, 2, 3, 5, 6 on one store beside the peers -------------------------------------------------------------

class Pool:
    """Rows not yet in any index, handed out in order."""

    def __init__(self, rows: Matrix) -> None:
        self.rows = rows
        self.next = 0

    def take(self, count: int) -> Matrix:
        assert self.next + count <= len(self.rows), "the pool of fresh rows is too small"
        self.next += count
        return self.rows[self.next - count:self.next]


def big_batch(n: int) -> int:
    """The upsert_batch the ticker runs beside: long enough (about 0.1 s and more) to count ticks in."""
    return min(n, max(n // 10, 10_000))


def pool_size(n: int) -> int:
    return 2 * ONE_ROUNDS + BATCH * BATCH_ROUNDS + big_batch(n)


class Libraries:
    """Our store, hnswlib and Chroma (None when it is missing), filled with the same points."""

    def __init__(self, store: VectorStore, hnsw: Any, collection: Any, n: int) -> None:
        self.store, self.hnsw, self.collection, self.n = store, hnsw, collection, n

    def ours_search(self, query: Matrix) -> None:
        self.store.search(cast(Sequence[float], query), K)


def mutation_rounds(libs: Libraries, pool: Pool, queries: Matrix, budget_s: float,
                    rng: np.random.Generator) -> Figures:
    """Scenarios 1 and 2: the same mutations then a search, on each library in turn."""
    store, hnsw, collection = libs.store, libs.hnsw, libs.collection

    def query(i: int) -> Matrix:
        return queries[i % len(queries)]

    def side_by_side(ours: Callable[[int], None], theirs: Callable[[int], None], chroma: Callable[[int], None],
                     planned: int) -> Figures:
        return {"sorvid": rounds(ours, planned, budget_s), "hnswlib": rounds(theirs, planned, budget_s),
                "chroma": None if collection is None else rounds(chroma, planned, budget_s)}

    fresh = pool.take(ONE_ROUNDS)
    labels = libs.n + np.arange(ONE_ROUNDS)
    entries = [entry(f"new-{i}", row) for i, row in enumerate(fresh)]

    def ours_one(i: int) -> None:
        store.upsert(entries[i])
        libs.ours_search(query(i))

    def hnswlib_one(i: int) -> None:
        hnsw.add_items(fresh[i:i + 1], labels[i:i + 1], num_threads=1)
        hnswlib_query(hnsw, query(i))

    def chroma_one(i: int) -> None:
        collection.add(ids=[f"new-{i}"], embeddings=fresh[i:i + 1])
        chroma_query(collection, query(i))

    log("upsert of one new entry then search")
    figures = {"upsert_one": side_by_side(ours_one, hnswlib_one, chroma_one, ONE_ROUNDS)}

    changed = pool.take(ONE_ROUNDS)
    targets = rng.choice(libs.n, size=ONE_ROUNDS, replace=False)
    replacements = [entry(f"doc-{t}", row) for t, row in zip(targets, changed, strict=True)]

    def ours_replace(i: int) -> None:
        store.upsert(replacements[i])
        libs.ours_search(query(i))

    def hnswlib_replace(i: int) -> None:
        hnsw.add_items(changed[i:i + 1], targets[i:i + 1], num_threads=1)
        hnswlib_query(hnsw, query(i))

    def chroma_replace(i: int) -> None:
        collection.upsert(ids=[f"doc-{targets[i]}"], embeddings=changed[i:i + 1])
        chroma_query(collection, query(i))

    log("upsert replacing one entry then search")
    figures["replace_one"] = side_by_side(ours_replace, hnswlib_replace, chroma_replace, ONE_ROUNDS)

    batches = [pool.take(BATCH) for _ in range(BATCH_ROUNDS)]
    names = [[f"batch-{b}-{j}" for j in range(BATCH)] for b in range(BATCH_ROUNDS)]
    batch_entries = [[entry(name, row) for name, row in zip(names[b], batches[b], strict=True)]
                     for b in range(BATCH_ROUNDS)]

    def ours_batch(b: int) -> None:
        store.upsert_batch(batch_entries[b])
        libs.ours_search(query(b))

    def hnswlib_batch(b: int) -> None:
        first = libs.n + ONE_ROUNDS + b * BATCH
        hnsw.add_items(batches[b], first + np.arange(BATCH), num_threads=index_bench.THREADS)
        hnswlib_query(hnsw, query(b))

    def chroma_batch(b: int) -> None:
        collection.add(ids=names[b], embeddings=batches[b])
        chroma_query(collection, query(b))

    log(f"upsert_batch of {BATCH} then search")
    figures["batch"] = {"size": BATCH, **side_by_side(ours_batch, hnswlib_batch, chroma_batch, BATCH_ROUNDS)}
    return figures


FILL, FIRST_SEARCH = "filling with all entries (s)", "first search after filling (s)"


def filled(folder: str, snapshot: str, wal: str, points: Matrix, pool: Pool, queries: Matrix,
           setup: Figures) -> Libraries:
    """The three libraries filled with `points`, searched once; setup[figure][library] their times."""
    n = len(points)
    ids = [f"doc-{i}" for i in range(n)]
    setup[FILL], setup[FIRST_SEARCH] = {}, {}
    log(f"filling the store, hnswlib and Chroma with {n} entries")
    store = VectorStore.new(snapshot, wal)
    setup[FILL]["sorvid"] = seconds(functools.partial(fill, store, ids, points))
    libs = Libraries(store, None, None, n)
    setup[FIRST_SEARCH]["sorvid"] = seconds(functools.partial(libs.ours_search, queries[0]))
    start = time.perf_counter()
    libs.hnsw = hnswlib_index(points, n + pool_size(n))
    setup[FILL]["hnswlib"] = time.perf_counter() - start
    setup[FIRST_SEARCH]["hnswlib"] = seconds(functools.partial(hnswlib_query, libs.hnsw, queries[0]))
    try:
        client = chroma_client(os.path.join(folder, "chroma"))
    except ImportError as error:
        log(f"Chroma left out: {error}")
        return libs
    start = time.perf_counter()
    libs.collection = chroma_fill(client, ids, points)
    setup[FILL]["chroma"] = time.perf_counter() - start
    setup[FIRST_SEARCH]["chroma"] = seconds(functools.partial(chroma_query, libs.collection, queries[0]))
    return libs


def mutating(folder: str, snapshot: str, wal: str, points: Matrix, pool: Pool, queries: Matrix,
             budget_s: float, rng: np.random.Generator) -> Figures:
    """Scenarios 1 and 2 on the three libraries, then 5 on upsert_batch, search and compact; the store is
    compacted and closed (and Chroma's clients dropped) on return."""
    setup: Figures = {}
    libs = filled(folder, snapshot, wal, points, pool, queries, setup)
    figures: Figures = {"setup": setup, "chroma": libs.collection is not None,
                        **mutation_rounds(libs, pool, queries, budget_s, rng)}
    libs.hnsw = None
    if libs.collection is not None:
        libs.collection = None
        chroma_forget_clients()

    log("a Python thread beside upsert_batch, search and compact")
    store = libs.store
    big = pool.take(big_batch(len(points)))
    big_entries = [entry(f"doc-{i}", row) for i, row in enumerate(big)]  # replacing, so the store keeps its size
    figures["ticks"] = {"idle_per_s": idle_ticks_per_s(), "calls": [
        ticked(f"upsert_batch replacing {len(big):,} entries", functools.partial(store.upsert_batch, big_entries)),
        ticked("search after that upsert_batch", functools.partial(libs.ours_search, queries[1]), long_call=False),
        ticked(f"compact ({len(store):,} entries)", store.compact)]}
    return figures


def reopening(folder: str, snapshot: str, wal: str, queries: Matrix, budget_s: float, ticks: list[Figures],
              chroma: bool) -> Figures:
    """Scenarios 3, 5 (open, first search without a graph file) and 6 on the compacted store."""
    query_path = os.path.join(folder, "query.npy")
    np.save(query_path, queries[0])
    log("open alone against open then first search, in fresh processes")
    warm_cache(os.path.dirname(snapshot))
    figures: Figures = {"open": {"sorvid": open_pair("", [snapshot, wal], [query_path], budget_s)}}
    if chroma:
        chroma_dir = os.path.join(folder, "chroma")
        warm_cache(chroma_dir)
        figures["open"]["chroma"] = open_pair("chroma-", [chroma_dir], [query_path], budget_s)

    log("a Python thread beside open and the first search without a graph file")
    opened: list[VectorStore] = []

    def first_search(query: Matrix) -> None:
        opened[0].search(cast(Sequence[float], query), K)

    ticks.append(ticked("open (compacted store)", lambda: opened.append(VectorStore.open(snapshot, wal))))
    ticks.append(ticked("first search after that open", functools.partial(first_search, queries[2]), long_call=False))
    opened.clear()
    bare = os.path.join(folder, "no-graph")
    os.makedirs(bare)
    for name in (SNAPSHOT, LOG):
        shutil.copyfile(os.path.join(os.path.dirname(snapshot), name), os.path.join(bare, name))
    opened.append(VectorStore.open(os.path.join(bare, SNAPSHOT), os.path.join(bare, LOG)))
    ticks.append(ticked("first search of a store opened without its graph file",
                        functools.partial(first_search, queries[3])))
    opened.clear()
    shutil.rmtree(bare)

    log("compact's peak memory over steady, in a fresh process")
    figures["compact_memory"] = child("compact-memory", snapshot, wal, query_path, "doc-2", timeout=5 * budget_s)
    return figures


def live_store(folder: str, points: Matrix, pool: Pool, queries: Matrix, budget_s: float,
               rng: np.random.Generator) -> Figures:
    ours = os.path.join(folder, "ours")
    os.makedirs(ours)
    snapshot, wal = os.path.join(ours, SNAPSHOT), os.path.join(ours, LOG)
    figures = mutating(folder, snapshot, wal, points, pool, queries, budget_s, rng)
    figures["store_files"] = {name: os.path.getsize(os.path.join(ours, name)) for name in sorted(os.listdir(ours))}
    if figures["chroma"]:
        figures["chroma_bytes"] = sum(os.path.getsize(os.path.join(root, name))
                                      for root, _, names in os.walk(os.path.join(folder, "chroma")) for name in names)
    figures.update(reopening(folder, snapshot, wal, queries, budget_s, figures["ticks"]["calls"], figures["chroma"]))
    return figures


def run(n: int, texts: int, budget_s: float) -> Figures:
    rng = np.random.default_rng(13)
    churn_rows = 2 * max(1, int(n * CHURN_SHARE)) * CHURN_ROUNDS
    points, rest = index_bench.synthetic(rng, n, DIM, pool_size(n) + churn_rows + QUERIES, False)
    pool = Pool(rest[:pool_size(n)])
    queries = rest[-QUERIES:]
    figures: Figures = {"entries": n, "dim": DIM, "budget_s": budget_s, "queries": QUERIES,
                        "open_repeats": OPEN_REPEATS}
    with tempfile.TemporaryDirectory(prefix="live-bench-") as folder:
        figures.update(live_store(folder, points, pool, queries, budget_s, rng))
        log(f"recall after {CHURN_ROUNDS} rounds of churn, clustered data")
        rows = np.concatenate([points, rest[pool_size(n):pool_size(n) + churn_rows]])
        figures["recall"] = {"clustered": churn(folder, "clustered", rows, n, queries, 2 * budget_s, rng)}
        del rows
        log(f"recall after {CHURN_ROUNDS} rounds of churn, MiniLM data")
        try:
            _, _, vectors = real_data.load(texts)
        except Exception as error:  # the model or apt's lists may be missing where the cache is
            log(f"MiniLM data left out: {error!r}")
            figures["recall"]["minilm"] = {"error": repr(error)}
            return figures
        order = rng.permutation(len(vectors))
        real_queries, real_rows = vectors[order[:QUERIES]], vectors[order[QUERIES:]]
        initial = int(len(real_rows) / (1 + 2 * CHURN_SHARE * CHURN_ROUNDS))
        figures["recall"]["minilm"] = churn(folder, "minilm", real_rows, initial, real_queries, 2 * budget_s, rng)
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="10,000 entries and shorter time budgets")
    parser.add_argument("--entries", type=int, help="entries of the synthetic store (default 100,000)")
    parser.add_argument("--texts", type=int, help="MiniLM descriptions, as bench/real_bench.py cached them")
    parser.add_argument("--budget", type=float, help="seconds a timed scenario may take before it stops early")
    parser.add_argument("--json", action="store_true", help="print one JSON object on one line")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("child_args", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(run_child(args.child, args.child_args)))
        return
    quick = args.quick or os.environ.get("BENCH_QUICK", "") not in ("", "0")
    n = args.entries or (10_000 if quick else 100_000)
    texts = args.texts or (4000 if quick else real_bench.REAL_TEXTS)
    figures = run(n, texts, args.budget or (20.0 if quick else 60.0))
    print(json.dumps(figures) if args.json else json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
