#!/usr/bin/env bash
# The test suite against a build with AddressSanitizer and UBSan.
source "$(dirname "$0")/common.sh"
VENV=${VENV_ASAN:-$ROOT/.venv-asan-$PYTHON_VERSION}
make_venv "$VENV" "${DEV_BUILD[@]}" -C cmake.define.TAVRIX_SANITIZE=ON -C "build-dir=build/sanitize-$PYTHON_VERSION" -C cmake.build-type=Debug \
    "$ROOT[test]"
cd "$ROOT"
# The interpreter itself is not instrumented: the sanitizer runtime must be
# loaded first, and the interpreter's deliberate leaks at exit are not ours.
# The C++ runtime is preloaded too, so that the sanitizer finds the real
# exception-throwing entry point when it starts.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONMALLOC=malloc \
    "$VENV/bin/python" -m pytest "$@"
