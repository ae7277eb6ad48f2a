"""One-query search latency of two (or more) builds of the module and hnswlib, interleaved in one process.

Each build named with --mod LABEL=DIR (DIR holds a built sorvid_vector_db*.so) opens the same compacted store
(made once, with its saved graph, and cached under --cache), so all answer from the same graph; hnswlib
(M 32, ef_construction 100, ef 100, cosine) is built once and cached beside it. Every query is then sent
to each library in a shuffled order, so that a noisy machine slows them alike. Printed per library: wall
and thread-CPU p50/p90/p99 in microseconds, and recall@10 against brute force.

Data: `minilm` is the cached MiniLM vectors (bench/real_data.py), 1,000 of them held out as queries;
`clustered` is 100,000 x 384 points in Gaussian clusters (index_bench's generator) and 1,000 queries.

    python bench/search_ab.py --data minilm --mod before=build/a/src/python --mod after=build/b/src/python
"""
import argparse
import glob
import importlib.machinery
import importlib.util
import os
import random
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import index_bench  # noqa: E402

CACHE = os.path.join(tempfile.gettempdir(), "sorvid-search-ab")
K = 10


def load_module(label, folder):
    path = glob.glob(os.path.join(folder, "sorvid_vector_db*.so"))[0]
    loader = importlib.machinery.ExtensionFileLoader("sorvid_vector_db", path)
    spec = importlib.util.spec_from_file_location("sorvid_vector_db", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def dataset(name):
    if name == "minilm":
        import real_data
        cached = glob.glob(os.path.join(real_data.DATA_DIR, "minilm-apt-*.f32"))
        if not cached:
            sys.exit("no cached MiniLM vectors: run bench/real_data.py first")
        path = max(cached, key=os.path.getsize)
        data = np.fromfile(path, dtype="<f4").reshape(-1, 384)
        order = np.random.default_rng(17).permutation(len(data))
        return data[order[1000:]], data[order[:1000]]
    points, queries = index_bench.synthetic(np.random.default_rng(17), 100_000, 384, 1000, normalised=False)
    return points, queries


def store_files(cache, name, module, points):
    folder = os.path.join(cache, name)
    snap, wal = os.path.join(folder, "store.snap"), os.path.join(folder, "store.wal")
    if not os.path.exists(snap):
        os.makedirs(folder, exist_ok=True)
        store = module.VectorStore.new(snap, wal)
        for start in range(0, len(points), 5000):
            store.upsert_batch([module.VectorEntry(f"doc-{i}", points[i], "meta", "2026-01-01T00:00:00Z")
                                for i in range(start, min(start + 5000, len(points)))])
        store.compact()
        del store
    return snap, wal


def hnsw_index(cache, name, points):
    import hnswlib
    path = os.path.join(cache, name, "hnswlib.bin")
    index = hnswlib.Index(space="cosine", dim=points.shape[1])
    if os.path.exists(path):
        index.load_index(path, max_elements=len(points))
    else:
        index.init_index(max_elements=len(points), M=32, ef_construction=100)
        index.add_items(points, np.arange(len(points)), num_threads=2)
        index.save_index(path)
    index.set_ef(100)
    return index


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", choices=("minilm", "clustered"), default="minilm")
    parser.add_argument("--mod", action="append", required=True, help="LABEL=DIR of a built module (repeatable)")
    parser.add_argument("--rounds", type=int, default=3, help="passes over the queries")
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--as", dest="form", choices=("array", "list"), default="array",
                        help="queries as float32 rows or as lists of floats")
    parser.add_argument("--no-hnswlib", action="store_true")
    parser.add_argument("--with-k0", action="store_true",
                        help="also time top_k=0 (the walk without result objects) for each build")
    parser.add_argument("--profile", type=int, default=0,
                        help="only run the first build's queries this many times (for perf record)")
    parser.add_argument("--cache", default=CACHE, help="where the stores and hnswlib's index are kept")
    args = parser.parse_args()
    points, queries = dataset(args.data)
    queries = queries[:args.queries]
    truth = index_bench.true_neighbours(points, queries)
    calls = {}
    modules = [(label, load_module(label, folder)) for label, folder in (m.split("=", 1) for m in args.mod)]
    snap, wal = store_files(args.cache, args.data, modules[0][1], points)
    for label, module in modules:
        t = time.perf_counter()
        store = module.VectorStore.open(snap, wal)
        store.search(queries[0], K)
        print(f"{label}: opened in {time.perf_counter() - t:.1f} s", file=sys.stderr)
        calls[label] = (lambda s: lambda q: s.search(q, K))(store)
        if args.with_k0:
            calls[label + "/k0"] = (lambda s: lambda q: s.search(q, 0))(store)
    if not args.no_hnswlib:
        index = hnsw_index(args.cache, args.data, points)
        calls["hnswlib"] = lambda q: index.knn_query(q, k=K)
    qs = [q.tolist() for q in queries] if args.form == "list" else list(queries)
    if args.profile:
        call = calls[modules[0][0]]
        print("profiling", file=sys.stderr, flush=True)
        for _ in range(args.profile):
            for q in qs:
                call(q)
        return
    found = {label: [None] * len(qs) for label in calls}
    times = {label: [] for label in calls}
    labels = list(calls)
    rng = random.Random(5)
    for _ in range(50):  # warm-up
        for label in labels:
            calls[label](qs[0])
    clock = time.perf_counter_ns
    cpu = time.thread_time_ns
    cpu_times = {label: [] for label in calls}
    for _ in range(args.rounds):
        for i, q in enumerate(qs):
            rng.shuffle(labels)
            for label in labels:
                call = calls[label]
                c0 = cpu()
                t0 = clock()
                r = call(q)
                t1 = clock()
                c1 = cpu()
                times[label].append(t1 - t0)
                cpu_times[label].append(c1 - c0)
                if found[label][i] is None:
                    found[label][i] = r
    print(f"data={args.data} n={len(points)} queries={len(qs)} rounds={args.rounds} form={args.form}")
    for label in calls:
        t = np.array(times[label]) / 1e3
        if label.endswith("/k0"):
            rows = [[] for r in found[label]]
        elif label == "hnswlib":
            rows = [r[0][0].tolist() for r in found[label]]
        else:
            rows = [[int(e.id[4:]) for e, _ in r] for r in found[label]]
        rec = sum(len(set(f) & set(tr.tolist())) for f, tr in zip(rows, truth, strict=True)) / truth.size
        print(f"  {label:10s} p50 {np.percentile(t, 50):7.1f} us  p90 {np.percentile(t, 90):7.1f}  "
              f"p99 {np.percentile(t, 99):7.1f}  mean {t.mean():7.1f}  recall@10 {rec:.4f}")
        c = np.array(cpu_times[label]) / 1e3
        print(f"  {'  cpu':10s} p50 {np.percentile(c, 50):7.1f} us  p90 {np.percentile(c, 90):7.1f}  "
              f"p99 {np.percentile(c, 99):7.1f}  mean {c.mean():7.1f}")


if __name__ == "__main__":
    main()
