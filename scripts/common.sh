# Shared set-up for the project's scripts: finds CPython 3.10 and makes a
# virtual environment with the package installed. Sourced, not run.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# CPython 3.10: $PYTHON if given, else pyenv's 3.10 (even when it is not the
# global interpreter), else a python3.10 on PATH that actually runs.
find_python() {
    if [ -n "${PYTHON:-}" ]; then
        echo "$PYTHON"
        return
    fi
    local candidates=()
    if command -v pyenv >/dev/null 2>&1; then
        local proot
        proot=$(pyenv root)
        while read -r v; do
            candidates+=("$proot/versions/$v/bin/python3.10")
        done < <(pyenv versions --bare 2>/dev/null | grep -E '^3\.10(\.[0-9]+)?$' | sort -t. -k3 -n -r)
    fi
    for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.10*/bin/python3.10; do
        candidates+=("$p")
    done
    if command -v python3.10 >/dev/null 2>&1; then
        candidates+=("$(command -v python3.10)")
    fi
    for p in "${candidates[@]}"; do
        if [ -x "$p" ] && "$p" -c 'import sys; assert sys.version_info[:2] == (3, 10)' 2>/dev/null; then
            echo "$p"
            return
        fi
    done
    echo "error: CPython 3.10 not found (install it with pyenv, or set PYTHON)" >&2
    exit 1
}

# make_venv DIR [pip install arguments...]: creates DIR if needed and installs
# the package into it (with the given extra arguments).
make_venv() {
    local venv=$1
    shift
    if [ ! -x "$venv/bin/python" ]; then
        "$(find_python)" -m venv "$venv"
        # The bundled pip is too old for config settings (-C).
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade "pip>=24"
    fi
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$@"
}
