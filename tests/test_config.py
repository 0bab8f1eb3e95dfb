"""Settings: command line, then environment, then [tool.tavo] in pyproject.toml, then
defaults; `tavo config` shows each value's source; a bad value is one line and a
non-zero exit."""

import json
import os
import subprocess
import sys

import pytest

from conftest import decode
from tavo import config
from tavo.db import list_traces, load_traces

PYPROJECT = """\
[project]
name = "sample"

[tool.tavo]
db = "store/t.sqlite3"
include = ["/vendor/"]
ignore = ["/generated/"]
threading = false
children = false
lightweight-values = true
busy-timeout = 7
engine = "profile"
values = "repr"
value-budget = 4096
"""


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "TAVO_"))}
    return {**env, **extra}


def tavo(*args, cwd, env=None):
    return subprocess.run([sys.executable, "-m", "tavo", *map(str, args)], cwd=cwd,
                          env=env or clean_env(), capture_output=True, text=True, timeout=300)


@pytest.fixture
def project(tmp_path):
    (tmp_path / "pyproject.toml").write_text(PYPROJECT)
    (tmp_path / "src" / "deep").mkdir(parents=True)
    return tmp_path


def test_each_setting_comes_from_the_first_source_that_has_it(project):
    cwd = project / "src" / "deep"  # found from the working directory upwards
    where = f"[tool.tavo] of {project / 'pyproject.toml'}"
    from_file = config.load({}, environ={}, cwd=cwd)
    assert from_file.pyproject == project / "pyproject.toml"
    assert from_file.values == {
        "db": str(project / "store" / "t.sqlite3"),  # relative to the file's folder
        "engine": "profile", "include": ["/vendor/"], "ignore": ["/generated/"],
        "threading": False, "children": False, "lightweight-values": True, "busy-timeout": 7,
        "values": "repr", "value-budget": 4096, "buffer-budget": 256 << 20}
    assert set(from_file.sources.values()) - {"default"} == {where}

    environ = {"TAVO_DB": "env.sqlite3", "TAVO_IGNORE": "/a/, /b/", "TAVO_THREADING": "yes",
               "TAVO_BUSY_TIMEOUT": "3"}
    options = {"db": "cli.sqlite3", "include": ["/cli/"], "threading": None, "children": True}
    mixed = config.load(options, environ=environ, cwd=cwd)
    assert mixed.values["db"] == "cli.sqlite3" and mixed.sources["db"] == "command line"
    assert mixed.values["include"] == ["/cli/"] and mixed.sources["include"] == "command line"
    assert mixed.values["children"] is True and mixed.sources["children"] == "command line"
    assert mixed.values["ignore"] == ["/a/", "/b/"]
    assert mixed.sources["ignore"] == "environment variable TAVO_IGNORE"
    assert mixed.values["threading"] is True and mixed.values["busy-timeout"] == 3
    assert mixed.values["lightweight-values"] is True and mixed.sources["lightweight-values"] == where
    assert mixed.profiler_config() == {
        "filters": {"include_frames": ["/cli/"], "ignore_frames": ["/a/", "/b/"]},
        "sqlite_busy_timeout": 3, "threading": True, "lightweight_repr": True, "children": True,
        "values": "repr", "value_budget": 4096, "buffer_budget": 256 << 20, "engine": "profile"}

    (project / "src" / "pyproject.toml").write_text("[project]\nname = 'inner'\n")
    defaults = config.load({}, environ={}, cwd=cwd)  # the nearest file has no [tool.tavo]
    assert defaults.pyproject == project / "src" / "pyproject.toml"
    assert defaults.values == {key.name: key.default for key in config.KEYS}
    assert set(defaults.sources.values()) == {"default"}


def test_tavo_config_prints_each_value_and_its_source(project):
    result = tavo("config", "--no-children", "--json", cwd=project / "src",
                  env=clean_env(TAVO_INCLUDE="/x/"))
    assert result.returncode == 0, result.stderr
    shown = json.loads(result.stdout)
    assert shown["pyproject"] == str(project / "pyproject.toml")
    assert shown["settings"]["include"] == ["/x/"] and shown["settings"]["children"] is False
    assert shown["sources"]["include"] == "environment variable TAVO_INCLUDE"
    assert shown["sources"]["children"] == "command line"
    assert shown["sources"]["busy-timeout"] == f"[tool.tavo] of {project / 'pyproject.toml'}"

    table = tavo("config", cwd=project)
    lines = table.stdout.splitlines()
    assert lines[0] == f"pyproject: {project / 'pyproject.toml'}"
    assert any(line.split()[:2] == ["busy-timeout", "7"] and line.endswith("pyproject.toml")
               for line in lines), lines


BAD = [
    ("threading", 'threading = "sometimes"', {}),
    ("busy-timeout", "busy-timeout = -1", {}),
    ("include", 'include = "/one/"', {}),
    ("engine", 'engine = "other"', {}),
    ("nonsense", "nonsense = 1", {}),
    ("busy-timeout", "", {"TAVO_BUSY_TIMEOUT": "soon"}),
    ("children", "", {"TAVO_CHILDREN": "maybe"}),
    ("busy-timeout", "busy-timeout = 100000000000000000000", {}),
    ("busy-timeout", "", {"TAVO_BUSY_TIMEOUT": "100000000000000000000"}),
]


