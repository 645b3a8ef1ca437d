#!/usr/bin/env bash
# Builds the CPython 3.10 Linux wheel into wheelhouse/ (or $WHEELHOUSE), then
# installs it into a throw-away virtual environment and imports both modules.
source "$(dirname "$0")/common.sh"
PY=$(find_python)
OUT=${WHEELHOUSE:-$ROOT/wheelhouse}
mkdir -p "$OUT"
# A scratch build directory keeps this build apart from the one of .venv.
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
"$PY" -m pip wheel --disable-pip-version-check --no-deps --wheel-dir "$OUT" \
    --config-settings=build-dir="$SCRATCH/build" "$ROOT"
WHEEL=$(ls -t "$OUT"/tavrix_async-*-cp310-cp310-linux_*.whl | head -n 1)
"$PY" -m venv "$SCRATCH/venv"
"$SCRATCH/venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-index "$WHEEL"
(cd "$SCRATCH" && "$SCRATCH/venv/bin/python" -c '
import tavrix.async_.forkline as forkline, tavrix.async_.synchronize as synchronize
assert forkline.Pcall.pcall(abs, iargs=[(-1,), (-2,)]) == (1, 2)
print("imported", forkline.__name__, "and", synchronize.__name__)
')
echo "$WHEEL"
