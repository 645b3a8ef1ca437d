"""Builds and imports bench/floor.cpp for the running interpreter.

The floor is the bench's yardstick, not part of the package: it is compiled
here, into build/floor-<version>/ of the source tree, whenever its source is
newer than the module, with the compiler flags of the project's own builds
(C++20, -O3, warnings as errors).
"""

import importlib.util
import os
import shlex
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "floor.cpp")


def path():
    version = "%d.%d" % sys.version_info[:2]
    out_dir = os.path.join(os.path.dirname(HERE), "build", f"floor-{version}")
    return os.path.join(out_dir, "floor" + sysconfig.get_config_var("EXT_SUFFIX"))


def build():
    target = path()
    if os.path.exists(target) and os.path.getmtime(target) >= os.path.getmtime(SOURCE):
        return target
    os.makedirs(os.path.dirname(target), exist_ok=True)
    compiler = shlex.split(os.environ.get("CXX", "c++"))
    command = compiler + [
        "-std=c++20", "-O3", "-DNDEBUG", "-fPIC", "-shared", "-fvisibility=hidden",
        "-Wall", "-Wextra", "-Werror",
        *shlex.split(os.environ.get("FLOOR_CFLAGS", "")),
        "-I" + sysconfig.get_paths()["include"], SOURCE, "-o", target + ".part",
    ]
    subprocess.run(command, check=True)
    os.replace(target + ".part", target)
    return target


def load():
    spec = importlib.util.spec_from_file_location("floor", build())
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["floor"] = module
    return module
