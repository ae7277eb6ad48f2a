"""Snapshot encode/decode speed against orjson and Python's json.

Makes a snapshot of COUNT entries of DIM random normal 32-bit floats with
numpy, has the C++ program bench/formats_bench.cc encode it, write it,
decode it and check the round trip, then times orjson and json on the same
text in the same run:

- decode: orjson.loads / json.loads of the snapshot text;
- encode: orjson.dumps / json.dumps of the same entries as Python lists
  (the values orjson.loads gave, so every library writes the same short
  digits), and once more orjson.dumps of the float32 values widened with
  numpy's tolist() (which need up to 17 digits as doubles).

Usage (from the checkout):
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVID_BUILD_BENCH=ON
  cmake --build build/bench --target formats_bench
  python bench/formats_bench.py --binary build/bench/bench/formats_bench
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import orjson


def best_time(function, repeats):
    """Best (wall, processor) seconds over `repeats` runs, and the result."""
    wall = cpu = float("inf")
    result = None
    for _ in range(repeats):
        start, cpu_start = time.perf_counter(), time.process_time()
        result = function()
        cpu = min(cpu, time.process_time() - cpu_start)
        wall = min(wall, time.perf_counter() - start)
    return (wall, cpu), result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", default="build/bench/bench/formats_bench")
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--skip-json", action="store_true", help="leave out the slow json module")
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON object")
    args = parser.parse_args()

    rng = np.random.default_rng(20240601)
    embeddings = rng.standard_normal((args.count, args.dim), dtype=np.float32)
    floats = args.count * args.dim

    with tempfile.TemporaryDirectory() as folder:
        raw_path = os.path.join(folder, "embeddings.f32")
        snapshot_path = os.path.join(folder, "store.snap")
        embeddings.astype("<f4").tofile(raw_path)
        ours = json.loads(subprocess.run(
            [args.binary, raw_path, str(args.count), str(args.dim), snapshot_path, str(args.repeats)],
            check=True, capture_output=True, text=True).stdout)
        with open(snapshot_path, "rb") as f:
            text = f.read()

    assert ours["round_trip_identical"], "the C++ round trip changed the document"
    size = len(text)
    rows = [("sorvid decode", (ours["decode_s"], ours["decode_cpu_s"])),
            ("sorvid encode", (ours["encode_s"], ours["encode_cpu_s"]))]

    orjson_loads, loaded = best_time(lambda: orjson.loads(text), args.repeats)
    first = np.array(loaded["entries"][0]["embedding"], dtype=np.float32)
    assert np.array_equal(first.view(np.uint32), embeddings[0].view(np.uint32)), "orjson read other values"
    rows.append(("orjson.loads", orjson_loads))
    orjson_dumps, dumped = best_time(lambda: orjson.dumps(loaded), args.repeats)
    rows.append(("orjson.dumps", orjson_dumps))

    widened = {"dim": args.dim, "entries": [
        {"id": f"id-{i}", "embedding": embeddings[i].tolist(), "metadata": "", "created_at": ""}
        for i in range(args.count)]}
    orjson_dumps_widened, _ = best_time(lambda: orjson.dumps(widened), 1)
    rows.append(("orjson.dumps (tolist)", orjson_dumps_widened))
    widened = None  # frees the copy before the next measurement

    if not args.skip_json:
        json_loads, _ = best_time(lambda: json.loads(text), 1)
        rows.append(("json.loads", json_loads))
        json_dumps, _ = best_time(lambda: json.dumps(loaded, separators=(",", ":")), 1)
        rows.append(("json.dumps", json_dumps))

    if args.json:
        print(json.dumps({"entries": args.count, "dim": args.dim, "bytes": size,
                          "steps": {name: {"wall_s": wall, "cpu_s": cpu, "wall_mb_s": size / 1e6 / wall,
                                           "cpu_mb_s": size / 1e6 / cpu} for name, (wall, cpu) in rows}}))
        return 0
    print(f"snapshot: {args.count} entries x {args.dim} floats, {size / 1e6:.1f} MB "
          f"(orjson.dumps writes {len(dumped) / 1e6:.1f} MB)")
    print("best of runs; wall clock, then processor time (leaves out waiting for a core)")
    print(f"{'step':<24}{'wall s':>8}{'MB/s':>8}{'Mfloat/s':>10}{'cpu s':>9}{'MB/s':>8}{'Mfloat/s':>10}")
    for name, (wall, cpu) in rows:
        print(f"{name:<24}{wall:>8.3f}{size / 1e6 / wall:>8.0f}{floats / 1e6 / wall:>10.1f}"
              f"{cpu:>9.3f}{size / 1e6 / cpu:>8.0f}{floats / 1e6 / cpu:>10.1f}")
    ours_decode = rows[0][1]
    ours_encode = rows[1][1]
    for label, theirs, mine, goal in (("decode vs orjson.loads", orjson_loads, ours_decode, 2.0),
                                      ("encode vs orjson.dumps", orjson_dumps, ours_encode, 1.5),
                                      ("encode vs orjson.dumps (tolist)", orjson_dumps_widened, ours_encode, 1.5)):
        print(f"{label:<34} wall {theirs[0] / mine[0]:.2f}x, cpu {theirs[1] / mine[1]:.2f}x (goal {goal}x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
