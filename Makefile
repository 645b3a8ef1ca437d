# Each target does its own set-up (CPython from pyenv, a virtual environment
# per version, the package installed), so every one works on a fresh machine.
# CPython 3.10 by default; PY=3.12 (or PYTHON=/path/to/python3.X) chooses.
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

# One manylinux wheel per supported CPython installed, into wheelhouse/.
wheel:
	bash scripts/wheel.sh

ci:
	bash .ci/run

clean:
	rm -rf build dist wheelhouse .venv .venv-*
