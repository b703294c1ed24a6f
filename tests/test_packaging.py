"""What the package index gets: the sdist's members and the metadata it declares, and what the
module shows the system that loads it."""

import email
import re
import sys
import tarfile
from pathlib import Path

import pytest

import log_main
from conftest import TEST_HOOKS, has_test_hooks, run_process

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    out = tmp_path_factory.mktemp("sdist")
    code = f"from scikit_build_core.build import build_sdist; print(build_sdist({str(out)!r}))"
    result = run_process([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return out / result.stdout.split()[-1]


def test_sdist_carries_sources_stubs_licence_and_readme_only(sdist):
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    sources = {str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*") if p.suffix in (".cpp", ".hpp", ".inc")}
    assert names == sources | {"CMakeLists.txt", "pyproject.toml", "LICENSE", "README.md", "PKG-INFO",
                               "log_main-stubs/__init__.pyi"}


def test_metadata_for_the_index(sdist):
    with tarfile.open(sdist) as tar:
        meta = email.message_from_bytes(tar.extractfile(f"{sdist.name[:-7]}/PKG-INFO").read())
    assert set(meta["Requires-Python"].split(",")) == {">=3.13", "<3.16"} and meta["License-Expression"] == "MIT"
    assert meta.get_all("Requires-Dist")[0] == "colorlog>=6.6"
    assert {"Typing :: Typed", "Topic :: System :: Logging", "Operating System :: POSIX :: Linux",
            "Programming Language :: Python :: Implementation :: CPython"} <= set(meta.get_all("Classifier"))
    assert {c for c in meta.get_all("Classifier") if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)} \
        == {f"Programming Language :: Python :: 3.{minor}" for minor in (13, 14, 15)}
    description = meta.get_payload()
    assert description.startswith("# log_main")
    # Pictures and links into the repository would not resolve on an index page.
    assert not re.search(r"!\[|\]\((?!https?://)", description)


# ---------------------------------------------------------------------------------------------
# What the installed module shows the dynamic linker, read from its ELF file by scripts/check-wheel
# (which `make wheel` runs on every wheel).

def _check_wheel():
    import importlib.machinery
    import types
    path = ROOT / "scripts" / "check-wheel"
    loader = importlib.machinery.SourceFileLoader("check_wheel", str(path))
    module = types.ModuleType(loader.name)
    module.__file__ = str(path)
    loader.exec_module(module)
    return module


def test_module_exports_its_init_and_in_a_development_build_the_test_hooks_only():
    exported = _check_wheel().exports(Path(log_main.__file__).read_bytes())
    assert "PyInit_log_main" in exported
    # All the hooks or none: a development build, or one built as shipped.
    assert exported - {"PyInit_log_main"} == (TEST_HOOKS if has_test_hooks() else set())


def test_module_needs_nothing_newer_than_the_glibc_and_libstdcxx_of_the_readme_tag():
    """The versions of glibc, libm and libstdc++ symbols the module needs: none newer than the
    manylinux tag README.md states (2.17: GCC 4.8's libstdc++, GLIBCXX_3.4.19 and CXXABI_1.3.7),
    whoever built it, so no header of a newer glibc (stat's own version, C23 redirects) or newer
    compiler (sized operator delete) slips in."""
    check_wheel = _check_wheel()
    glibc = check_wheel.readme_tag()
    assert glibc == (2, 17)   # the limits of libstdc++ below are manylinux2014's

    def number(version, prefix):
        return tuple(int(part) for part in version[len(prefix):].split("."))

    newer = []
    for library, versions in check_wheel.needed_versions(Path(log_main.__file__).read_bytes()).items():
        for version in versions:
            if library in ("libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2"):
                newer += [version] if version.startswith("GLIBC_") and number(version, "GLIBC_") > glibc else []
            elif library == "libstdc++.so.6" and not has_test_hooks():
                # The C++ runtime's versions on the module as shipped (the wheels, which
                # scripts/check-wheel also checks): a development build may carry a sanitizer's
                # instrumentation, which needs a newer libstdc++.
                limit = {"GLIBCXX_": (3, 4, 19), "CXXABI_": (1, 3, 7)}
                newer += [version for prefix, top in limit.items()
                          if version.startswith(prefix) and number(version, prefix) > top]
    assert newer == []
