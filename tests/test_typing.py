"""The type stubs: applications pass mypy --strict and pyright in strict mode, wrong calls
are flagged by both, and the stubs match the module."""

import json
import os
import re
import sys
from pathlib import Path

import pytest

from conftest import run_process

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "log_main-stubs"
TYPING = Path(__file__).resolve().parent / "typing"
APPLICATIONS = sorted(str(p) for p in (ROOT / "examples").glob("*.py")) + [str(TYPING / "app.py")]
WRONG = TYPING / "wrong_calls.py"
WRONG_LINES = [n for n, line in enumerate(WRONG.read_text().splitlines(), 1) if re.search(r"# wrong(:|$)", line)]


@pytest.fixture(scope="module")
def stub_path(tmp_path_factory):
    """A folder holding the stub package under the module's own name, so the
    checkout's stubs are used whether or not the wheel (which ships them) is installed."""
    base = tmp_path_factory.mktemp("stubs")
    (base / "log_main").symlink_to(STUBS, target_is_directory=True)
    return base


def run_mypy(stub_path, *files):
    env = dict(os.environ, MYPYPATH=str(stub_path))
    env.pop("MYPY_CACHE_DIR", None)
    result = run_process(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(stub_path / ".cache"), *files],
        capture_output=True, text=True, env=env, cwd=ROOT, timeout=300)
    errors = {int(n) for n in re.findall(r"^[^:\n]+:(\d+): error", result.stdout, re.M)}
    return result, errors


def run_pyright(stub_path, *files):
    config = stub_path / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict", "pythonVersion": "3.13",
                                  "stubPath": str(stub_path)}))
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    result = run_process(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable, "-p", str(config),
         *files],
        capture_output=True, text=True, env=env, cwd=ROOT, timeout=300)
    report = json.loads(result.stdout)
    return report, report["generalDiagnostics"]


@pytest.mark.slow
def test_applications_pass_mypy_strict(stub_path):
    assert any(p.endswith("demo.py") for p in APPLICATIONS)
    result, _ = run_mypy(stub_path, *APPLICATIONS)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found" in result.stdout


@pytest.mark.slow
def test_applications_pass_pyright_strict(stub_path):
    report, diagnostics = run_pyright(stub_path, *APPLICATIONS)
    assert diagnostics == [] and report["summary"]["filesAnalyzed"] == len(APPLICATIONS)


@pytest.mark.slow
def test_wrong_calls_flagged_by_mypy(stub_path):
    result, errors = run_mypy(stub_path, str(WRONG))
    assert result.returncode == 1, result.stdout
    assert 'Revealed type is "log_main._LogBase"' in result.stdout
    assert sorted(errors) == WRONG_LINES, result.stdout


PYRIGHT_CALL_RULES = {"reportArgumentType", "reportCallIssue", "reportAttributeAccessIssue", "reportAssignmentType"}


@pytest.mark.slow
def test_wrong_calls_flagged_by_pyright(stub_path):
    _, diagnostics = run_pyright(stub_path, str(WRONG))
    errors = [d for d in diagnostics if d["severity"] == "error"]
    # Each wrong line draws a finding about the call itself, not only follow-on
    # notes such as "type unknown" or "import not accessed".
    calls = {d["range"]["start"]["line"] + 1 for d in errors if d["rule"] in PYRIGHT_CALL_RULES}
    assert sorted(calls) == WRONG_LINES, json.dumps(diagnostics, indent=1)
    assert {d["range"]["start"]["line"] + 1 for d in errors} == calls
    assert any(d["message"] == 'Type of "log" is "_LogBase"' for d in diagnostics)


@pytest.mark.slow
def test_example_application_runs(tmp_path):
    result = run_process([sys.executable, str(TYPING / "app.py")], cwd=tmp_path, capture_output=True,
                         text=True, timeout=60, env=dict(os.environ, NO_COLOR="1"))
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "logs" / "svc.log").read_text(encoding="utf-8")
    assert "svc - ERROR - job 0 failed\nTraceback" in text and "results: -1 10 5" in text
    assert "not written" not in text and "results: -1 10 5" in result.stderr


@pytest.mark.slow
def test_stubs_match_the_module(stub_path):
    env = dict(os.environ, MYPYPATH=str(stub_path))
    result = run_process([sys.executable, "-m", "mypy.stubtest", "log_main"],
                         capture_output=True, text=True, env=env, cwd=ROOT, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.slow
def test_readme_annotation_is_accepted_and_the_class_as_annotation_rejected(stub_path, tmp_path):
    """The README's advice: `_LogBase` checks in strict mode, `log: OsprelLog = OsprelLog(...)` does not."""
    section = (ROOT / "README.md").read_text(encoding="utf-8").split("\n## Annotating the logger object")[1]
    good = re.search(r"^```python\n(.*?)^```", section, re.S | re.M).group(1)
    assert "log: _LogBase = OsprelLog(" in good
    bad = good.replace("log: _LogBase =", "log: OsprelLog =")
    (tmp_path / "good.py").write_text(good)
    (tmp_path / "bad.py").write_text(bad)
    line = bad.splitlines().index(next(s for s in bad.splitlines() if s.startswith("log: OsprelLog"))) + 1
    result, _ = run_mypy(stub_path, str(tmp_path / "good.py"), str(tmp_path / "bad.py"))
    found = re.findall(r"(\w+)\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)
    assert ("bad", str(line), "assignment") in found and all(f[0] == "bad" for f in found), result.stdout
    _, diagnostics = run_pyright(stub_path, str(tmp_path / "good.py"), str(tmp_path / "bad.py"))
    found = [(Path(d["file"]).name, d["range"]["start"]["line"] + 1, d.get("rule")) for d in diagnostics]
    assert ("bad.py", line, "reportAssignmentType") in found, json.dumps(diagnostics, indent=1)
    assert all(f[0] == "bad.py" for f in found), json.dumps(diagnostics, indent=1)
