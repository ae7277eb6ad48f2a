"""Open, compact and search on a filled store, next to orjson reading the same files.

Makes a store of N entries of 384 float32 values (random normal), compacts it
into a snapshot, then times:
  - open of the snapshot alone, and of the snapshot plus 20,000 log lines;
  - orjson.loads of the same snapshot text, and of the same log lines;
  - compact (snapshot plus log) and the first search after a change (a full
    index rebuild) against later searches.
"""
import argparse
import json
import os
import tempfile
import time

import numpy as np
import orjson

from sorvid_vector_db import VectorEntry, VectorStore

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
    results = {}
    with tempfile.TemporaryDirectory() as folder:
        snap, wal = os.path.join(folder, "bench.snap"), os.path.join(folder, "bench.wal")
        store = VectorStore.new(snap, wal)
        chunk = 10_000
        for start in range(0, args.entries, chunk):
            block = rng.normal(size=(min(chunk, args.entries - start), DIM)).astype(np.float32)
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
        block = rng.normal(size=(args.log_lines, DIM)).astype(np.float32)
        store.upsert_batch([VectorEntry(f"doc-{i}", row, "updated", "2026-12-08") for i, row in enumerate(block)])
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
        store.upsert(VectorEntry("fresh", rng.normal(size=DIM).astype(np.float32)))
        query = rng.normal(size=DIM).astype(np.float32)
        results["first search after a change, with rebuild (s)"] = timed(lambda: store.search(query))[0]
        queries = rng.normal(size=(200, DIM)).astype(np.float32)
        elapsed = timed(lambda: [store.search(q) for q in queries])[0]
        results["later search (ms/query)"] = elapsed / len(queries) * 1e3

    if args.json:
        print(json.dumps(results))
        return
    print(f"store of {args.entries} x {DIM} float32, log of {args.log_lines} lines")
    for name, value in results.items():
        print(f"{name:<48} {value:>10.3f}")


if __name__ == "__main__":
    main()
