"""Upsert speed from Python: single upsert of a 384-float entry (us/call) and
upsert_batch of 10,000 such entries (rows/s), with list and with NumPy input.

The peer is what a program would write by hand for the same log: one JSON
line per entry made with orjson (float32 NumPy rows, written as float32
shortest digits) appended to a file. For single upserts the file is opened,
appended to and closed per call, as the store does; neither side syncs to disk."""
import json
import os
import sys
import tempfile
import time

import numpy as np
import orjson

from sorvid_vector_db import VectorEntry, VectorStore

DIM = 384
BATCH = 10_000


def fresh_store(folder, name):
    return VectorStore.new(os.path.join(folder, name + ".snap"), os.path.join(folder, name + ".wal"))


def time_single(folder, make_embedding, label, count=5000):
    store = fresh_store(folder, "single-" + label)
    entries = [VectorEntry(f"id-{i}", make_embedding(i)) for i in range(count)]
    start = time.perf_counter()
    for e in entries:
        store.upsert(e)
    return (time.perf_counter() - start) / count * 1e6


def time_batch(folder, make_embedding, label, repeats=3):
    best = float("inf")
    for r in range(repeats):
        store = fresh_store(folder, f"batch-{label}-{r}")
        entries = [VectorEntry(f"id-{i}", make_embedding(i)) for i in range(BATCH)]
        start = time.perf_counter()
        store.upsert_batch(entries)
        best = min(best, time.perf_counter() - start)
        wal_bytes = os.path.getsize(os.path.join(folder, f"batch-{label}-{r}.wal"))
    return BATCH / best, wal_bytes / best / 1e6


def log_line(i, row):
    record = {"op": "upsert", "data": {"id": f"id-{i}", "embedding": row, "metadata": "", "created_at": ""}}
    return orjson.dumps(record, option=orjson.OPT_SERIALIZE_NUMPY | orjson.OPT_APPEND_NEWLINE)


def time_orjson_single(folder, vectors, count=5000):
    path = os.path.join(folder, "orjson-single.jsonl")
    start = time.perf_counter()
    for i in range(count):
        with open(path, "ab") as f:
            f.write(log_line(i, vectors[i]))
    return (time.perf_counter() - start) / count * 1e6


def time_orjson_batch(folder, vectors, repeats=3):
    best = float("inf")
    for r in range(repeats):
        path = os.path.join(folder, f"orjson-batch-{r}.jsonl")
        start = time.perf_counter()
        with open(path, "ab") as f:
            f.write(b"".join(log_line(i, vectors[i]) for i in range(BATCH)))
        best = min(best, time.perf_counter() - start)
        log_bytes = os.path.getsize(path)
    return BATCH / best, log_bytes / best / 1e6


def main():
    rng = np.random.default_rng(1)
    vectors = rng.normal(size=(BATCH, DIM)).astype(np.float32)
    lists = vectors.tolist()
    results = {}
    with tempfile.TemporaryDirectory() as folder:
        results["upsert, list input (us/call)"] = time_single(folder, lambda i: lists[i], "list")
        results["upsert, numpy input (us/call)"] = time_single(folder, lambda i: vectors[i], "numpy")
        rows, mbps = time_batch(folder, lambda i: lists[i], "list")
        results["upsert_batch 10k, list input (rows/s)"] = rows
        results["upsert_batch 10k, list input (log MB/s)"] = mbps
        rows, mbps = time_batch(folder, lambda i: vectors[i], "numpy")
        results["upsert_batch 10k, numpy input (rows/s)"] = rows
        results["upsert_batch 10k, numpy input (log MB/s)"] = mbps
        results["orjson line append, numpy input (us/call)"] = time_orjson_single(folder, vectors)
        rows, mbps = time_orjson_batch(folder, vectors)
        results["orjson lines 10k, numpy input (rows/s)"] = rows
        results["orjson lines 10k, numpy input (log MB/s)"] = mbps
    if "--json" in sys.argv:
        print(json.dumps(results))
        return
    for name, value in results.items():
        print(f"{name:<44} {value:>12.1f}")


if __name__ == "__main__":
    main()
