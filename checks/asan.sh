#!/usr/bin/env bash
# The whole test suite against an AddressSanitizer + UBSan build of the module.
#
#   checks/asan.sh [pytest arguments]        (make asan)
#
# The instrumented module lives in its own virtual environment (.venv-asan), an editable install
# built in build/asan, so the everyday .venv and its build stay untouched. The interpreter
# itself is not instrumented: the sanitizer runtime is preloaded (with libstdc++, which python does
# not link), Python's allocator is plain malloc so ASan sees every block, and leak detection is off
# (the interpreter keeps objects until exit). Every process the suite starts inherits this and
# writes any report to build/asan/reports; a report, or a failing test, fails the run. The build
# uses GCC (g++), whose runtimes are the ones preloaded.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=.venv-asan
BUILD=build/asan
REPORTS="$PWD/$BUILD/reports"
PY="$VENV/bin/python"

# The environment, made again when the project's dependencies change.
if [[ ! -f $VENV/.deps || pyproject.toml -nt $VENV/.deps ]]; then
    python3 -m venv "$VENV"
    "$PY" -m pip install -q --upgrade pip
    "$PY" -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
    touch "$VENV/.deps"
    rm -f "$VENV/.built"
fi
# The instrumented module, built again when a C++ source or the build's settings change.
changed=$(find CMakeLists.txt checks/asan.sh quorvane/cmds/quotes/kline \
    \( -name '*.cpp' -o -name '*.hpp' -o -name CMakeLists.txt -o -name asan.sh \) -newer "$VENV/.built" -print -quit \
    2>/dev/null || echo missing)
if [[ ! -f $VENV/.built || -n $changed ]]; then
    "$PY" -m pip install -q --no-build-isolation -e ".[test]" -C editable.rebuild=false \
        -C build-dir="$BUILD" -C cmake.build-type=RelWithDebInfo -C cmake.define.KLINE_SANITIZE=ON \
        -C cmake.define.CMAKE_CXX_COMPILER=g++
    touch "$VENV/.built"
fi

rm -rf "$REPORTS"
mkdir -p "$REPORTS"
set +e
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$REPORTS/asan" \
UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan" \
KLINE_SANITIZED_RUN=1 \
    "$PY" -m pytest -q -p checks.sanitized "$@" 2>&1 | tee "$REPORTS/pytest.log"
status=${PIPESTATUS[0]}
set -e

# A report normally lands in a file; one written to the output instead fails the run as well.
if grep -qE "ERROR: (Address|Undefined)Sanitizer|runtime error:" "$REPORTS/pytest.log"; then
    status=1
fi
shopt -s nullglob
reports=("$REPORTS"/asan.* "$REPORTS"/ubsan.*)
if ((${#reports[@]})); then
    cat "${reports[@]}" >&2
    echo "asan: ${#reports[@]} sanitizer report(s), kept in $REPORTS" >&2
    status=1
else
    echo "asan: no sanitizer reports"
fi
exit $status
