# Shared set-up for the project's scripts: finds a supported CPython and makes
# a virtual environment with the package installed. Sourced, not run.
#
# Choosing the interpreter: PYTHON=/path/to/python3.X, or PY=3.X (found under
# pyenv, or on PATH, or set up from Debian's packages for 3.14 and 3.15);
# neither given means the newest supported version found. PY=3.14d or 3.15d
# is the debug build of that version.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

SUPPORTED_VERSIONS=(3.10 3.11 3.12 3.13 3.14 3.15)
# The versions that scripts/debian-python.sh can set up on any machine, each
# with its debug build (X.Yd).
DEBIAN_VERSIONS=(3.14 3.15)

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

# "3.14" for CPython 3.14, "3.14d" for its debug build: the names of PY and of
# the environments (.venv-3.14d).
PYTHON_TAG_CODE='import sys; print("%d.%d%s" % (*sys.version_info[:2], "d" if hasattr(sys, "gettotalrefcount") else ""))'

# A CPython build of version X.Y (regular, with the GIL) or X.Yd (debug) that
# runs, found without setting anything up: under pyenv (newest patch release
# first), on PATH, or in the cache of scripts/debian-python.sh. Nothing (and
# status 1) when none is found.
python_for() {
    local version=$1 root p
    local number=${version%d}
    local candidates=()
    while read -r root; do
        [ -d "$root/versions" ] || continue
        while read -r p; do
            candidates+=("$p")
        done < <(ls -d "$root/versions/$number"*/bin/"python$version" 2>/dev/null | sort -V -r)
    done < <(pyenv_roots)
    if command -v "python$version" >/dev/null 2>&1; then
        candidates+=("$(command -v "python$version")")
    fi
    local debian
    if debian=$(source "$ROOT/scripts/debian-tree.sh" && debian_tree_ready python); then
        candidates+=("$debian/usr/bin/python$version")
    fi
    for p in "${candidates[@]}"; do
        if [ -x "$p" ] && [ "$("$p" -c "$PYTHON_TAG_CODE" 2>/dev/null)" = "$version" ] && "$p" -c "
import sys, sysconfig
assert sys.implementation.name == 'cpython'
assert not sysconfig.get_config_var('Py_GIL_DISABLED')" 2>/dev/null; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

# python_for, else (for the versions Debian's packages give) the interpreter
# that scripts/debian-python.sh sets up: it fetches them the first time
# (about a minute), and takes a moment after that.
provide_python() {
    local version=$1
    if python_for "$version"; then
        return 0
    fi
    if [[ " ${DEBIAN_VERSIONS[*]} " == *" ${version%d} "* ]]; then
        echo "--- CPython $version: setting it up from Debian's packages (scripts/debian-python.sh)" >&2
        bash "$ROOT/scripts/debian-python.sh" >/dev/null
        python_for "$version"
        return
    fi
    return 1
}

# The newest supported version found without setting anything up; else the
# newest that Debian's packages give.
default_version() {
    local i
    for ((i = ${#SUPPORTED_VERSIONS[@]} - 1; i >= 0; i--)); do
        if python_for "${SUPPORTED_VERSIONS[i]}" >/dev/null; then
            echo "${SUPPORTED_VERSIONS[i]}"
            return
        fi
    done
    echo "${DEBIAN_VERSIONS[-1]}"
}

# The interpreter the scripts use: $PYTHON, else CPython $PY, else the newest.
find_python() {
    if [ -n "${PYTHON:-}" ]; then
        echo "$PYTHON"
        return
    fi
    local version=${PY:-$(default_version)}
    local number=${version%d}
    if [[ ! " ${SUPPORTED_VERSIONS[*]} " == *" $number "* ]] ||
        { [ "$number" != "$version" ] && [[ ! " ${DEBIAN_VERSIONS[*]} " == *" $number "* ]]; }; then
        echo "error: PY=$version is not one of the supported versions (${SUPPORTED_VERSIONS[*]}, or the debug builds ${DEBIAN_VERSIONS[*]/%/d})" >&2
        exit 1
    fi
    if ! provide_python "$version"; then
        echo "error: CPython $version not found (install it with pyenv, or set PYTHON)" >&2
        exit 1
    fi
}

# The supported versions found (see python_for), one a line.
installed_versions() {
    local v
    for v in "${SUPPORTED_VERSIONS[@]}"; do
        if python_for "$v" >/dev/null; then
            echo "$v"
        fi
    done
}

# The supported versions that can be had here: those found, and those that
# Debian's packages give (set up when first used), one a line.
available_versions() {
    local v
    for v in "${SUPPORTED_VERSIONS[@]}"; do
        if [[ " ${DEBIAN_VERSIONS[*]} " == *" $v "* ]] || python_for "$v" >/dev/null; then
            echo "$v"
        fi
    done
}

# The chosen interpreter and its X.Y, or X.Yd for a debug build (a script that
# runs several versions sets ANY_PYTHON=1 and chooses for itself).
if [ -z "${ANY_PYTHON:-}" ]; then
    PYTHON_BIN=$(find_python)
    PYTHON_VERSION=$("$PYTHON_BIN" -c "$PYTHON_TAG_CODE")
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
        "$venv/bin/python" -W ignore::ResourceWarning -m pip install --quiet --disable-pip-version-check --upgrade "pip>=24"
    fi
    "$venv/bin/python" -W ignore::ResourceWarning -m pip install --quiet --disable-pip-version-check "$@"
}
