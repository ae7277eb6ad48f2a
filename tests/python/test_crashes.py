"""Writers killed with SIGKILL at random moments.

A forked child works on the store's files (upserts, batches, deletes and
compactions in a random mix) and reports each call to the parent before it
starts and after it returns. The parent kills the child after a random delay,
then reopens the files: the open must succeed, every acknowledged write must
be there with its last acknowledged value, no acknowledged delete may come
back, and the one call that was cut short may have taken effect or not (a
batch: a first part of it). The next child carries on with the same files.

`make test` runs SORVID_CRASH_KILLS kills in all (300 by default); `make
soak` runs 3000.
"""
import json
import os
import random
import signal
import time
import traceback

from sorvid_vector_db import VectorEntry, VectorStore

CALL_KINDS = {"upsert", "batch", "delete", "compact"}
# Fewer under AddressSanitizer (make py-test-asan), where every child is slow.
KILLS = int(os.environ.get("SORVID_CRASH_KILLS", "100" if os.environ.get("SORVID_ASAN") == "1" else "300"))
DIM = 8
ID_POOL = 150


def embedding_of(entry_id, version):
    """An embedding that names its own version (in two parts, each exact as a
    32-bit float), so a stored value says which write made it."""
    return [float(version >> 12), float(version & 4095), float(len(entry_id))] + [0.25] * (DIM - 3)


def version_of(entry):
    return (int(entry.embedding[0]) << 12) | int(entry.embedding[1])


def child_main(snap, wal, seed, channel):
    """Runs calls until killed; never returns."""
    rng = random.Random(seed)
    report = os.fdopen(channel, "w", buffering=1)
    try:
        store = VectorStore.open(snap, wal)
        report.write(json.dumps({"ready": True}) + "\n")
        version = seed * 1_000_000
        while True:
            version += 1
            roll = rng.random()
            if roll < 0.45:
                call = {"op": "upsert", "ids": [f"id{rng.randrange(ID_POOL)}"], "version": version}
            elif roll < 0.7:
                ids = list(dict.fromkeys(f"id{rng.randrange(ID_POOL)}" for _ in range(rng.randint(1, 60))))
                call = {"op": "batch", "ids": ids, "version": version}
            elif roll < 0.96:
                call = {"op": "delete", "ids": [f"id{rng.randrange(ID_POOL)}"]}
            else:
                call = {"op": "compact", "ids": []}
            report.write(json.dumps({"start": call}) + "\n")
            # Large metadata makes a batch span several flushes of the buffer.
            if call["op"] == "upsert":
                store.upsert(VectorEntry(call["ids"][0], embedding_of(call["ids"][0], version), "u" * 300))
            elif call["op"] == "batch":
                store.upsert_batch([VectorEntry(x, embedding_of(x, version), "b" * 300) for x in call["ids"]])
            elif call["op"] == "delete":
                store.delete(call["ids"][0])
            else:
                store.compact()
            report.write(json.dumps({"done": True}) + "\n")
    except BaseException:
        traceback.print_exc()
    finally:
        os._exit(1)  # only an error gets here; the parent sees the child stop by itself


class Model:
    """The acknowledged state: id -> version, for every id acknowledged present."""

    def __init__(self):
        self.present = {}

    def apply(self, call):
        if call["op"] in ("upsert", "batch"):
            for x in call["ids"]:
                self.present[x] = call["version"]
        elif call["op"] == "delete":
            self.present.pop(call["ids"][0], None)

    def check(self, store, in_flight):
        """The reopened store against the acknowledged calls and the one cut short."""
        found = {}
        for i in range(ID_POOL):
            got = store.get(f"id{i}")
            if got is not None:
                found[f"id{i}"] = version_of(got)
        touched = set(in_flight["ids"]) if in_flight else set()
        for x in set(found) | set(self.present):
            if x not in touched:
                assert found.get(x) == self.present.get(x), (x, found.get(x), self.present.get(x))
        if in_flight and in_flight["op"] == "batch":
            # Lines reach the log in batch order, so the new version holds
            # for a first part of the batch only.
            applied = [found.get(x) == in_flight["version"] for x in in_flight["ids"]]
            assert applied == sorted(applied, reverse=True), applied
            for x, new in zip(in_flight["ids"], applied, strict=False):
                if not new:
                    assert found.get(x) == self.present.get(x), (x, found.get(x))
        elif in_flight and in_flight["op"] == "upsert":
            x = in_flight["ids"][0]
            assert found.get(x) in (self.present.get(x), in_flight["version"]), x
        elif in_flight and in_flight["op"] == "delete":
            x = in_flight["ids"][0]
            assert found.get(x) in (self.present.get(x), None), x
        return found


def run_child(snap, wal, seed, delay):
    """Forks a child, kills it `delay` seconds after it is ready, returns its reports."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        child_main(snap, wal, seed, write_end)
    os.close(write_end)
    reader = os.fdopen(read_end, "r")
    first = reader.readline()
    assert first, "the child died before it was ready"
    time.sleep(delay)
    os.kill(pid, signal.SIGKILL)
    _, status = os.waitpid(pid, 0)
    rest = reader.read()
    reader.close()
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL, "the child stopped by itself"
    return [json.loads(line) for line in rest.splitlines() if line.endswith("}")]


def replay_reports(model, reports):
    """Applies the acknowledged calls; returns the call cut short, if any."""
    in_flight = None
    for report in reports:
        if "start" in report:
            in_flight = report["start"]
        elif "done" in report:
            model.apply(in_flight)
            in_flight = None
    return in_flight


def run_kills(tmp_path, kills):
    snap, wal = str(tmp_path / "store.snap"), str(tmp_path / "store.wal")
    rng = random.Random(int(os.environ.get("SORVID_CRASH_SEED", "20240601")))
    model = Model()
    calls, cut_short, killed = 0, {}, 0
    # Kills go on past `kills` (up to three times as many) until every kind
    # of call has been cut short at least once: on a busy machine the short
    # calls are hit more rarely.
    for kill in range(3 * kills):
        if kill >= kills and (kills < 100 or len(cut_short) == len(CALL_KINDS)):
            break
        # Mostly short lives, so that kills land early as well as late.
        delay = rng.choice([0.0, rng.uniform(0, 0.005), rng.uniform(0, 0.03), rng.uniform(0, 0.1)])
        reports = run_child(snap, wal, kill + 1, delay)
        killed += 1
        in_flight = replay_reports(model, reports)
        calls += sum(1 for r in reports if "done" in r)
        if in_flight:
            cut_short[in_flight["op"]] = cut_short.get(in_flight["op"], 0) + 1
        store = VectorStore.open(snap, wal)
        # Whatever the call cut short left is what the files now hold.
        model.present = model.check(store, in_flight)
        del store
    print(f"{killed} kills, {calls} acknowledged calls, cut short: {cut_short}")
    return calls, cut_short


def test_killed_writers_lose_no_acknowledged_call(tmp_path):
    calls, cut_short = run_kills(tmp_path, KILLS)
    assert calls > KILLS
    if KILLS >= 100:
        assert set(cut_short) == CALL_KINDS, cut_short

