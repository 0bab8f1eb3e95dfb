"""Descriptions of the plugins the native profiler watches for.

Only data lives here: this module is read once, before profiling starts. The
callables a description points to live in tavo's own files (tavo.utils), which
the native filter never records.
"""

from tavo.utils import pytest_is_session_test, pytest_session_context, pytest_test_name

# Each run of pytest's per-test function is one test: its call marks the start
# and its return the end (where, with one trace per test, the trace is saved).
# Only the tests of the session that enabled tavo count (config["pytest_config"]).
PYTEST_TEST_BOUNDARY = {
    "co_names": ("runtestprotocol",),
    "path_fragment": "_pytest/runner.py",
    "call_type": "start_test",
    "return_type": "end_test",
    "events": ["call", "return"],
    "process": pytest_test_name,
    "build_context": pytest_session_context,
    "call": pytest_is_session_test,
}


def load_plugin_data(config):
    """The plugin descriptions enabled by ``config``.

    ``config["pytest"] = True`` turns on the pytest test-boundary plugin, for
    the tests of the pytest configuration ``config["pytest_config"]`` if given."""
    plugins = []
    if config.get("pytest") is True:
        plugins.append(dict(PYTEST_TEST_BOUNDARY))
    return plugins
