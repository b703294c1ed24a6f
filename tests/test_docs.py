"""What a newcomer meets first: the demo, the README's examples and its error texts."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import run_process
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
    result = run_process([sys.executable, str(ROOT / "examples" / "demo.py")], cwd=tmp_path,
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


# Every code block of the README is run here, section by section, in a fresh folder:
# - a python block whose first line names a file ("# myapp/log.py") is written to that file;
#   any other python block is written to app.py, and run unless a console block follows;
# - a console block is a transcript: each "$ " command runs in bash with this interpreter as
#   `python`, and what it prints must match the lines below it, with timestamps, UUIDs, the
#   folder (shown as /srv/app) and pytest's duration and line width taken as they come, colour
#   codes removed (cat -v keeps them);
# - a sh block's make targets run as `make -n`, `pip install .` as a dry run;
# - the conf block of the shipping section is rsyslog's configuration, run by test_shipping.py.
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```", re.S | re.M)
SECTIONS = [(part.split("\n", 1)[0].lstrip("# "), part) for part in README.split("\n## ")]
STAMP = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}")
UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")
ANSI = re.compile(r"\x1b\[[0-9;]*m")
PYTEST_TAIL = [(re.compile(r" in \d+\.\d+s\b"), " in <secs>"), (re.compile(r" +\[100%\]$", re.M), " [100%]")]


def normal(text):
    text = UUID.sub("<uuid>", STAMP.sub("<time>", text))
    for pattern, stand_in in PYTEST_TAIL:
        text = pattern.sub(stand_in, text)
    return text.rstrip("\n").split("\n")


def replay(transcript, folder, env):
    steps = re.split(r"^\$ ", transcript, flags=re.M)[1:]
    assert steps, "a console block starts with a command"
    for step in steps:
        command, _, expected = step.partition("\n")
        # A preloaded runtime (the sanitizer run) is for the interpreter only, not for cat & co.
        shell_env = {k: v for k, v in env.items() if k != "LD_PRELOAD"}
        prefix = ""
        if env.get("LD_PRELOAD"):
            shell_env["LOG_MAIN_PRELOAD"] = env["LD_PRELOAD"]
            prefix = 'python() { LD_PRELOAD="$LOG_MAIN_PRELOAD" command python "$@"; }\n'
        result = run_process(["bash", "-c", prefix + command], cwd=folder, env=shell_env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, timeout=120)
        shown = ANSI.sub("", result.stdout).replace(str(folder), "/srv/app")
        assert result.returncode == 0, f"$ {command}\n{shown}"
        assert normal(shown) == normal(expected), f"$ {command}"


def run_shell_line(line):
    line = line.split("#", 1)[0].strip()
    if line.startswith("make "):
        result = run_process(["make", "-n", *line.split()[1:]], cwd=ROOT, capture_output=True, text=True,
                             timeout=120)
    else:
        assert line == "pip install .", line
        result = run_process([sys.executable, "-m", "pip", "install", "--dry-run", "--no-deps",
                              "--no-build-isolation", "--no-index", "."], cwd=ROOT, capture_output=True,
                             text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


WITH_BLOCKS = [s for s in SECTIONS if BLOCK.search(s[1])]


@pytest.mark.parametrize("title, section", WITH_BLOCKS, ids=[t.split(":")[0].strip("`") for t, _ in WITH_BLOCKS])
def test_readme_blocks_run(title, section, tmp_path):
    folder = tmp_path.resolve()
    env = plain_env(PYTHONUNBUFFERED="1", PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    blocks = BLOCK.findall(section)
    for i, (lang, text) in enumerate(blocks):
        following = blocks[i + 1][0] if i + 1 < len(blocks) else None
        if lang == "python":
            named = re.match(r"# ([\w/]+\.py)\n", text)
            path = folder / (named.group(1) if named else "app.py")
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8")
            if not named and following != "console":
                result = run_process([sys.executable, str(path)], cwd=folder, env=env, capture_output=True,
                                     text=True, timeout=120)
                assert result.returncode == 0, result.stderr
        elif lang == "console":
            replay(text, folder, env)
        elif lang == "sh":
            for line in text.splitlines():
                run_shell_line(line)
        else:
            assert (lang, title) == ("conf", "Shipping the logs to a central log system"), (lang, title)


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
    result = run_process([sys.executable, "-c", code], cwd=tmp_path, env=plain_env(),
                         capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "app.log").read_text(encoding="utf-8")
    assert "ZeroDivisionError: division by zero" in text
    assert "\x1b[" not in text


def bench_figures():
    spec = importlib.util.spec_from_file_location("bench_figures", ROOT / "bench" / "figures.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_readme_figures_are_those_of_the_latest_bench_run():
    figures = bench_figures()
    results = figures.load()
    assert {"peers", "run"} <= results.keys(), "bench/results.json lacks a part of the make bench run"
    assert not results["peers"]["quick"] and not results["run"]["quick"], "a --quick run is not for the README"
    # Every call of the comparison, each counted in instructions too (make bench runs peers.py --callgrind).
    rows = results["peers"]["rows"]
    assert [row["call"] for row in rows] == list(figures.WHAT)
    assert all(len(row.get("instructions", ())) == len(figures.SIDES) for row in rows)
    for path, parts in figures.regions(results).items():
        text = Path(path).read_text(encoding="utf-8")
        for name, body in parts.items():
            assert figures.region(text, name) == body, \
                f"{path}, region {name}: not what bench/results.json gives (make bench, or bench/figures.py)"
    # The versions under the table are those the bench tools are pinned to, so a run from a
    # venv with other versions cannot slip in.
    pins = dict(line.split("==") for line in (ROOT / "constraints" / "bench.txt").read_text().splitlines()
                if "==" in line and not line.startswith("#"))
    assert (results["peers"]["colorlog"], results["peers"]["loguru"]) == (pins["colorlog"], pins["loguru"])


def test_readme_states_no_figure_outside_the_generated_regions():
    generated = re.compile(r"<!-- bench:([\w-]+):start -->.*?<!-- bench:\1:end -->", re.S)
    for title in ("Performance", "Compared"):
        section = generated.sub("", dict(SECTIONS)[title])
        assert not re.findall(r".*\d.*", section.split("\n", 1)[1]), title


def test_readme_states_the_example_counts_ci_runs():
    """What the README says CI runs is what the scripts and the Makefile run."""
    releases = (ROOT / "scripts" / "test-colorlog-releases").read_text(encoding="utf-8")
    per_release = {name: int(n) for name, n in re.findall(r"export (\w+)=\$\{\1:-(\d+)\}", releases)}
    asan = re.search(r"^ASAN_EXAMPLES_CAP \?= (\d+)$", (ROOT / "Makefile").read_text(encoding="utf-8"), re.M)
    matrix = re.search(r"EXAMPLES_CAP:-(\d+)", (ROOT / "scripts" / "test-matrix").read_text(encoding="utf-8"))
    loops = " ".join(README.split("**Test loops.**", 1)[1].split("\n\n", 1)[0].split())
    assert (f"{per_release['WRITTEN_EXAMPLES']:,} sequences of the written-record differential and "
            f"{per_release['COLORED_EXAMPLES']:,} console-line examples per colorlog release") in loops
    assert f"at most {int(asan.group(1)):,} examples per property test" in loops
    assert f"at most {int(matrix.group(1)):,} examples per property test there" in loops
