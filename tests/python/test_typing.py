"""The installed type stub describes the module as it really is."""
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")


def run_mypy(*args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=300)


def test_stub_matches_the_runtime_module():
    result = run_mypy("mypy.stubtest", "sorvid_vector_db", "--ignore-missing-stub")
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_checks_user_code_against_the_stub(tmp_path):
    program = tmp_path / "user.py"
    program.write_text(textwrap.dedent("""
        from sorvid_vector_db import VectorEntry, VectorStore
        store = VectorStore.new("a.snap", "a.wal")
        store.upsert(VectorEntry("a", [1.0, 2.0]))
        hits: list[tuple[VectorEntry, float]] = store.search([1.0, 2.0], top_k=3)
        n: int = store.len
        d: int | None = store.dim
        store.upsert("not an entry")
    """))
    result = run_mypy("mypy", "--no-incremental", str(program))
    assert result.returncode == 1
    assert 'Argument 1 to "upsert" of "VectorStore" has incompatible type "str"' in result.stdout
    assert result.stdout.count("error:") == 1, result.stdout
