#!/usr/bin/env bash
# The test suite on every supported CPython (3.10 to 3.13 as installed, 3.14
# and 3.15 set up from Debian's packages if need be), one after the other,
# each in its own environment; arguments go to pytest. Reports the time of
# each run and fails if any run failed (or no interpreter was found).
ANY_PYTHON=1 source "$(dirname "$0")/common.sh"
mapfile -t versions < <(available_versions)
if [ ${#versions[@]} -eq 0 ]; then
    echo "error: none of CPython ${SUPPORTED_VERSIONS[*]} found" >&2
    exit 1
fi
status=0
summary=()
for v in "${versions[@]}"; do
    echo "=== CPython $v"
    start=$SECONDS
    if env -u PYTHON -u VENV -u ANY_PYTHON PY="$v" bash "$ROOT/scripts/test.sh" "$@"; then
        result=passed
    else
        result=FAILED
        status=1
    fi
    summary+=("CPython $v: $result in $((SECONDS - start)) s")
done
printf '%s\n' "${summary[@]}"
exit $status
