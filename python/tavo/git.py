"""The git commit of the working directory, recorded in every trace."""

import re
import subprocess

_SHA = re.compile(r"[0-9a-f]{40}([0-9a-f]{24})?")


def current_commit_sha(cwd=None):
    """The commit checked out in ``cwd`` (default: the working directory), or
    None when git is missing, this is not a repository, or it has no commit."""
    try:
        result = subprocess.run(
            ["git", "rev-parse", "--verify", "--quiet", "HEAD"],
            cwd=cwd, capture_output=True, encoding="ascii", errors="replace", timeout=10,
            stdin=subprocess.DEVNULL,
        )
    except (OSError, subprocess.SubprocessError, ValueError):
        return None
    sha = result.stdout.strip()
    if result.returncode != 0 or not _SHA.fullmatch(sha):
        return None
    return sha


COMMIT_SHA = current_commit_sha()
