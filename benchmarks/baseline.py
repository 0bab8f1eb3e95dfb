"""tavo's host package as it was at another commit, to measure against in the same run.

The native engine is not rebuilt: the installed extension module is copied beside the
host package of the given commit, so what differs is the Python side alone (the
store, the commands, the pytest plugin). A process started with ``environment()``
imports that package instead of the installed one.

    with baseline.package("9f18518") as old:
        subprocess.run([sys.executable, "-m", "tavo", "traces"], env=old.environment())
"""

from __future__ import annotations

import contextlib
import io
import os
import pathlib
import subprocess
import tarfile
import tempfile
from collections.abc import Iterator

import tavo

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent


class Package:
    def __init__(self, root: pathlib.Path, commit: str) -> None:
        self.root = root  # holds the "tavo" folder
        self.commit = commit

    def environment(self, base: dict[str, str] | None = None) -> dict[str, str]:
        env = dict(os.environ if base is None else base)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(self.root),
                                                          env.get("PYTHONPATH")]))
        return env


@contextlib.contextmanager
def package(commit: str) -> Iterator[Package]:
    """The host package of ``commit`` (any name git knows), unpacked into a temporary
    folder with the installed engine beside it."""
    archive = subprocess.run(["git", "-C", str(REPOSITORY), "archive", commit, "python/tavo"],
                             check=True, capture_output=True).stdout
    full = subprocess.run(["git", "-C", str(REPOSITORY), "rev-parse", "--short", commit],
                          check=True, capture_output=True, text=True).stdout.strip()
    with tempfile.TemporaryDirectory(prefix="tavo-baseline-") as folder:
        with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
            tar.extractall(folder, filter="data")
        root = pathlib.Path(folder) / "python"
        installed = pathlib.Path(tavo.__file__).parent
        for engine in installed.glob("_tavo*.so"):
            (root / "tavo" / engine.name).write_bytes(engine.read_bytes())
        yield Package(root, full)
