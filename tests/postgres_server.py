"""A throwaway PostgreSQL server for the tests: Debian's postgresql package
(scripts/system-packages installs it), a cluster in a temporary folder,
listening on 127.0.0.1 with a free port, stopped and removed at the end."""

import contextlib
import glob
import itertools
import os
import pwd
import shutil
import socket
import subprocess
import tempfile

import pytest

# Trust authentication: a password given in a URL is accepted and ignored, so the
# tests can check that it is never shown.
USER = "tavo"


def _bindir():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(p.split("/")[-3].split(".")[0]))
    if not found:
        raise RuntimeError("no PostgreSQL server binaries in /usr/lib/postgresql/*/bin: "
                           "run scripts/system-packages")
    return os.path.dirname(found[-1])


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PostgresServer:
    """One cluster; start() and stop() may be called again (to test a server that goes)."""

    def __init__(self):
        self.bindir = _bindir()
        self.folder = tempfile.mkdtemp(prefix="tavo-pg-")
        self.data = os.path.join(self.folder, "data")
        # The server refuses to run as root: the cluster belongs to the postgres user.
        self.user = "postgres" if os.geteuid() == 0 else None
        if self.user:
            account = pwd.getpwnam(self.user)
            os.chown(self.folder, account.pw_uid, account.pw_gid)
        self.port = None
        self._names = itertools.count()
        self._run("initdb", "-D", self.data, "-U", USER, "-A", "trust", "--no-sync",
                  "-E", "UTF8", "--locale", "C")

    def _run(self, program, *args, check=True):
        return subprocess.run(self._as_owner([os.path.join(self.bindir, program), *args]),
                              cwd=self.folder, capture_output=True, text=True, check=check,
                              timeout=120)

    def _as_owner(self, command):
        # The server is not the code under test: no sanitizer runtime preloaded into it.
        return (["env", "-u", "LD_PRELOAD"] + (["runuser", "-u", self.user, "--"] if self.user
                                               else []) + command)

    def command(self, action):
        """The command line that starts or stops this server (on its current port)."""
        program = [os.path.join(self.bindir, "pg_ctl"), "-D", self.data, "-w"]
        if action == "stop":
            return self._as_owner(program + ["-m", "fast", "stop"])
        return self._as_owner(program + [
            "-l", os.path.join(self.folder, "log"), "-t", "60", "-o",
            f"-h 127.0.0.1 -p {self.port} -k {self.folder} -F", "start"])

    def start(self):
        """Start, on the port it had before if it ran already."""
        for attempt in range(5):  # another program may take the port between choosing and binding
            if self.port is None or attempt:
                self.port = _free_port()
            result = subprocess.run(self.command("start"), cwd=self.folder, capture_output=True,
                                    text=True, timeout=120)
            if result.returncode == 0:
                return
        with open(os.path.join(self.folder, "log")) as log:
            raise RuntimeError(f"PostgreSQL did not start: {result.stderr}{log.read()[-2000:]}")

    def stop(self, mode="fast"):
        self._run("pg_ctl", "-D", self.data, "-m", mode, "-w", "stop", check=False)

    def url(self, dbname="postgres", password=None):
        secret = f":{password}" if password else ""
        return f"postgresql://{USER}{secret}@127.0.0.1:{self.port}/{dbname}"

    def new_database(self):
        """A fresh, empty database; its URL."""
        import psycopg

        name = f"t{os.getpid()}_{next(self._names)}"
        with psycopg.connect(self.url(), autocommit=True) as conn:
            conn.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def remove(self):
        self.stop("immediate")
        shutil.rmtree(self.folder, ignore_errors=True)


@contextlib.contextmanager
def running_server():
    server = PostgresServer()
    try:
        server.start()
        yield server
    finally:
        server.remove()


@pytest.fixture(scope="session")
def postgres():
    with running_server() as server:
        yield server


@pytest.fixture
def postgres_url(postgres):
    """The URL of a fresh database on the session's server."""
    return postgres.new_database()


@pytest.fixture(params=["sqlite", "postgresql"])
def store_location(request, tmp_path):
    """A location of each kind where no trace was saved yet."""
    if request.param == "sqlite":
        return str(tmp_path / "traces.sqlite3")
    return request.getfixturevalue("postgres_url")
