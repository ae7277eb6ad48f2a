"""Fill a store, read it back, search it, reopen it from disk and compact it."""
import math
import os
import random
import tempfile

from sorvid_vector_db import VectorEntry, VectorStore


def unit(vector):
    norm = math.sqrt(sum(x * x for x in vector))
    return [x / norm for x in vector]


def main():
    random.seed(42)
    folder = tempfile.mkdtemp(prefix="sorvid-demo-")
    snap, wal = os.path.join(folder, "demo.snap"), os.path.join(folder, "demo.wal")

    store = VectorStore.new(snap, wal)
    topics = {"cats": [1.0, 0.1, 0.0, 0.0], "rockets": [0.0, 0.0, 1.0, 0.2], "bread": [0.1, 1.0, 0.0, 0.1]}
    entries = []
    for topic, centre in topics.items():
        for i in range(40):
            vector = unit([c + random.gauss(0, 0.15) for c in centre])
            entries.append(VectorEntry(f"{topic}-{i}", vector, metadata=topic, created_at="2026-12-07"))
    store.upsert_batch(entries)
    store.upsert(VectorEntry("odd-one", unit([1.0, 1.0, 1.0, 1.0]), metadata="mixed"))
    store.delete("cats-0")
    print("filled:", store)
    print("get('rockets-3'):", store.get("rockets-3"), store.get("rockets-3").metadata)

    query = unit([0.9, 0.2, 0.0, 0.0])
    print("nearest to a cat-like query:")
    for entry, distance in store.search(query, top_k=5):
        print(f"  {entry.id:<12} {entry.metadata:<8} distance={distance:.4f}")

    reopened = VectorStore.open(snap, wal)
    print("reopened from disk:", reopened)
    reopened.compact()
    print("after compact:", reopened, "log bytes:", os.path.getsize(wal))
    again = VectorStore.open(snap, wal)
    assert again.len == store.len and again.get("cats-0") is None
    print("reopened after compact:", again)
    print("top hit again:", again.search(query, top_k=1)[0][0])


if __name__ == "__main__":
    main()