@pytest.mark.parametrize("key, line, environ", BAD)
@pytest.mark.parametrize("command", [("config",), ("traces",), ("run", "script.py")])
def test_a_bad_value_is_one_line_naming_the_key_and_where(tmp_path, key, line, environ, command):
    (tmp_path / "pyproject.toml").write_text(f"[tool.tavo]\n{line}\n")
    (tmp_path / "script.py").write_text("print('ran')\n")
    result = tavo(*command, cwd=tmp_path, env=clean_env(**environ))
    assert result.returncode == 2
    assert "ran" not in result.stdout
    [message] = result.stderr.splitlines()
    assert key in message
    assert (str(tmp_path / "pyproject.toml") in message if not environ
            else f"environment variable {next(iter(environ))}" in message), message


UNREADABLE = {"bad toml": b"[tool.tavo\n", "not utf-8": b'[tool.other]\nname = "\xff\xfe"\n',
              "too deep": b"[tool.other]\na = " + b"[" * 5000 + b"]" * 5000 + b"\n"}


@pytest.mark.parametrize("content", UNREADABLE.values(), ids=UNREADABLE.keys())
@pytest.mark.parametrize("command", [("config",), ("traces",), ("run", "script.py"), ("pytest",)])
def test_unreadable_pyproject_is_one_line(tmp_path, content, command):
    (tmp_path / "pyproject.toml").write_bytes(content)
    (tmp_path / "script.py").write_text("print('ran')\n")
    if command == ("pytest",):
        # pytest stops at its own file below; tavo reads the nearest pyproject.toml.
        (tmp_path / "sub").mkdir()
        (tmp_path / "sub" / "pytest.ini").write_text("[pytest]\n")
        (tmp_path / "sub" / "test_a.py").write_text("def test_a():\n    pass\n")
        result = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider",
                                 "--tavo", "test_a.py"], cwd=tmp_path / "sub", env=clean_env(),
                                capture_output=True, text=True, timeout=300)
        assert result.returncode == pytest.ExitCode.USAGE_ERROR
        assert "Traceback" not in result.stderr
        assert f"tavo: cannot read {tmp_path / 'pyproject.toml'}" in result.stderr, result.stderr
        return
    result = tavo(*command, cwd=tmp_path)
    assert result.returncode == 2 and "ran" not in result.stdout
    [message] = result.stderr.splitlines()
    assert str(tmp_path / "pyproject.toml") in message


@pytest.mark.parametrize("runner", ["config", "pytest"])
def test_an_unknown_variable_is_told_once(tmp_path, runner):
    (tmp_path / "test_a.py").write_text("def test_a():\n    pass\n")
    env = clean_env(TAVO_THREADNIG="0", TAVO_LONG_CHECKS="1")  # a misspelling, and one of ours
    if runner == "config":
        result = tavo("config", cwd=tmp_path, env=env)
        output = result.stderr
    else:
        result = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider",
                                 "--tavo", "test_a.py"], cwd=tmp_path, env=env,
                                capture_output=True, text=True, timeout=300)
        output = result.stdout + result.stderr
    assert result.returncode == 0, output
    [line] = [line for line in output.splitlines() if "TAVO_THREADNIG" in line]
    assert "TAVO_THREADING" in line and "TAVO_LONG_CHECKS" not in line


def test_pytest_plugin_reports_a_bad_value_as_a_usage_error(tmp_path):
    (tmp_path / "pyproject.toml").write_text("[tool.tavo]\nthreading = 3\n")
    (tmp_path / "test_a.py").write_text("def test_a():\n    pass\n")
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--tavo",
                             "test_a.py"], cwd=tmp_path, env=clean_env(), capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == pytest.ExitCode.USAGE_ERROR
    assert f"threading in [tool.tavo] of {tmp_path / 'pyproject.toml'}" in result.stderr
    assert not (tmp_path / "tavo.sqlite3").exists()


# What to record, set the same way for `tavo run` and `pytest --tavo`: helper() runs once
# in the main thread (n=1) and once in a thread it starts (n=2), from a file under
# /vendored/.
PROGRAM = """\
import threading

from vendored.helper import helper


def main():
    thread = threading.Thread(target=helper, args=(2,))
    thread.start()
    thread.join()
    helper(1)
"""
RECORDING = [
    ("run", [], {}, "", {1, 2}),
    ("run", ["--no-threading"], {}, "", {1}),
    ("run", ["--threading"], {}, "threading = false", {1, 2}),
    ("run", ["--ignore", "/vendored/"], {}, "", set()),
    ("run", [], {"TAVO_IGNORE": "/other/,/vendored/"}, "", set()),
    ("run", [], {}, 'ignore = ["/vendored/"]', set()),
    ("run", ["--include", "/vendored/"], {}, 'ignore = ["/vendored/"]', {1, 2}),
    ("pytest", [], {}, "", {1, 2}),
    ("pytest", ["--tavo-no-threading"], {}, "", {1}),
    ("pytest", [], {"TAVO_THREADING": "0"}, "", {1}),
    ("pytest", ["--tavo-ignore", "/vendored/"], {}, "", set()),
    ("pytest", [], {}, 'ignore = ["/vendored/"]', set()),
]


