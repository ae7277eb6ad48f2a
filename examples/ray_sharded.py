"""A vector store sharded over Ray actors on this machine, offline: random vectors stand in for embeddings.

Run: python examples/ray_sharded.py
"""

import tempfile
from pathlib import Path

import numpy as np
import ray
from sorvid_ray import ShardedVectorStore, reshard

from sorvid_vector_db import VectorEntry

DIM = 32


def main() -> None:
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    vectors = np.random.default_rng(7).standard_normal((1000, DIM)).astype(np.float32)
    entries = [VectorEntry(f"doc-{i}", vectors[i], metadata=f'{{"n": {i}}}') for i in range(len(vectors))]
    with tempfile.TemporaryDirectory() as root:
        two, three = Path(root) / "two-shards", Path(root) / "three-shards"
        # Each shard's actor asks for a quarter of a CPU: during the reshard both layouts (5 actors) run at once.
        with ShardedVectorStore.create(two, 2, num_cpus=0.25) as store:
            store.upsert_batch(entries)  # split by owning shard, sent in parallel, acknowledged by both
            store.delete("doc-3")
            print(f"{len(store)} entries of dimension {store.dim} in {store.num_shards} shards")
            for hit, distance in store.search(vectors[10], top_k=3):  # every shard searched, answers merged
                print(f"  {hit.id:8} {distance:.4f} {hit.metadata}")
        reshard(two, three, 3, num_cpus=0.25)  # copies into a new layout; the two-shard one stays as it was
        with ShardedVectorStore.open(three, num_cpus=0.25) as store:
            hits = store.search_batch(vectors[:2], top_k=1)
            print(f"after reshard: {len(store)} entries in {store.num_shards} shards;", [h[0][0].id for h in hits])
    ray.shutdown()


if __name__ == "__main__":
    main()
