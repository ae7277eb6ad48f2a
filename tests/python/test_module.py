import importlib.metadata
import pathlib
import subprocess
import sys
import threading

import sorvid_vector_db as svdb


def test_module_attributes():
    # One version: the module's, the installed distribution's and the file's.
    assert svdb.__version__ == importlib.metadata.version("sorvid_vector_db")
    assert svdb.__version__ == (pathlib.Path(__file__).parents[2] / "VERSION").read_text().strip()
    assert svdb.__all__ == ["VectorEntry", "VectorStore", "__version__"]
    assert svdb.__doc__ == ""
    assert svdb.VectorEntry.__module__ == "builtins"
    assert svdb.VectorStore.__module__ == "builtins"
    assert not hasattr(svdb, "PanicException")


def test_import_starts_no_thread_and_touches_no_file(tmp_path):
    code = (
        "import os, threading\n"
        "before = set(os.listdir('.'))\n"
        "import sorvid_vector_db\n"
        "assert threading.active_count() == 1\n"
        "assert set(os.listdir('.')) == before\n"
        "print(len(os.listdir('/proc/self/task')))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "1"  # one OS thread: no worker pool at import
    assert list(tmp_path.iterdir()) == []


def test_types_are_reused_by_a_second_module_object():
    import importlib.util

    spec = importlib.util.find_spec("sorvid_vector_db")
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second.VectorEntry is svdb.VectorEntry
    assert second.VectorStore is svdb.VectorStore
    assert second.__all__ == ["VectorEntry", "VectorStore", "__version__"]


def test_classes_cannot_be_subclassed():
    for cls in (svdb.VectorEntry, svdb.VectorStore):
        try:
            type("Sub", (cls,), {})
        except TypeError:
            pass
        else:
            raise AssertionError(f"{cls.__name__} accepted a subclass")


def test_vector_entry_is_usable_from_any_thread():
    entry = svdb.VectorEntry("a", [1.0])
    seen = []
    thread = threading.Thread(target=lambda: seen.append((entry.id, len(entry))))
    thread.start()
    thread.join()
    assert seen == [("a", 1)]
