"""Makes store_v2.sql, the SQL text of a store written by tavo as it was before trace rows held
their facts in columns of their own (schema version 2: the facts appended to labels,
outcomes set by a second transaction, documents stored in the rows that describe them).
The upgrade tests open it. Run it once with that tavo installed:

    python tests/data/make_store_v2.py tests/data/store_v2.sql
"""

import os
import pathlib
import sqlite3
import subprocess
import sys
import tempfile

APP = '''
import multiprocessing, sys

def scale(value, factor):
    return value * factor

def total(values):
    return sum(scale(v, 3) for v in values)

if __name__ == "__main__":
    if "--child" in sys.argv:
        multiprocessing.set_start_method("fork")
        with multiprocessing.Pool(1) as pool:
            print(pool.map(total, [[1, 2]]))
    else:
        print(total(range(int(sys.argv[1]))))
'''

TESTS = '''
from app import total

def test_total():
    assert total([1, 2]) == 9

def test_total_fails():
    assert total([1]) == 4
'''


def main() -> None:
    out = pathlib.Path(sys.argv[1]).resolve()
    with tempfile.TemporaryDirectory() as work:
        folder = pathlib.Path(work)
        (folder / "app.py").write_text(APP)
        (folder / "test_app.py").write_text(TESTS)
        store = folder / "store.sqlite3"
        tavo = [sys.executable, "-m", "tavo"]
        env = {**os.environ, "TAVO_DB": str(store)}
        run = lambda *words: subprocess.run(words, cwd=folder, env=env, check=False,
                                            capture_output=True)
        run(*tavo, "run", "app.py", "5")
        run(*tavo, "run", "app.py", "0", "--child")
        run(*tavo, "run", "--buffer-budget", "4K", "app.py", "400")
        run(sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--tavo", "test_app.py")
        run(sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-n", "1", "--tavo",
            "test_app.py")
        conn = sqlite3.connect(store)
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        out.write_text("\n".join([f"PRAGMA user_version = {version};", *conn.iterdump(), ""]))
        conn.close()


if __name__ == "__main__":
    main()
