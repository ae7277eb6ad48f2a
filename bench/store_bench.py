"""Open, compact and search on a filled store, next to orjson reading the same files.

Makes a store of N entries of 384 float32 values (Gaussian clusters, as
embeddings of related texts fall; plain random normal vectors are a worst case
for a graph index that real data does not show), compacts it into a snapshot,
then times:
  - open of the snapshot alone, and of the snapshot plus 20,000 log lines;
  - orjson.loads of the same snapshot text, and of the same log lines;
  - compact (snapshot plus log) and the first search after a change (a full
    index rebuild) against later searches.
"""
import argparse
import json
import os
import sys
import tempfile
import time

import numpy as np
import orjson

from sorvid_vector_db import VectorEntry, VectorStore

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from index_bench import clustered  # noqa: E402

DIM = 384


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def best_of(fn, repeats):
    return min(timed(fn)[0] for _ in range(repeats))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--entries", type=int, default=100_000)
    parser.add_argument("--log-lines", type=int, default=20_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()

    rng = np.random.default_rng(3)
    # One draw for everything, so that log updates and queries fall in the
    # snapshot's clusters.
    data = clustered(rng, args.entries + args.log_lines + 201, DIM, clusters=max(10, args.entries // 1000), spread=0.6)
    updates = data[args.entries:args.entries + args.log_lines]
    queries = data[args.entries + args.log_lines:]
    results = {"entries": args.entries, "log lines": args.log_lines}
    with tempfile.TemporaryDirectory() as folder:
        snap, wal = os.path.join(folder, "bench.snap"), os.path.join(folder, "bench.wal")
        store = VectorStore.new(snap, wal)
        chunk = 10_000
        for start in range(0, args.entries, chunk):
            block = data[start:min(start + chunk, args.entries)]
            store.upsert_batch([VectorEntry(f"doc-{start + i}", row, "meta", "2026-12-07") for i, row in enumerate(block)])
        results["compact, first (s)"] = timed(store.compact)[0]
        del store
        snapshot_bytes = os.path.getsize(snap)
        results["snapshot size (MB)"] = snapshot_bytes / 1e6

        results["open, snapshot only (s)"] = best_of(lambda: VectorStore.open(snap, wal), args.repeats)
        with open(snap, "rb") as f:
            text = f.read()
        results["orjson.loads snapshot (s)"] = best_of(lambda: orjson.loads(text), args.repeats)
        results["open vs orjson, snapshot (ratio)"] = results["orjson.loads snapshot (s)"] / results["open, snapshot only (s)"]

        store = VectorStore.open(snap, wal)
        store.upsert_batch([VectorEntry(f"doc-{i}", row, "updated", "2026-12-08") for i, row in enumerate(updates)])
        del store
        results["open, snapshot + log (s)"] = best_of(lambda: VectorStore.open(snap, wal), args.repeats)
        with open(wal, "rb") as f:
            lines = f.read().splitlines()
        results["orjson.loads snapshot + log lines (s)"] = best_of(
            lambda: (orjson.loads(text), [orjson.loads(line) for line in lines]), args.repeats)
        results["open vs orjson, snapshot + log (ratio)"] = (
            results["orjson.loads snapshot + log lines (s)"] / results["open, snapshot + log (s)"])

        store = VectorStore.open(snap, wal)
        results["compact, snapshot + log (s)"] = timed(store.compact)[0]
        store.upsert(VectorEntry("fresh", queries[-1]))
        results["first search after a change, with rebuild (s)"] = timed(lambda: store.search(queries[0]))[0]
        elapsed = timed(lambda: [store.search(q) for q in queries[:-1]])[0]
        results["later search (ms/query)"] = elapsed / (len(queries) - 1) * 1e3

    if args.json:
        print(json.dumps(results))
        return
    print(f"store of {args.entries} x {DIM} float32, log of {args.log_lines} lines")
    for name, value in results.items():
        print(f"{name:<48} {value:>10.3f}")


if __name__ == "__main__":
    main()
