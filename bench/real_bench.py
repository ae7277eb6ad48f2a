"""The index and a filled store on real embeddings: Debian package descriptions.

Loads (or makes) the cached all-MiniLM-L6-v2 vectors of bench/real_data.py,
holds 1,000 descriptions out as queries, and
  - builds this project's index, hnswlib and FAISS on the rest and reports
    build time, query time and recall@10 against brute force (with the
    peers' ef sweep);
  - fills a VectorStore with the same entries (package name as id, synopsis
    as metadata), then times compact, open (against orjson.loads of the same
    snapshot), the first search after a change (it rebuilds the index) and
    later searches, and reports the store's own recall@10.

    python bench/real_bench.py --binary build/bench/bench/index_bench [--texts N] [--json]
"""

import argparse
import json
import os
import sys
import tempfile
import time

import numpy as np
import orjson

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import index_bench  # noqa: E402
import real_data  # noqa: E402

QUERIES = 1000
REAL_TEXTS = 30_000


def split(ids, synopses, vectors, rng):
    order = rng.permutation(len(ids))
    held_out, kept = np.sort(order[:QUERIES]), np.sort(order[QUERIES:])
    return ([ids[i] for i in kept], [synopses[i] for i in kept], vectors[kept]), vectors[held_out]


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def store_workload(ids, synopses, points, queries, truth):
    from sorvid_vector_db import VectorEntry, VectorStore

    results = {}
    with tempfile.TemporaryDirectory() as folder:
        snap, wal = os.path.join(folder, "real.snap"), os.path.join(folder, "real.wal")
        store = VectorStore.new(snap, wal)
        entries = [VectorEntry(package, row, synopsis, "2026-12-07T00:00:00Z")
                   for package, synopsis, row in zip(ids, synopses, points, strict=False)]
        results["upsert_batch (rows/s)"] = len(entries) / timed(lambda: store.upsert_batch(entries))[0]
        results["log size (MB)"] = os.path.getsize(wal) / 1e6
        results["compact (s)"] = timed(store.compact)[0]
        results["snapshot size (MB)"] = os.path.getsize(snap) / 1e6
        store = entries = None  # closes the store and frees the entries before reopening
        results["open (s)"] = min(timed(lambda: VectorStore.open(snap, wal))[0] for _ in range(3))
        with open(snap, "rb") as f:
            text = f.read()
        results["orjson.loads of the snapshot (s)"] = min(timed(lambda: orjson.loads(text))[0] for _ in range(3))
        text = None
        store = VectorStore.open(snap, wal)
        results["first search, with index build (s)"] = timed(lambda: store.search(queries[0]))[0]
        position = {package: i for i, package in enumerate(ids)}
        elapsed, answers = timed(lambda: [store.search(q, 10) for q in queries])
        results["later search (ms/query)"] = elapsed / len(queries) * 1e3
        found = [[position[entry.id] for entry, _ in hits] for hits in answers]
        results["store recall@10"] = index_bench.recall(found, truth)
    return results


def run(binary, texts=REAL_TEXTS, limit=None, log=True):
    """(index rows, peers' ef sweep rows, store figures, facts about the data)."""
    ids, synopses, vectors = real_data.load(texts)
    if limit is not None:
        ids, synopses, vectors = ids[:limit], synopses[:limit], vectors[:limit]
    (ids, synopses, points), queries = split(ids, synopses, vectors, np.random.default_rng(11))
    truth = index_bench.true_neighbours(points, queries)
    name = f"{len(points)} x 384 MiniLM"
    with tempfile.TemporaryDirectory() as workdir:
        rows, sweep = index_bench.compare(binary, name, points, queries, truth, workdir, sweep=True, log=log)
    store = store_workload(ids, synopses, points, queries, truth)
    facts = {"points": len(points), "queries": len(queries), "texts_cached": texts,
             "embed_seconds": real_data.embed_seconds(texts)}
    return rows, sweep, store, facts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True, help="path to the index_bench program")
    parser.add_argument("--texts", type=int, default=REAL_TEXTS, help="descriptions embedded and cached")
    parser.add_argument("--limit", type=int, help="use only the first LIMIT of them")
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    rows, sweep, store, facts = run(args.binary, args.texts, args.limit)
    if args.json:
        print(json.dumps({"rows": rows, "sweep": sweep, "store": store, "facts": facts}))
        return
    for r in rows:
        print(f"{r['library']:<8} build {r['build_s']:>7.2f} s  query {r['query_ms']:.4f} ms  "
              f"recall@10 {r['recall_at_10']:.4f}")
    for key, value in store.items():
        print(f"{key:<40} {value:>10.4f}")


if __name__ == "__main__":
    main()
