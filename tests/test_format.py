"""The native sources stay as clang-format writes them."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def clang_format():
    local = pathlib.Path(sys.prefix) / "bin" / "clang-format"
    return str(local) if local.exists() else shutil.which("clang-format")


@pytest.mark.skipif(clang_format() is None, reason="clang-format is not installed")
def test_native_sources_are_clang_formatted():
    sources = sorted(str(p) for p in [*ROOT.glob("src/*/*.[ch]pp"), *ROOT.glob("tests/native/*.cpp")])
    assert len(sources) > 20
    result = subprocess.run([clang_format(), "--dry-run", "-Werror", *sources],
                            cwd=ROOT, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[-4000:]
