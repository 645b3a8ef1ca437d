#!/usr/bin/env bash
# The benchmarks against the peers a user would pick, from nothing: a virtual
# environment of their own (.venv-bench-3.X) with the package and the peers
# (wrapt, joblib; matplotlib draws the chart) installed from PyPI.
# Tables go to the terminal and to bench/results/ (RESULTS.md, results.json,
# results.png). Arguments go to bench/run.py (e.g. --quick, --only lock).
source "$(dirname "$0")/common.sh"
VENV=${VENV_BENCH:-$ROOT/.venv-bench-$PYTHON_VERSION}
# A build directory of its own, so that it never races another build.
make_venv "$VENV" "${DEV_BUILD[@]}" -C "build-dir=build/bench-$PYTHON_VERSION" "$ROOT" wrapt joblib matplotlib
cd "$ROOT"
exec "$VENV/bin/python" bench/run.py "$@"
