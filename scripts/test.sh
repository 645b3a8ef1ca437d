#!/usr/bin/env bash
# The test suite against a fresh install of the package, from nothing, in the
# chosen interpreter's own environment (.venv-3.X).
source "$(dirname "$0")/common.sh"
VENV=${VENV:-$ROOT/.venv-$PYTHON_VERSION}
make_venv "$VENV" "${DEV_BUILD[@]}" "$ROOT[test]"
cd "$ROOT"
exec "$VENV/bin/python" -m pytest "$@"