@pytest.mark.parametrize("runner, args, environ, line, recorded", RECORDING)
def test_settings_decide_what_is_recorded(tmp_path, runner, args, environ, line, recorded):
    pytest.importorskip("tavo._tavo", reason="tavo's native module is not built")
    from tavo import db

    (tmp_path / "pyproject.toml").write_text(f"[tool.tavo]\n{line}\n")
    (tmp_path / "vendored").mkdir()
    (tmp_path / "vendored" / "helper.py").write_text("def helper(n):\n    return n + 1\n")
    (tmp_path / "prog.py").write_text(PROGRAM + "\n\nmain()\n")
    (tmp_path / "test_prog.py").write_text(PROGRAM + "\n\ndef test_main():\n    main()\n")
    command = (["-m", "tavo", "run", *args, "prog.py"] if runner == "run" else
               ["-m", "pytest", "-p", "no:cacheprovider", "--tavo", *args, "test_prog.py"])
    result = subprocess.run([sys.executable, *command], cwd=tmp_path,
                            env=clean_env(PYTHONPATH=str(tmp_path), **environ),
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    seen = set()
    for trace in db.list_traces(tmp_path / "tavo.sqlite3"):
        for _, blob in db.load_traces(tmp_path / "tavo.sqlite3", trace["trace_id"]):
            document = db.decode_document(blob)
            for records in [document["frames_of_interest"], *document["frames"].values()]:
                seen |= {r["locals"]["n"] for r in records
                         if r.get("co_name") == "helper" and r.get("event") == "call"}
    assert seen == recorded


@pytest.mark.parametrize("where", ["run", "pytest", "pyproject", "environment"])
def test_the_buffer_budget_is_set_by_each_option_and_named_when_it_is_met(
        tmp_path, monkeypatch, where):
    (tmp_path / "prog.py").write_text(
        "def f(x):\n    return x\n\ndef run():\n    for i in range(300):\n        f(list(range(50)))\n"
        "\nif __name__ == '__main__':\n    run()\n")
    (tmp_path / "test_prog.py").write_text("import prog\n\ndef test_it():\n    prog.run()\n")
    env = {**os.environ, "PYTHONPATH": str(tmp_path)}
    env.pop("TAVO_BUFFER_BUDGET", None)
    bin_dir = os.path.dirname(sys.executable)
    command = {"run": [f"{bin_dir}/tavo", "run", "--buffer-budget", "20K", "prog.py"],
               "pytest": [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          "--tavo", "--tavo-buffer-budget", "20K", "test_prog.py"]}
    if where == "pyproject":
        (tmp_path / "pyproject.toml").write_text('[tool.tavo]\nbuffer-budget = "20K"\n')
    elif where == "environment":
        env["TAVO_BUFFER_BUDGET"] = "20480"
    result = subprocess.run(command.get(where, command["run"][:2] + ["prog.py"]), cwd=tmp_path,
                            env=env, capture_output=True, text=True, timeout=120)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    # pytest sums its traces' losses, and says in how many of them.
    told = " in 1 trace: that trace" if where == "pytest" else ": the trace"
    assert f"records dropped{told} neared and reached its buffer budget of 20 KiB" in output
    option = "--tavo-buffer-budget" if where == "pytest" else "--buffer-budget"
    assert (f"(raise it with {option}, buffer-budget in [tool.tavo] or TAVO_BUFFER_BUDGET)"
            in output)


@pytest.mark.parametrize("variables, said, whole", [
    ({}, "of 8 MiB, the default for a test, past which", False),
    ({"TAVO_BUFFER_BUDGET": "20480", "TAVO_VALUE_BUDGET": "65536"}, "of 20 KiB, past which", True)])
def test_a_test_gets_smaller_budgets_unless_they_are_set(tmp_path, variables, said, whole):
    (tmp_path / "test_loop.py").write_text(
        "def f(text):\n    return text\n\ndef test_loop():\n    f(list(range(4000)))\n"
        "    for _ in range(100_000):\n        f('x' * 300)\n")
    env = {**os.environ, "PYTHONPATH": str(tmp_path), **variables}
    for name in {"TAVO_BUFFER_BUDGET", "TAVO_VALUE_BUDGET"} - set(variables):
        env.pop(name, None)
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                             "--tavo", "--tavo-db=t.sqlite3", "test_loop.py"], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    told = f"records dropped in 1 trace: that trace neared and reached its buffer budget {said}"
    assert told in result.stdout
    # The big value is cut at a test's value budget (512 bytes) unless one is set.
    [summary] = list_traces(tmp_path / "t.sqlite3")
    [(_, blob)] = load_traces(tmp_path / "t.sqlite3", summary["trace_id"])
    first = next(r for r in decode(blob)["frames_of_interest"] if r.get("co_name") == "f")
    assert (first["locals"]["text"] == list(range(4000))) == whole
