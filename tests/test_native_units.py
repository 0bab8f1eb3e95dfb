"""Builds and runs the C++ unit tests of tests/native (MessagePack writing and
checking, identifiers, path filters, record lists) with cmake and ninja."""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

NATIVE = Path(__file__).parent / "native"


def _tool(name):
    here = Path(sys.prefix) / "bin" / name
    if here.exists():
        return str(here)
    found = shutil.which(name)
    if found is None:
        pytest.skip(f"{name} is not installed")
    return found


def test_native_unit_tests_pass(tmp_path):
    build = tmp_path / "build"
    configure = subprocess.run(
        [_tool("cmake"), "-S", str(NATIVE), "-B", str(build), "-G", "Ninja",
         f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}",
         f"-DPYTHON_INCLUDE_DIR={sysconfig.get_paths()['include']}"],
        capture_output=True, text=True)
    assert configure.returncode == 0, configure.stdout + configure.stderr
    compiled = subprocess.run([_tool("cmake"), "--build", str(build)], capture_output=True, text=True)
    assert compiled.returncode == 0, compiled.stdout + compiled.stderr

    run = subprocess.run([str(build / "test_units")], capture_output=True, text=True,
                         env={**os.environ, "LC_ALL": "C"})
    assert run.returncode == 0, run.stdout + run.stderr
    summary = re.search(r"^(\d+) passed, (\d+) failed$", run.stdout, re.MULTILINE)
    assert summary is not None, run.stdout
    assert int(summary.group(1)) > 0 and summary.group(2) == "0"
