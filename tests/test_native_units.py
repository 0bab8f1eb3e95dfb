"""Builds and runs the C++ unit tests of tests/native (MessagePack writing and
checking, identifiers, path filters, record lists) with cmake and ninja, and
the interpreter check on its own, refusing interpreters it does not know."""

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


@pytest.fixture(scope="module")
def native_build(tmp_path_factory):
    build = tmp_path_factory.mktemp("native") / "build"
    configure = subprocess.run(
        [_tool("cmake"), "-S", str(NATIVE), "-B", str(build), "-G", "Ninja",
         f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}",
         f"-DPYTHON_INCLUDE_DIR={sysconfig.get_paths()['include']}",
         f"-DPYTHON_EXT_SUFFIX={sysconfig.get_config_var('EXT_SUFFIX')}"],
        capture_output=True, text=True)
    assert configure.returncode == 0, configure.stdout + configure.stderr
    compiled = subprocess.run([_tool("cmake"), "--build", str(build)], capture_output=True, text=True)
    assert compiled.returncode == 0, compiled.stdout + compiled.stderr
    return build


def test_native_unit_tests_pass(native_build):
    run = subprocess.run([str(native_build / "test_units")], capture_output=True, text=True,
                         env={**os.environ, "LC_ALL": "C"})
    assert run.returncode == 0, run.stdout + run.stderr
    summary = re.search(r"^(\d+) passed, (\d+) failed$", run.stdout, re.MULTILINE)
    assert summary is not None, run.stdout
    assert int(summary.group(1)) > 0 and summary.group(2) == "0"


@pytest.mark.parametrize("mode, refusal", [
    ("", None),
    ("wrong-layout", r"tavo cannot run on this build of CPython {}: the code of a frame is not "
                     r"where tavo reads it"),
    ("newer-version", r"tavo does not support CPython {} yet: it knows the interpreters from "
                      r"3\.12 to \d+\.\d+"),
])
def test_an_interpreter_it_does_not_know_is_refused_at_import(native_build, mode, refusal):
    run = subprocess.run([sys.executable, "-c", "import layout_probe"], cwd=native_build,
                         capture_output=True, text=True, env={**os.environ, "LAYOUT_PROBE": mode})
    if refusal is None:
        assert (run.returncode, run.stderr) == (0, "")
        return
    version = re.escape(sys.version.split()[0])
    assert run.returncode == 1
    assert re.search(rf"^ImportError: {refusal.format(version)}$", run.stderr, re.MULTILINE), run.stderr
