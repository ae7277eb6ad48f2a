"""Run by `make wheel-test` only: the module under test is the one the wheel installed."""
import importlib.metadata
import pathlib

import sorvid_vector_db as svdb


def test_the_imported_module_is_the_installed_distributions():
    distribution = importlib.metadata.distribution("sorvid_vector_db")
    installed = {pathlib.Path(str(distribution.locate_file(f))).resolve() for f in distribution.files or []}
    assert pathlib.Path(svdb.__file__).resolve() in installed, svdb.__file__
