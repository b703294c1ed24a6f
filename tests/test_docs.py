"""What a newcomer meets first: the demo, the README's examples and its error texts."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from log_main import OsprelLog

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
LEVEL_COLOURS = ["\x1b[34m", "\x1b[32m", "\x1b[33m", "\x1b[31m", "\x1b[1;31m\x1b[47m"]


def plain_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "FORCE_COLOR")}
    env.update(extra)
    return env


@pytest.mark.slow
def test_demo_shows_colours_rotates_takes_over_and_gives_back(tmp_path):
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")], cwd=tmp_path,
                            env=plain_env(), capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert all(code in result.stderr for code in LEVEL_COLOURS)
    logs = tmp_path / "demo-logs"
    names = sorted(p.name for p in logs.iterdir())
    assert {"shop.log", "uploads.log", "uploads.log.1", "uploads.log.2", "jobs.log",
            "vendorlib.log", "vendorlib-ours.log"} <= set(names)
    assert any(re.fullmatch(r"jobs\.\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.log", n) for n in names)
    for name in names:  # every file is reported where it went
        assert f"demo-logs/{name}" in result.stdout
    # The library's own file got its lines before the take-over and after close(), none between.
    vendor = (logs / "vendorlib.log").read_text(encoding="utf-8").splitlines()
    assert vendor == ["configured by third-party code", "back on its own handlers"]
    assert "\x1b[" not in (logs / "shop.log").read_text(encoding="utf-8")


@pytest.mark.parametrize("block", re.findall(r"```python\n(.*?)```", README, re.S))
def test_readme_examples_run(block, tmp_path):
    result = subprocess.run([sys.executable, "-c", block], cwd=tmp_path, env=plain_env(),
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr


TYPE_ERROR_ROWS = re.findall(r"^\| `([^`]+)` \| `([^`]+)`", README.split("## Errors")[1], re.M)


@pytest.mark.parametrize("call, message", TYPE_ERROR_ROWS)
def test_readme_type_error_texts(call, message, unique_name):
    log = OsprelLog(unique_name, console=False)
    with pytest.raises(TypeError) as caught:
        eval(call, {"OsprelLog": OsprelLog, "Path": Path, "log": log})
    assert str(caught.value) == message


def test_readme_value_error_texts(unique_name):
    with pytest.raises(ValueError) as unknown:
        OsprelLog(unique_name, file=f"logs/{unique_name}.log", handler_type="daily")
    OsprelLog(unique_name + "r", file="logs/app.log", handler_type="rotating", console=False)
    with pytest.raises(ValueError) as conflict:
        OsprelLog(unique_name + "f", file="logs/app.log", handler_type="file", console=False)
    for error in (unknown, conflict):
        assert f"| `{error.value}` |" in README


def test_traceback_reaches_the_file_without_colour_codes(tmp_path):
    code = ("from log_main import OsprelLog\n"
            "log = OsprelLog('tb', file='app.log')\n"
            "try:\n    1 / 0\n"
            "except ZeroDivisionError:\n    log.error('failed', kwargs={'exc_info': True})\n")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=plain_env(),
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "app.log").read_text(encoding="utf-8")
    assert "ZeroDivisionError: division by zero" in text
    assert "\x1b[" not in text
