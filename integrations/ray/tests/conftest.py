import numpy as np
import pytest
import ray

from sorvid_vector_db import VectorEntry

# Small CPU shares, so that every layout a test (or the module-wide search fixture) holds fits on a 2-CPU cluster.
SHARD_CPUS = 0.1


@pytest.fixture(scope="session", autouse=True)
def ray_cluster():
    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=128 * 1024 * 1024, log_to_driver=False)
    yield
    ray.shutdown()


def make_entries(count: int, dim: int = 8, seed: int = 0, prefix: str = "id") -> list[VectorEntry]:
    vectors = np.random.default_rng(seed).standard_normal((count, dim)).astype(np.float32)
    return [VectorEntry(f"{prefix}{i}", vectors[i], metadata=f'{{"n": {i}}}', created_at=f"t{i}") for i in range(count)]


def same_entry(a: VectorEntry | None, b: VectorEntry) -> bool:
    return a is not None and (a.id, a.embedding, a.metadata, a.created_at) == (
        b.id,
        b.embedding,
        b.metadata,
        b.created_at,
    )
