# One-step set-up and the project's entry points. Everything lives in .venv.
VENV ?= .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed

.PHONY: setup demo test bench clean

setup: $(STAMP)

# An editable install: the extension is rebuilt on import whenever a C++
# source changed, so tests always run the current code.
$(STAMP): pyproject.toml CMakeLists.txt
	python3 -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
	$(PY) -m pip install -q --no-build-isolation -e ".[test]"
	touch $(STAMP)

demo: setup
	$(PY) -m quorvane kline AAPL day 100 --sim

test: setup
	$(PY) -m pytest -q

bench: setup
	$(PY) benchmarks/bench_bar_table.py
	$(PY) benchmarks/bench_fallback.py
	$(PY) benchmarks/bench_cache_hit.py

clean:
	rm -rf build $(VENV)
