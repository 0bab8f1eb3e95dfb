"""tavo diff: the first call where two runs part, on generated runs with one known
difference, and on the example project whose test fails after one constant changes."""

import copy
import os
import pathlib
import shutil
import subprocess
import sys

from hypothesis import given, settings
from hypothesis import strategies as st

import trace_gen
from tavo.divergence import divergences

from test_cli import tavo

EXAMPLE = pathlib.Path(__file__).parent.parent / "examples" / "prices"
CHANGES = ("arguments", "returned", "raised", "function", "only in B")


def change(node, how):
    """Change one call of a run as ``how`` says; the divergence it makes: (kind, name)."""
    if how == "arguments":
        node.arguments = {"n": {"changed": 0}}  # no generated value: its keys are shorter
    elif how == "returned" and node.raised is None:
        node.returned = {"changed": 0}
    elif how in ("returned", "raised"):
        node.raised = None if node.raised else ("ValueError", "changed")
        return "raised", node.name
    elif how == "function":
        node.name = "app.changed"
        return "function", "app.parse"  # the name in run A is reported
    else:
        node.children.insert(0, trace_gen.Node("app.extra", {"n": 1}, 2))
        return "only in B", "app.extra"
    return how, node.name


@settings(max_examples=200, deadline=None)
@given(trace_gen.runs, st.data())
def test_the_first_divergence_is_the_changed_call(run, data):
    calls = trace_gen.calls(run)
    a = trace_gen.document(run, seed=1)
    assert list(divergences(a, trace_gen.document(run, seed=2))) == []  # ids, times, addresses
    if not calls:
        return
    changed = copy.deepcopy(run)
    index = data.draw(st.integers(0, len(calls) - 1))
    node = trace_gen.calls(changed)[index]
    how = data.draw(st.sampled_from(CHANGES))
    if how == "function":
        calls[index].name = node.name = "app.parse"  # so that run A's name is known
        a = trace_gen.document(run, seed=1)
    kind, name = change(node, how)
    first = next(divergences(a, trace_gen.document(changed, seed=3)))
    if how == "only in B" and first.a.call is not None:  # where run A makes another call
        kind, name = "function", first.a.call.name
        assert first.b.call.name == "app.extra"
    assert (first.kind, first.function) == (kind, name)
    ancestors = [n.name for n in calls if _holds(n, calls[index])]
    if how == "only in B":  # a call the changed one made
        ancestors.append(calls[index].name)
    assert [call.name for call in first.path] == ancestors


def _holds(node, inner):
    return any(child is inner or _holds(child, inner) for child in node.children)


def test_a_changed_constant_is_found_where_it_changes_a_value_not_at_the_assertion(tmp_path):
    project = tmp_path / "prices"
    shutil.copytree(EXAMPLE, project)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "TAVO_"))}
    pytest = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--tavo"]
    assert subprocess.run(pytest, cwd=project, env=env, capture_output=True).returncode == 0
    source = (project / "prices.py").read_text()
    (project / "prices.py").write_text(source.replace("TAX_RATE = 0.20", "TAX_RATE = 0.21"))
    assert subprocess.run(pytest, cwd=project, env=env, capture_output=True).returncode == 1
    result = tavo("diff", "--label", "test_prices.py::test_invoice_total", cwd=project)
    assert result.returncode == 1, result.stderr
    lines = result.stdout.splitlines()
    assert "first difference: prices.tax returned another value" in lines[3], result.stdout
    assert ["returned", "4.0", "|", "returned", "4.2"] in [line.split() for line in lines]
