"""Index speed and recall side by side: this project's index, hnswlib and FAISS.

Makes Gaussian-cluster data with numpy (100,000 points of dimension 128 and
50,000 of dimension 384, each raw and unit-normalised), runs the C++ program
`index_bench` on it, then hnswlib and FAISS HNSW with the same parameters
(M = 32, i.e. 64 base links, ef_construction = 100, ef = 100, cosine, 2 build
threads), and prints one table. Queries run on one thread; the query time is
the mean over all queries (the peers answer them in one call, so that no
Python call overhead is counted).

    python bench/index_bench.py --binary build/<dir>/bench/index_bench [--quick]

The functions are also used by bench/run_all.py (the ef sweep of the peers,
build time against the number of points) and bench/real_bench.py.
Needs numpy, hnswlib and faiss-cpu (requirements-bench.txt).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

M = 32
EF_CONSTRUCTION = 100
EF_SEARCH = 100
K = 10
THREADS = 2
EF_SWEEP = (10, 20, 40, 60, 80, 100, 150, 200, 300, 400)


def clustered(rng, n, dim, clusters, spread):
    centres = rng.normal(size=(clusters, dim)).astype(np.float32)
    labels = rng.integers(0, clusters, size=n)
    points = centres[labels] + spread * rng.normal(size=(n, dim)).astype(np.float32)
    return points.astype(np.float32)


def unit(x):
    return (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)


def true_neighbours(points, queries):
    """The K nearest points of each query under cosine distance, by brute force in float64."""
    p = unit(points).astype(np.float64)
    q = unit(queries).astype(np.float64)
    truth = np.empty((len(q), K), dtype=np.int32)
    for start in range(0, len(q), 250):
        sims = q[start:start + 250] @ p.T
        top = np.argpartition(-sims, K, axis=1)[:, :K]
        order = np.argsort(-np.take_along_axis(sims, top, axis=1), axis=1)
        truth[start:start + 250] = np.take_along_axis(top, order, axis=1)
    return truth


def recall(found, truth):
    hits = sum(len(set(map(int, f[:K])) & set(map(int, t))) for f, t in zip(found, truth, strict=False))
    return hits / (K * len(truth))


def run_ours(binary, points, queries, truth, workdir):
    """(build seconds, query ms, recall@10) of this project's index, run by the C++ program."""
    paths = [os.path.join(workdir, name) for name in ("points.f32", "queries.f32", "truth.i32")]
    np.ascontiguousarray(points, dtype="<f4").tofile(paths[0])
    np.ascontiguousarray(queries, dtype="<f4").tofile(paths[1])
    np.ascontiguousarray(truth, dtype="<i4").tofile(paths[2])
    env = dict(os.environ, RAYON_NUM_THREADS=str(THREADS))
    out = subprocess.run([binary, paths[0], paths[1], str(points.shape[1]), paths[2], str(K)],
                         check=True, capture_output=True, text=True, env=env).stdout
    result = json.loads(out)
    return result["build_seconds"], result["query_ms"], result["recall"]


def build_hnswlib(points):
    import hnswlib

    index = hnswlib.Index(space="cosine", dim=points.shape[1])
    index.init_index(max_elements=len(points), M=M, ef_construction=EF_CONSTRUCTION)
    start = time.perf_counter()
    index.add_items(points, num_threads=THREADS)
    return index, time.perf_counter() - start


def query_hnswlib(index, queries, truth, ef):
    index.set_ef(ef)
    index.set_num_threads(1)
    # One call for all queries on one thread: the latency then carries no
    # Python call overhead, like the C++ loop it is compared with.
    start = time.perf_counter()
    found, _ = index.knn_query(queries, k=K)
    return 1000 * (time.perf_counter() - start) / len(queries), recall(found, truth)


def build_faiss(points):
    import faiss

    faiss.omp_set_num_threads(THREADS)
    index = faiss.IndexHNSWFlat(points.shape[1], M, faiss.METRIC_INNER_PRODUCT)
    index.hnsw.efConstruction = EF_CONSTRUCTION
    p = unit(points)
    start = time.perf_counter()
    index.add(p)
    return index, time.perf_counter() - start


def query_faiss(index, queries, truth, ef):
    import faiss

    index.hnsw.efSearch = ef
    faiss.omp_set_num_threads(1)
    q = unit(queries)
    start = time.perf_counter()
    _, found = index.search(q, K)
    return 1000 * (time.perf_counter() - start) / len(q), recall(found, truth)


PEERS = {"hnswlib": (build_hnswlib, query_hnswlib), "faiss": (build_faiss, query_faiss)}


def compare(binary, name, points, queries, truth, workdir, sweep=False, log=True):
    """Rows for the three libraries on one data set; with `sweep`, the peers' ef sweep as well."""
    n = len(points)
    rows, sweep_rows = [], []

    def add(library, build, query_ms, rec):
        rows.append({"data": name, "n": n, "dim": int(points.shape[1]), "library": library,
                     "build_s": round(build, 3), "points_per_s": round(n / build), "query_ms": round(query_ms, 4),
                     "qps": round(1000 / query_ms, 1), "recall_at_10": round(rec, 4)})
        if log:
            print(json.dumps(rows[-1]), file=sys.stderr, flush=True)

    add("sorvid", *run_ours(binary, points, queries, truth, workdir))
    for library, (build, query) in PEERS.items():
        index, build_s = build(points)
        add(library, build_s, *query(index, queries, truth, EF_SEARCH))
        if sweep:
            for ef in EF_SWEEP:
                query_ms, rec = query(index, queries, truth, ef)
                sweep_rows.append({"data": name, "library": library, "ef": ef, "query_ms": round(query_ms, 4),
                                   "qps": round(1000 / query_ms, 1), "recall_at_10": round(rec, 4)})
        del index
    return rows, sweep_rows


def synthetic(rng, n, dim, queries, normalised):
    raw = clustered(rng, n + queries, dim, clusters=max(10, n // 1000), spread=0.6)
    data = unit(raw) if normalised else raw
    return data[:n], data[n:]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True, help="path to the index_bench program")
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--quick", action="store_true", help="a tenth of the points")
    parser.add_argument("--json", help="also write the rows to this file")
    args = parser.parse_args()

    scale = 10 if args.quick else 1
    rng = np.random.default_rng(20240607)
    rows = []
    with tempfile.TemporaryDirectory() as workdir:
        for n, dim in ((100_000 // scale, 128), (50_000 // scale, 384)):
            for normalised in (False, True):
                points, queries = synthetic(rng, n, dim, args.queries, normalised)
                name = f"{n} x {dim} {'unit' if normalised else 'raw'}"
                rows += compare(args.binary, name, points, queries, true_neighbours(points, queries), workdir)[0]

    print(f"{'data':<22} {'library':<8} {'build s':>8} {'points/s':>9} {'query ms':>9} {'recall@10':>9}")
    for r in rows:
        print(f"{r['data']:<22} {r['library']:<8} {r['build_s']:>8.2f} {r['points_per_s']:>9} "
              f"{r['query_ms']:>9.4f} {r['recall_at_10']:>9.4f}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(rows, out, indent=1)


if __name__ == "__main__":
    main()
