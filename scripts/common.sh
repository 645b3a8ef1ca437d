# Shared set-up for the project's scripts: finds a supported CPython and makes
# a virtual environment with the package installed. Sourced, not run.
#
# Choosing the interpreter: PYTHON=/path/to/python3.X, or PY=3.X (found under
# pyenv, or on PATH); neither given means the default version below.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

SUPPORTED_VERSIONS=(3.10 3.11 3.12 3.13)
DEFAULT_VERSION=3.10

# The places pyenv keeps interpreters: `pyenv root` when pyenv is on PATH
# (it need not select them), then $PYENV_ROOT, then ~/.pyenv.
pyenv_roots() {
    if command -v pyenv >/dev/null 2>&1; then
        pyenv root 2>/dev/null || true
    fi
    if [ -n "${PYENV_ROOT:-}" ]; then
        echo "$PYENV_ROOT"
    fi
    echo "$HOME/.pyenv"
}

# A regular (GIL) CPython build of version X.Y that runs, newest patch release
# first; nothing (and status 1) when none is found.
python_for() {
    local version=$1 root p
    local candidates=()
    while read -r root; do
        [ -d "$root/versions" ] || continue
        while read -r p; do
            candidates+=("$p")
        done < <(ls -d "$root/versions/$version"*/bin/"python$version" 2>/dev/null | sort -V -r)
    done < <(pyenv_roots)
    if command -v "python$version" >/dev/null 2>&1; then
        candidates+=("$(command -v "python$version")")
    fi
    for p in "${candidates[@]}"; do
        if [ -x "$p" ] && "$p" -c "
import sys, sysconfig
assert '%d.%d' % sys.version_info[:2] == '$version' and sys.implementation.name == 'cpython'
assert not sysconfig.get_config_var('Py_GIL_DISABLED')" 2>/dev/null; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

# The interpreter the scripts use: $PYTHON, else CPython $PY, else the default.
find_python() {
    if [ -n "${PYTHON:-}" ]; then
        echo "$PYTHON"
        return
    fi
    local version=${PY:-$DEFAULT_VERSION}
    if [[ ! " ${SUPPORTED_VERSIONS[*]} " == *" $version "* ]]; then
        echo "error: PY=$version is not one of the supported versions (${SUPPORTED_VERSIONS[*]})" >&2
        exit 1
    fi
    if ! python_for "$version"; then
        echo "error: CPython $version not found (install it with pyenv, or set PYTHON)" >&2
        exit 1
    fi
}

# The installed supported versions, one a line.
installed_versions() {
    local v
    for v in "${SUPPORTED_VERSIONS[@]}"; do
        if python_for "$v" >/dev/null; then
            echo "$v"
        fi
    done
}

# The chosen interpreter and its X.Y (a script that runs several versions sets
# ANY_PYTHON=1 and chooses for itself).
if [ -z "${ANY_PYTHON:-}" ]; then
    PYTHON_BIN=$(find_python)
    PYTHON_VERSION=$("$PYTHON_BIN" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
fi

# Settings of the project's own builds: warnings are errors (a user's
# `pip install` from the sdist does without).
DEV_BUILD=(-C cmake.define.TAVRIX_WERROR=ON)

# make_venv DIR [pip install arguments...]: creates DIR with the chosen
# interpreter if needed (again when it was made by another one) and installs
# the package into it (with the given extra arguments).
make_venv() {
    local venv=$1
    shift
    local base
    base=$("$PYTHON_BIN" -c 'import sys; print(sys.base_prefix)')
    if [ ! -x "$venv/bin/python" ] ||
        [ "$("$venv/bin/python" -c 'import sys; print(sys.base_prefix)' 2>/dev/null)" != "$base" ]; then
        rm -rf "$venv"
        "$PYTHON_BIN" -m venv "$venv"
        # The bundled pip may be too old for config settings (-C).
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade "pip>=24"
    fi
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$@"
}
