#!/usr/bin/env bash
# The test suite against a fresh install of the package, from nothing.
source "$(dirname "$0")/common.sh"
VENV=${VENV:-$ROOT/.venv}
make_venv "$VENV" "$ROOT[test]"
cd "$ROOT"
exec "$VENV/bin/python" -m pytest "$@"
