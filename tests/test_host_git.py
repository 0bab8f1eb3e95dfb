import os
import shutil
import subprocess
import sys

import pytest

from tavo import git

GIT = shutil.which("git")


def commit_sha_seen_from(cwd, ceiling, **env_changes):
    """COMMIT_SHA as computed at import by a fresh interpreter started in ``cwd``
    (git looks for a repository up to ``ceiling``, not above)."""
    env = {**os.environ, "GIT_CEILING_DIRECTORIES": str(ceiling), **env_changes}
    env.pop("GIT_DIR", None)
    result = subprocess.run(
        [sys.executable, "-c", "import tavo.git; print(repr(tavo.git.COMMIT_SHA))"],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return eval(result.stdout)


def git_cmd(repo, *args):
    env = {**os.environ, "GIT_AUTHOR_NAME": "t", "GIT_AUTHOR_EMAIL": "t@example.invalid",
           "GIT_COMMITTER_NAME": "t", "GIT_COMMITTER_EMAIL": "t@example.invalid"}
    return subprocess.run([GIT, *args], cwd=repo, env=env, check=True, capture_output=True,
                          text=True).stdout.strip()


def test_outside_a_repository_there_is_no_commit(tmp_path):
    assert commit_sha_seen_from(tmp_path, tmp_path.parent) is None


def test_without_git_installed_there_is_no_commit_and_no_error(tmp_path):
    empty_bin = tmp_path / "bin"
    empty_bin.mkdir()
    assert commit_sha_seen_from(tmp_path, tmp_path.parent, PATH=str(empty_bin)) is None


@pytest.mark.skipif(GIT is None, reason="git is not installed")
def test_inside_a_repository_the_commit_is_found(tmp_path):
    repo = tmp_path / "repo"
    (repo / "sub").mkdir(parents=True)
    git_cmd(repo, "init", "-q")
    assert commit_sha_seen_from(repo, tmp_path) is None  # no commit yet
    (repo / "file.txt").write_text("hello\n")
    git_cmd(repo, "add", "file.txt")
    git_cmd(repo, "commit", "-q", "-m", "first")
    head = git_cmd(repo, "rev-parse", "HEAD")
    assert len(head) == 40
    assert commit_sha_seen_from(repo, tmp_path) == head
    assert commit_sha_seen_from(repo / "sub", tmp_path) == head  # from a subdirectory too
    assert git.current_commit_sha(repo) == head
