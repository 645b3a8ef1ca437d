#!/usr/bin/env bash
# The build root of the wheels: the C++ compiler of Debian 11 (g++ 10) with
# its C library (glibc 2.31) and C++ runtime, from Debian's packages, unpacked
# into ~/.cache/tavrix-async/wheel-root/<digest of the package versions>/.
# Extension modules compiled and linked there need nothing newer than
# glibc 2.31 and the C++ runtime of g++ 10, so that their wheels install on
# Debian 11, Ubuntu 20.04, RHEL 8-era systems and everything newer.
# scripts/wheel.sh runs the compiler in that root (see its wrapper); the
# interpreters, CMake and the build front end stay this machine's own.
# Prints the folder; a second run takes a moment, the first about 20 s.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/debian-tree.sh"

mend_root() {
    local tree=$1
    # The compiler writes its temporary files to /tmp.
    mkdir -p "$tree/tmp"
    chmod 1777 "$tree/tmp"
    unshare --root="$tree" /usr/bin/g++ --version >/dev/null
}

debian_tree bullseye wheel-root mend_root g++ libc6-dev
