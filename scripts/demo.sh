#!/usr/bin/env bash
# The main job: a demonstration of both modules, from nothing.
source "$(dirname "$0")/common.sh"
VENV=${VENV:-$ROOT/.venv-$PYTHON_VERSION}
make_venv "$VENV" "${DEV_BUILD[@]}" "$ROOT"
cd "$ROOT/examples"
for demo in forkline_demo.py sync_demo.py; do
    if [ -f "$demo" ]; then
        echo "=== $demo"
        "$VENV/bin/python" "$demo"
    fi
done
