"""Cost of VectorEntry(id, x) for a 384-float list and for a 384-float float32 NumPy array."""
import json
import sys
import timeit

import numpy as np

from sorvid_vector_db import VectorEntry

DIM = 384


def per_call_ns(stmt, number):
    best = min(timeit.repeat(stmt, number=number, repeat=7))
    return best / number * 1e9


def main():
    rng = np.random.default_rng(0)
    array = rng.normal(size=DIM).astype(np.float32)
    as_list = [float(x) for x in array]
    as_f64 = array.astype(np.float64)
    number = 20000
    results = {
        "list of 384 floats": per_call_ns(lambda: VectorEntry("doc", as_list), number),
        "float32 ndarray (384)": per_call_ns(lambda: VectorEntry("doc", array), number),
        "float64 ndarray (384)": per_call_ns(lambda: VectorEntry("doc", as_f64), number),
        "float32 ndarray via tolist()": per_call_ns(lambda: VectorEntry("doc", array.tolist()), number),
    }
    if "--json" in sys.argv:
        print(json.dumps(results))
        return
    print(f"{'VectorEntry(id, x)':<32} {'ns/call':>10}")
    for name, ns in results.items():
        print(f"{name:<32} {ns:>10.0f}")


if __name__ == "__main__":
    main()
