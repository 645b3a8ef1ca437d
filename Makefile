# Each target does its own set-up (CPython from pyenv, or 3.14 and 3.15 from
# Debian's packages, a virtual environment per version, the package
# installed), so every one works on a fresh machine. The newest supported
# CPython found by default; PY=3.12 (or PY=3.15d for the debug build, or
# PYTHON=/path/to/python3.X) chooses.
.PHONY: demo test test-all test-sanitize bench wheel ci clean

demo:
	bash scripts/demo.sh

test:
	bash scripts/test.sh

# The suite on every supported CPython installed, one after the other.
test-all:
	bash scripts/test-all.sh

test-sanitize:
	bash scripts/test-sanitize.sh

bench:
	bash scripts/bench.sh

# One manylinux wheel per supported CPython, built against glibc 2.31, into wheelhouse/.
wheel:
	bash scripts/wheel.sh

ci:
	bash .ci/run

clean:
	rm -rf build dist wheelhouse .venv .venv-*
