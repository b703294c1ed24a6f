# Every target does its own set-up: it finds CPython 3.13 (or takes PYTHON=...),
# makes .venv, builds and installs the module, then runs.
PYTHON ?= $(shell scripts/find-python)
VENV   := .venv
VPY    := $(VENV)/bin/python
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml

.PHONY: demo test test-asan bench picture wheel clean

$(VENV)/.ready:
	@test -n "$(PYTHON)" || { echo "CPython 3.13 not found; run make PYTHON=/path/to/python3.13"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "colorlog>=6.0" "pytest>=8" "hypothesis>=6" "mypy>=1.10" matplotlib
	touch $@

$(VENV)/.built: $(VENV)/.ready $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

demo: $(VENV)/.built
	$(VPY) examples/demo.py

test: $(VENV)/.built
	$(VPY) -m pytest -q tests

# AddressSanitizer + UndefinedBehaviorSanitizer build, whole suite, interpreter leaks not reported.
test-asan: $(VENV)/.ready
	LOG_MAIN_SANITIZE=ON $(VPY) -m pip install -q --no-build-isolation --no-deps --config-settings=build-dir=build/asan .
	rm -f $(VENV)/.built
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc $(VPY) -m pytest -q -p no:cacheprovider tests

bench: $(VENV)/.built
	$(VPY) bench/run.py

picture: $(VENV)/.built
	$(VPY) docs/make_picture.py

wheel: $(VENV)/.ready
	$(VPY) -m pip wheel --no-build-isolation --no-deps -w dist .

clean:
	rm -rf build dist $(VENV) .pytest_cache
