import ctypes
import os

import pytest

import sorvid_vector_db as svdb

# Set by `make py-test-asan`, which runs these tests against a module built
# with AddressSanitizer and the ASan runtime preloaded into the interpreter.
UNDER_ASAN = os.environ.get("SORVID_ASAN") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_asan(reason): the test cannot run under AddressSanitizer, for the reason given")
    if UNDER_ASAN and not hasattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes"):
        raise pytest.UsageError("SORVID_ASAN=1 but the AddressSanitizer runtime is not loaded")


def pytest_report_header(config):
    return f"sorvid_vector_db: {svdb.__file__}" + (" (AddressSanitizer)" if UNDER_ASAN else "")


def pytest_collection_modifyitems(config, items):
    if not UNDER_ASAN:
        return
    for item in items:
        marker = item.get_closest_marker("no_asan")
        if marker is not None:
            item.add_marker(pytest.mark.skip(reason="not under AddressSanitizer: " + marker.args[0]))


@pytest.fixture
def paths(tmp_path):
    """Snapshot and log paths inside a fresh temporary directory."""
    return str(tmp_path / "store.snap"), str(tmp_path / "store.wal")


@pytest.fixture
def store(paths):
    return svdb.VectorStore.new(*paths)
