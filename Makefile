# One-step set-up and the project's entry points. Everything lives in .venv.
VENV ?= .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps
BUILT := $(VENV)/.built
SOURCES := CMakeLists.txt $(shell find quorvane/cmds/quotes/kline -name '*.cpp' -o -name '*.hpp')
INSTALL := $(PY) -m pip install -q --no-build-isolation

.PHONY: setup dev demo test bench clean cancelcheck fuzz leakcheck asan

setup: $(BUILT)

$(DEPS): pyproject.toml
	python3 -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
	touch $(DEPS)

# An editable install: Python files are used where they are, the extension is
# built once and rebuilt by make whenever a C++ source changes. Importing it
# checks nothing, so every start is as fast as an installed build.
$(BUILT): $(DEPS) $(SOURCES)
	$(INSTALL) -C editable.rebuild=false -e ".[test]"
	touch $(BUILT)

# For developers: the extension rebuilds itself on import whenever a C++ source
# changed (a check that costs every start a few tenths of a second).
dev: $(DEPS)
	$(INSTALL) -C editable.rebuild=true -e ".[test]"
	touch $(BUILT)

demo: setup
	$(PY) -m quorvane kline AAPL day 100 --sim

test: setup
	$(PY) -m pytest -q

bench: setup
	$(PY) benchmarks/bench_bar_table.py
	$(PY) benchmarks/bench_terminal.py
	$(PY) benchmarks/bench_fallback.py
	$(PY) benchmarks/bench_cache_hit.py
	$(PY) benchmarks/bench_bar_store.py
	$(PY) benchmarks/bench_batch.py
	$(PY) benchmarks/bench_bad_days.py

# Reliability checks (checks/): each prints its figures and fails on a finding.
cancelcheck: setup
	$(PY) -m checks.cancelcheck $(if $(N),--cancels $(N))

fuzz: setup
	$(PY) -m checks.fuzz $(if $(N),--cases $(N))

leakcheck: setup
	$(PY) -m checks.leakcheck $(if $(N),--requests $(N))

# The whole suite against an ASan+UBSan build, in its own .venv-asan and build/asan.
asan:
	checks/asan.sh

clean:
	rm -rf build $(VENV) .venv-asan
