"""The type stubs: the examples pass mypy --strict, misuse is reported, stubs match the module."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "log_main-stubs"


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    """MYPYPATH holding the stub package under the module's own name, so the
    stubs are used whether or not the wheel (which ships them) is installed."""
    base = tmp_path_factory.mktemp("mypypath")
    (base / "log_main").symlink_to(STUBS, target_is_directory=True)
    env = dict(os.environ, MYPYPATH=str(base))
    env.pop("MYPY_CACHE_DIR", None)
    return env, base / ".cache"


def run_mypy(env_and_cache, *args):
    env, cache = env_and_cache
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *args],
        capture_output=True, text=True, env=env, cwd=ROOT, timeout=300)


@pytest.mark.slow
def test_examples_pass_mypy_strict(mypy_env):
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    assert any(p.endswith("demo.py") for p in examples)
    result = run_mypy(mypy_env, *examples)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found" in result.stdout


MISUSE = textwrap.dedent("""\
    import logging
    from pathlib import Path
    from log_main import OsprelLog, _md5

    log = OsprelLog("app", file="logs/app.log", handler_type="rotating", maxBytes=1024)
    reveal_type(log)
    log.info("ok", 1, None, args=(1,), kwargs={"extra": {"k": 1}})
    OsprelLog("app", level="DEBUG")
    OsprelLog("app", handler_type="daily")
    OsprelLog("app", file=Path("app.log"))
    OsprelLog("app", maxbytes=1024)
    OsprelLog("app", backupCount="3")
    log.info("x", args=[1])
    log.set_file_level(None)
    log.flush()
    x: int = _md5("text")
    """)
BAD_LINES = [8, 9, 10, 11, 12, 13, 14, 15, 16]


@pytest.mark.slow
def test_misuse_is_reported(mypy_env, tmp_path):
    snippet = tmp_path / "misuse.py"
    snippet.write_text(MISUSE)
    result = run_mypy(mypy_env, str(snippet))
    assert result.returncode == 1, result.stdout
    assert 'Revealed type is "log_main._LogBase"' in result.stdout
    reported = sorted({int(n) for n in re.findall(r"misuse\.py:(\d+): error", result.stdout)})
    assert reported == BAD_LINES, result.stdout


@pytest.mark.slow
def test_stubs_match_the_module(mypy_env):
    env, _ = mypy_env
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "log_main"],
                            capture_output=True, text=True, env=env, cwd=ROOT, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr

