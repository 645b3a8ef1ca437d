"""The package as users get it: type stubs checked against the built modules,
mypy --strict on typed code, and a wheel installed into a fresh environment."""
import os
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

import tavrix
from tavrix.async_ import forkline, synchronize

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src" / "tavrix"
MODULES = ["tavrix.async_.forkline", "tavrix.async_.synchronize"]
VERSION = "%d%d" % sys.version_info[:2]  # as in wheel tags and extension suffixes
ABI = VERSION + ("d" if hasattr(sys, "gettotalrefcount") else "")  # a debug build's ABI tag


def run(args, cwd, env=None, timeout=300):
    result = subprocess.run(
        [str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout
    )
    return result


def clean_env():
    """The environment without the sanitizer run's preload: compilers and a
    fresh interpreter must not load the sanitizer runtime."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("ASAN_", "UBSAN_", "LSAN_"))}
    for key in ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH", "PYTHONHOME"):
        env.pop(key, None)
    env["PYTHONNOUSERSITE"] = "1"
    return env


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def test_installed_stubs_are_those_of_the_source_tree():
    installed = Path(tavrix.__file__).parent
    assert (installed / "py.typed").is_file()
    for module in (forkline, synchronize):
        stub = Path(module.__file__).with_name(module.__name__.rsplit(".", 1)[1] + ".pyi")
        source = SRC / "async_" / stub.name
        assert stub.is_file(), f"{stub} not installed"
        assert stub.read_text() == source.read_text(), f"{stub} is stale: reinstall the package"


@pytest.mark.timeout(600)
def test_stubtest_against_the_built_modules(tmp_path, mypy_cache):
    result = run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull, *MODULES],
        cwd=tmp_path,
        env={**os.environ, "MYPY_CACHE_DIR": str(mypy_cache)},
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.timeout(600)
def test_mypy_strict_accepts_typed_usage_and_rejects_misuse(tmp_path, mypy_cache):
    example = ROOT / "examples" / "typed_usage.py"
    mypy = [sys.executable, "-m", "mypy", "--strict", "--config-file", os.devnull, "--cache-dir", mypy_cache]
    result = run([*mypy, example], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr

    # The stubs are really used: wrong calls are errors, not Any.
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        textwrap.dedent(
            """\
            from tavrix.async_.forkline import Pcall
            from tavrix.async_.synchronize import Lockable, LockableMeta, locked

            Pcall.pcall(abs, timeout="soon")
            Pcall(abs, extra=3)
            Lockable(lambda: None)
            Lockable().acquire(blocking=True)
            reveal_type(Pcall(abs).pids)
            reveal_type(LockableMeta.ignore(3))

            class Host:
                @locked
                def add(self, a: int) -> int:
                    return a

            Host().add("1")
            """
        )
    )
    result = run([*mypy, misuse], cwd=tmp_path)
    out = result.stdout
    assert result.returncode == 1, out + result.stderr
    expected = [
        'misuse.py:4: error: Argument "timeout" to "pcall" of "Pcall" has incompatible type "str"',
        'misuse.py:5: error: Argument "extra" to "Pcall" has incompatible type "int"',
        "misuse.py:6: error: Too many positional arguments",
        'misuse.py:7: error: Unexpected keyword argument "blocking"',
        'misuse.py:8: note: Revealed type is "tuple[int | None, ...]"',
        'misuse.py:9: note: Revealed type is "int"',
        'misuse.py:16: error: Argument 1 to "add" of "Host" has incompatible type "str"',
    ]
    for line in expected:
        assert line in out, out


def test_typed_usage_example_runs(tmp_path):
    result = run([sys.executable, ROOT / "examples" / "typed_usage.py"], cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "typed usage ok" in result.stdout


@pytest.mark.timeout(900)
def test_wheel_builds_and_installs_into_a_fresh_venv(tmp_path):
    env = clean_env()
    wheels = tmp_path / "wheels"
    result = run(
        [
            sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
            "--disable-pip-version-check", "--wheel-dir", wheels,
            f"--config-settings=build-dir={tmp_path / 'build'}", ROOT,
        ],
        cwd=tmp_path,
        env=env,
        timeout=800,
    )
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    # A user's build (from the sdist, or pip install .) does not make warnings errors.
    assert "TAVRIX_WERROR:BOOL=OFF" in (tmp_path / "build" / "CMakeCache.txt").read_text()
    [wheel] = wheels.glob("*.whl")
    assert wheel.name.startswith(f"tavrix_async-0.1.0-cp{VERSION}-cp{ABI}-linux_"), wheel.name

    names = set(zipfile.ZipFile(wheel).namelist())
    for module in ("forkline", "synchronize"):
        assert f"tavrix/async_/{module}.pyi" in names
        assert any(n.startswith(f"tavrix/async_/{module}.cpython-{ABI}-") and n.endswith(".so") for n in names)
    for name in (
        "tavrix/py.typed",
        "tavrix/async_/exceptions.py",
        "tavrix/log/managed_handlers/tasklog.py",
        "tavrix/vetrun/signals.py",
        "tavrix/vetrun/steps.py",
    ):
        assert name in names
    assert not [n for n in names if n.endswith((".cpp", ".h", "CMakeLists.txt"))]

    venv = tmp_path / "venv"
    result = run([sys.executable, "-m", "venv", "--without-pip", venv], cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stderr
    python = venv / "bin" / "python"
    result = run(
        [
            sys.executable, "-m", "pip", "--python", python, "install", "--no-deps", "--no-index",
            "--disable-pip-version-check", wheel,
        ],
        cwd=tmp_path,
        env=env,
    )
    assert result.returncode == 0, result.stdout + result.stderr

    check = textwrap.dedent(
        """\
        import sys
        from pathlib import Path
        import tavrix.async_.forkline as forkline
        import tavrix.async_.synchronize as synchronize

        for module in (forkline, synchronize):
            assert Path(module.__file__).is_relative_to(Path(sys.prefix)), module.__file__
        assert forkline.Pcall.pcall(abs, iargs=[(-1,), (-2,)]) == (1, 2)

        class Counter(synchronize.Lockable):
            @synchronize.Lockable.locked
            def one(self):
                return 1

        assert Counter().one() == 1
        print("ok", sys.version_info[:2])
        """
    )
    result = run([python, "-c", check], cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == f"ok {sys.version_info[:2]}"
