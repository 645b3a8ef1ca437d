# Each target does its own set-up (CPython 3.10 from pyenv, a virtual
# environment, the package installed), so every one works on a fresh machine.
.PHONY: demo test test-sanitize bench wheel clean

demo:
	bash scripts/demo.sh

test:
	bash scripts/test.sh

test-sanitize:
	bash scripts/test-sanitize.sh

bench:
	bash scripts/bench.sh

wheel:
	bash scripts/wheel.sh

clean:
	rm -rf build dist wheelhouse .venv .venv-asan .venv-bench
