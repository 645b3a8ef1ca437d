"""What must behave the same on every supported interpreter version: the depth
at which native call chains end, and loading into other interpreters."""

import os
import subprocess
import sys
import textwrap

import pytest

import tavrix.async_.synchronize as sync

# ---------------------------------------------------------------------------
# Depth of native call chains
# ---------------------------------------------------------------------------


def deepest_chain_that_runs(chain, obj):
    """The largest k for which calling chain[k] (k wrappers deep) returns."""
    low, high = 0, len(chain) - 1
    while low < high:
        mid = (low + high + 1) // 2
        try:
            chain[mid](obj)
        except RecursionError:
            high = mid - 1
        else:
            low = mid
    return low


@pytest.mark.parametrize("decorate", [sync.locked, sync.Lockable.locked], ids=["locked", "Lockable.locked"])
def test_native_chains_end_at_a_depth_following_the_recursion_limit(decorate):
    def method(self):
        return "bottom"

    chain = [method]
    for _ in range(2_500):
        chain.append(decorate(chain[-1]))
    obj = sync.Lockable()
    limit = sys.getrecursionlimit()
    reached = {}
    try:
        for new_limit in (600, 1_600):
            sys.setrecursionlimit(new_limit)
            reached[new_limit] = deepest_chain_that_runs(chain, obj)
    finally:
        sys.setrecursionlimit(limit)
    # Each wrapper counts as one frame, with the caller's frames below it.
    assert reached[1_600] - reached[600] == 1_000, reached
    assert 600 - 200 < reached[600] < 600, reached


# ---------------------------------------------------------------------------
# Other interpreters
# ---------------------------------------------------------------------------

ATTEMPT = """
import os
try:
    import {module}
except ImportError as error:
    answer = "ImportError: " + str(error)
else:
    answer = "imported"
os.write({fd}, answer.encode())
"""

RUNNER = """
import os, sys
kind, module = sys.argv[1:]
read, write = os.pipe()
code = {attempt!r}.format(module=module, fd=write)
if kind == "legacy":
    import _testcapi
    _testcapi.run_in_subinterp(code)
else:
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    interp = interpreters.create()
    interpreters.run_string(interp, code)
    interpreters.destroy(interp)
os.close(write)
print(os.read(read, 1000).decode())
"""


def subinterpreter_kinds():
    kinds = ["legacy"]
    if sys.version_info >= (3, 12):
        kinds.append("isolated")
    return kinds


@pytest.mark.parametrize("kind", subinterpreter_kinds())
@pytest.mark.parametrize("module", ["tavrix.async_.forkline", "tavrix.async_.synchronize"])
def test_a_sub_interpreter_gets_a_clear_import_error(kind, module):
    pytest.importorskip("_testcapi" if kind == "legacy" else "_xxsubinterpreters"
                        if sys.version_info < (3, 13) else "_interpreters")
    runner = RUNNER.format(attempt=ATTEMPT)
    # The main interpreter has the module loaded already, as it usually would.
    result = subprocess.run([sys.executable, "-c", f"import {module}\n" + runner, kind, module],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    answer = result.stdout.strip()
    assert answer.startswith("ImportError: "), answer
    assert module in answer and "sub" in answer and "interpreter" in answer, answer
