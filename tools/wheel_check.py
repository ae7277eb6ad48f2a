"""Checks a repaired wheel and the sdist before anyone uploads them.

twine checks that the metadata renders; this checks what twine does not: the wheel
carries a manylinux tag, the module, its type stubs and the license; the metadata has
the version of the file VERSION, the SPDX license and only classifiers that PyPI
accepts; the sdist holds what a build from it needs and no build output.

Usage: python tools/wheel_check.py WHEEL SDIST
"""

import email.parser
import pathlib
import re
import sys
import tarfile
import zipfile

import trove_classifiers

ROOT = pathlib.Path(__file__).resolve().parents[1]
DIST_NAME = "sorvid_vector_db"
LICENSE_EXPRESSION = "Apache-2.0"
# Files every wheel must hold besides the module itself, relative to its root.
WHEEL_FILES = ["sorvid_vector_db.pyi", "sorvid_vector_db-stubs/__init__.pyi", "sorvid_vector_db-stubs/py.typed"]
# Files a build from the sdist reads, relative to its top folder.
SDIST_FILES = ["pyproject.toml", "CMakeLists.txt", "VERSION", "LICENSE", "README.md", "src/python/module.cc"]
# Top folders that hold build output or local environments, never sources.
SDIST_FORBIDDEN_TOPS = {"build", "dist", ".venv", ".git"}


def check_metadata(metadata_text: str, version: str) -> list[str]:
    metadata = email.parser.Parser().parsestr(metadata_text)
    problems = []
    if metadata["Version"] != version:
        problems.append(f"metadata version {metadata['Version']} is not VERSION's {version}")
    if metadata["License-Expression"] != LICENSE_EXPRESSION:
        problems.append(f"License-Expression is {metadata['License-Expression']!r}")
    if metadata.get_all("License-File") != ["LICENSE"]:
        problems.append(f"License-File is {metadata.get_all('License-File')}")
    classifiers = metadata.get_all("Classifier") or []
    unknown = [c for c in classifiers if c not in trove_classifiers.classifiers]
    if not classifiers or unknown:
        problems.append(f"classifiers missing or unknown to PyPI: {unknown or classifiers}")
    return problems


def check_wheel(wheel: pathlib.Path, version: str) -> list[str]:
    if not re.search(r"-manylinux_\d+_\d+_x86_64\.whl$", wheel.name):
        return [f"{wheel.name} has no manylinux platform tag"]
    info = f"{DIST_NAME}-{version}.dist-info"
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        metadata_text = archive.read(f"{info}/METADATA").decode()
    problems = [f"wheel lacks {name}" for name in [*WHEEL_FILES, f"{info}/licenses/LICENSE"] if name not in names]
    if not any(re.fullmatch(r"sorvid_vector_db\.cpython-.*\.so", name) for name in names):
        problems.append("wheel lacks the extension module")
    return problems + check_metadata(metadata_text, version)


def check_sdist(sdist: pathlib.Path, version: str) -> list[str]:
    top = f"{DIST_NAME}-{version}"
    with tarfile.open(sdist) as archive:
        names = set(archive.getnames())
        member = archive.extractfile(f"{top}/PKG-INFO")
        metadata_text = member.read().decode() if member else ""
    problems = [f"sdist lacks {name}" for name in SDIST_FILES if f"{top}/{name}" not in names]
    stray = sorted({n.split("/")[1] for n in names if n.count("/") >= 1} & SDIST_FORBIDDEN_TOPS)
    if stray:
        problems.append(f"sdist holds build output or environments: {stray}")
    return problems + check_metadata(metadata_text, version)


def main() -> None:
    if len(sys.argv) != 3:
        sys.exit("usage: wheel_check.py WHEEL SDIST")
    wheel, sdist = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    version = (ROOT / "VERSION").read_text().strip()
    problems = check_wheel(wheel, version) + check_sdist(sdist, version)
    for problem in problems:
        print(f"wheel_check: {problem}", file=sys.stderr)
    if problems:
        sys.exit(1)
    print(f"wheel_check: {wheel.name} and {sdist.name} hold what they should")


if __name__ == "__main__":
    main()
