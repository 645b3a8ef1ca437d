"""The README's usage guide cannot rot: every ```python block runs in a fresh
interpreter, the zipping table is checked against real batches, and every
public name has a runnable example."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

from tavrix.async_.forkline import Pcall

README = Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text()


def python_blocks():
    """(line number, nearest heading, code) of every ```python block."""
    blocks, heading, code, start = [], "top", None, 0
    for number, line in enumerate(TEXT.splitlines(), 1):
        if code is None:
            if line.startswith("#"):
                heading = line.lstrip("#").strip()
            elif line.strip() == "```python":
                code, start = [], number
        elif line.strip() == "```":
            blocks.append((start, heading, "\n".join(code) + "\n"))
            code = None
        else:
            code.append(line)
    assert code is None, f"unclosed ```python block at line {start}"
    return blocks


BLOCKS = python_blocks()


def block_id(block):
    start, heading, _ = block
    return f"line{start}-" + re.sub(r"\W+", "-", heading).strip("-").lower()


@pytest.mark.parametrize("block", BLOCKS, ids=[block_id(b) for b in BLOCKS])
def test_python_block_runs(block, tmp_path):
    start, _, code = block
    script = tmp_path / f"readme_line{start}.py"
    script.write_text(code)
    result = subprocess.run(
        [sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=100
    )
    assert result.returncode == 0, f"README block at line {start} failed:\n{result.stderr}"


def test_every_public_name_has_a_runnable_example():
    code = "".join(c for _, _, c in BLOCKS)
    assert len(BLOCKS) >= 12
    for pattern in (
        r"\bPcall\(", r"Pcall\.pcall\(", r"\.start\(\)", r"\.join\(\)", r"\.results\b",
        r"\.terminate\(\)", r"\.kill\(\)", r"\.pids\b", r"\.livings\b", r"\bChildLabor\(",
        r"\bChildWork\(", r"@locked\b", r"\(Lockable\)", r"\.acquire\(", r"\.release\(\)",
        r"@Lockable\.locked\b", r"metaclass=LockableMeta\b", r"@LockableMeta\.ignore\b",
        r"timeout=", r"TimeoutError", r"VetrunStepFailedSignal", r"super\(\).__init__\(\)",
    ):
        assert re.search(pattern, code), f"no README example uses {pattern}"


def zipping_rows():
    """Rows of the table "| Call | Children | What each child receives |"."""
    lines = TEXT.splitlines()
    header = lines.index("| Call | Children | What each child receives |")
    rows = []
    for line in lines[header + 2:]:
        if not line.startswith("|"):
            break
        call, children, receives = [cell.strip() for cell in line.strip("|").split("|")]
        rows.append((call.strip("`"), int(children), re.findall(r"`([^`]*)`", receives)))
    return rows


ROWS = zipping_rows()


def recorder(name):
    def record(*args, **kwargs):
        shown = [repr(a) for a in args] + [f"{k}={v!r}" for k, v in kwargs.items()]
        return f"{name}({', '.join(shown)})"

    record.__name__ = name
    return record


def test_zipping_table_is_complete():
    assert len(ROWS) >= 8
    assert any(n == 1 for _, n, _ in ROWS) and any(n == 3 for _, n, _ in ROWS)


@pytest.mark.parametrize("call, children, receives", ROWS, ids=[r[0] for r in ROWS])
def test_zipping_table_row(call, children, receives):
    namespace = {"Pcall": Pcall, "f": recorder("f"), "g": recorder("g"), "h": recorder("h")}
    batch = eval(call, namespace)
    assert len(batch.pids) == children
    batch.start()
    batch.join()
    assert list(batch.results) == receives
