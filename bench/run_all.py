"""Runs every benchmark of bench/ beside its peers and writes docs/benchmarks.md with its plots.

    python bench/run_all.py [--quick]        (`make bench`, `make bench BENCH_QUICK=1`)
    python bench/run_all.py --race-only      (the race alone, into the existing results)

Steps: build the C++ benchmark programs (Release, in build/bench); measure
the figures this store is judged by against hnswlib and Chroma first, before
any other benchmark has loaded the machine (bench/race_bench.py); run the
index comparison on synthetic data (with hnswlib's and FAISS's ef sweep),
build time against the number of points, the real-data workload, snapshot
encode/decode, the filled store, upserts, VectorEntry construction and the
store under changes beside hnswlib and Chroma (bench/live_bench.py), the
batched search beside hnswlib's and the filtered search beside Chroma's
(bench/query_bench.py), one store against the same entries sharded over
Ray actors (bench/shard_bench.py); keep the raw figures in bench/results/latest.json; write the report and the plots
under docs/. The installed sorvid_vector_db module is the one measured
(`make bench` installs it first). The hand-written analysis in
bench/report_notes.md is placed at the end of the report.
"""

import argparse
import datetime
import importlib.metadata
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import index_bench  # noqa: E402
import real_bench  # noqa: E402
import report  # noqa: E402

BUILD_DIR = os.path.join(ROOT, "build", "bench")
RESULTS = os.path.join(HERE, "results", "latest.json")


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def tool(name):
    found = shutil.which(name) or os.path.join(os.path.dirname(sys.executable), name)
    return found


def build_programs():
    log("building the C++ benchmark programs (Release)")
    subprocess.run([tool("cmake"), "-S", ROOT, "-B", BUILD_DIR, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DSORVID_BUILD_BENCH=ON", "-DSORVID_BUILD_TESTS=OFF", "-DSORVID_BUILD_PYTHON=OFF",
                    f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([tool("cmake"), "--build", BUILD_DIR, "--target", "index_bench", "formats_bench"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(BUILD_DIR, "bench", "index_bench"), os.path.join(BUILD_DIR, "bench", "formats_bench")


def run_script(name, *args):
    """Runs bench/<name> in a fresh interpreter and returns the JSON object it prints last."""
    log(f"running {name} {' '.join(args)}")
    out = subprocess.run([sys.executable, os.path.join(HERE, name), *args], check=True, capture_output=True,
                         text=True, cwd=ROOT).stdout
    return json.loads(out.strip().splitlines()[-1])


def synthetic_index(binary, scale):
    """The main comparison (with the peers' ef sweep) and build time against the number of points."""
    rng = np.random.default_rng(20240607)
    rows, sweep, growth = [], [], []
    with tempfile.TemporaryDirectory() as workdir:
        for n, dim, normalised in ((100_000 // scale, 128, False), (50_000 // scale, 384, True)):
            points, queries = index_bench.synthetic(rng, n, dim, 1000, normalised)
            name = f"{n} x {dim} {'unit' if normalised else 'raw'}"
            log(f"index comparison on {name}")
            found, swept = index_bench.compare(binary, name, points, queries,
                                               index_bench.true_neighbours(points, queries), workdir,
                                               sweep=normalised, log=False)
            rows += found
            sweep += swept
        for n in (10_000 // scale, 20_000 // scale, 50_000 // scale, 100_000 // scale, 200_000 // scale):
            points, queries = index_bench.synthetic(rng, n, 128, 200, True)
            log(f"build time at {n} points")
            found, _ = index_bench.compare(binary, f"{n} x 128 unit", points, queries,
                                           index_bench.true_neighbours(points, queries), workdir, log=False)
            growth += found
    return rows, sweep, growth


def machine_facts():
    def first_line_with(path, key):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith(key):
                        return line.split(":", 1)[1].strip()
        except OSError:
            pass
        return "unknown"

    def version(distribution):
        try:
            return importlib.metadata.version(distribution)
        except importlib.metadata.PackageNotFoundError:
            return "missing"

    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip()
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    return {
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "commit": commit + (" (with uncommitted changes)" if dirty else ""),
        "cpu": first_line_with("/proc/cpuinfo", "model name"),
        "cores": os.cpu_count(),
        "memory": first_line_with("/proc/meminfo", "MemTotal"),
        "system": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "versions": {d: version(d) for d in ("sorvid_vector_db", "numpy", "hnswlib", "faiss-cpu", "chromadb",
                                             "orjson", "torch", "sentence-transformers", "ray")},
        "load_before": os.getloadavg(),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the points and entries")
    parser.add_argument("--report-only", action="store_true", help="write the report from bench/results/latest.json")
    parser.add_argument("--race-only", action="store_true",
                        help="run bench/race_bench.py alone, put its figures into bench/results/latest.json, "
                             "write the report")
    parser.add_argument("--docs", default=os.path.join(ROOT, "docs"))
    args = parser.parse_args()
    quick = args.quick or os.environ.get("BENCH_QUICK", "") not in ("", "0")

    if args.report_only or args.race_only:
        with open(RESULTS) as f:
            results = json.load(f)
        if args.race_only:
            facts = machine_facts()
            results["race"] = run_script("race_bench.py", "--json", *(["--quick"] if quick else []))
            results["race"].update(date=facts["date"], commit=facts["commit"])
            with open(RESULTS, "w") as f:
                json.dump(results, f, indent=1)
    else:
        started = time.perf_counter()
        results = {"machine": machine_facts(), "quick": quick}
        index_binary, formats_binary = build_programs()
        results["race"] = run_script("race_bench.py", "--json", *(["--quick"] if quick else []))
        scale = 10 if quick else 1
        results["index"], results["sweep"], results["growth"] = synthetic_index(index_binary, scale)
        log("real-data workload")
        real_rows, real_sweep, real_store, real_facts = real_bench.run(
            index_binary, texts=4000 if quick else real_bench.REAL_TEXTS, log=False)
        results["real"] = {"rows": real_rows, "sweep": real_sweep, "store": real_store, "facts": real_facts}
        results["formats"] = run_script("formats_bench.py", "--binary", formats_binary, "--json",
                                        "--count", str(100_000 // scale))
        results["store"] = run_script("store_bench.py", "--json", "--entries", str(50_000 // scale),
                                      "--log-lines", str(10_000 // scale))
        results["upsert"] = run_script("upsert_bench.py", "--json")
        results["entry"] = run_script("entry_bench.py", "--json")
        results["live"] = run_script("live_bench.py", "--json", "--entries", str(100_000 // scale),
                                     "--texts", str(4000 if quick else real_bench.REAL_TEXTS),
                                     *(["--quick"] if quick else []))
        results["queries"] = run_script("query_bench.py", "--json", "--entries", str(50_000 // scale),
                                        *(["--quick"] if quick else []))
        results["shards"] = run_script("shard_bench.py", "--json", "--entries", str(100_000 // scale),
                                       *(["--quick"] if quick else []))
        results["machine"]["load_after"] = os.getloadavg()
        results["machine"]["minutes"] = (time.perf_counter() - started) / 60
        os.makedirs(os.path.dirname(RESULTS), exist_ok=True)
        with open(RESULTS, "w") as f:
            json.dump(results, f, indent=1)

    notes_path = os.path.join(HERE, "report_notes.md")
    notes = ""
    if os.path.exists(notes_path):
        with open(notes_path) as f:
            notes = f.read()
    path = report.write(results, args.docs, notes)
    log(f"wrote {path}")


if __name__ == "__main__":
    main()
