"""Interruptions reach the program's own handlers under tavo, as without it.

interrupted_program.py is cut short again and again by a timed SIGINT or by a
SIGALRM whose handler raises, at whatever point the signal finds it (in a
call, a return, an unwinding exception whose __str__ tavo asks, a generator, a
with block). Its output, which names the handler that caught each
interruption, must be the same with and without tavo, on both engines.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("tavo._tavo", reason="tavo's native module is not built")

PROGRAM = Path(__file__).with_name("interrupted_program.py")
LONG = os.environ.get("TAVO_LONG_CHECKS") == "1"
ROUNDS = 40 if LONG else 20
SEEDS = range(1, 21) if LONG else range(1, 4)


def run(args, cwd):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "TAVO_"))}
    try:
        done = subprocess.run([sys.executable, *map(str, args)], cwd=cwd, env=env, capture_output=True,
                              text=True, timeout=120)
    except subprocess.TimeoutExpired as stuck:
        # An interruption that no handler saw leaves a round working for ever.
        pytest.fail(f"{' '.join(map(str, args))} did not end: {stuck.stdout!r}")
    return done.returncode, done.stdout


@pytest.mark.parametrize("engine", ["profile", "monitoring"])
def test_every_interruption_reaches_the_handler_it_reaches_without_tavo(tmp_path, engine):
    for seed in SEEDS:
        plain = run([PROGRAM, ROUNDS, seed], tmp_path)
        assert plain[1].endswith("done\n") and "WRONG" not in plain[1], plain
        traced = run(["-m", "tavo", "run", "--engine", engine, "--db", tmp_path / "t.sqlite3",
                      PROGRAM, ROUNDS, seed], tmp_path)
        assert traced == plain, f"seed {seed}"
