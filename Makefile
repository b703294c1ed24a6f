# Every target does its own set-up: it finds CPython 3.13 (or takes PYTHON=...),
# makes .venv, builds and installs the module, then runs.
PYTHON ?= $(shell scripts/find-python)
VENV   := .venv
VPY    := $(VENV)/bin/python
DEPS   := "scikit-build-core>=0.10" "colorlog>=6.6,<6.10" "pytest>=8" "hypothesis>=6" "mypy>=1.10"
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml

.PHONY: demo test test-asan bench picture wheel clean

$(VENV)/.ready:
	@test -n "$(PYTHON)" || { echo "CPython 3.13 not found; run make PYTHON=/path/to/python3.13"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(DEPS)
	touch $@

$(VENV)/.built: $(VENV)/.ready $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

demo: $(VENV)/.built
	$(VPY) examples/demo.py

test: $(VENV)/.built
	$(VPY) -m pytest -q tests

# AddressSanitizer + UndefinedBehaviorSanitizer build in its own environment,
# the whole suite run with the sanitizer runtime preloaded; leaks of the
# interpreter itself are not reported.
ASAN_VENV := .venv-asan
test-asan:
	@test -n "$(PYTHON)" || { echo "CPython 3.13 not found; run make PYTHON=/path/to/python3.13"; exit 1; }
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade pip
	$(ASAN_VENV)/bin/python -m pip install -q $(DEPS)
	LOG_MAIN_SANITIZE=ON $(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps \
		--config-settings=build-dir=build/asan .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

$(VENV)/.plots: $(VENV)/.ready
	$(VPY) -m pip install -q matplotlib
	touch $@

bench: $(VENV)/.built $(VENV)/.plots
	$(VPY) bench/run.py --callgrind

picture: $(VENV)/.built $(VENV)/.plots
	$(VPY) docs/make_picture.py

wheel: $(VENV)/.ready
	$(VPY) -m pip wheel --no-build-isolation --no-deps -w dist .

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) .pytest_cache
