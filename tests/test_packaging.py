"""What the package index gets: the sdist's members and the metadata it declares."""

import email
import re
import sys
import tarfile
from pathlib import Path

import pytest

from conftest import run_process

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
