"""tavo's settings: what to record and where to save it.

Each setting comes from the first of: a command-line option, an environment variable
(TAVO_DB, TAVO_INCLUDE, ...: handy in CI), the ``[tool.tavo]`` table of the project's
pyproject.toml (the first one found from the working directory upwards), or the
default. ``load()`` returns the effective values with where each came from; a bad
value is a ConfigError whose message is one line naming the key and where it was set.

    [tool.tavo]
    db = "traces/tavo.sqlite3"      # relative to the pyproject.toml's folder
    include = ["/vendor/ourlib/"]   # path fragments recorded even in libraries
    ignore = ["/generated/"]        # path fragments never recorded
    threading = true                # also record the threads the program starts
    children = true                 # also record its child Python processes
    lightweight-values = false      # short value descriptions
    busy-timeout = 60               # seconds to wait for a locked store
    values = "safe"                 # or "repr": describe objects by their repr()
    value-budget = 65536            # most encoded bytes per recorded value (default
                                    # 65536, and 512 for each test under pytest)
    buffer-budget = "256M"          # most bytes of one trace's records (K, M, G: binary;
                                    # default 256M, and 8M for each test under pytest)
    engine = "monitoring"           # or "profile": where events come from
"""

from __future__ import annotations

import dataclasses
import os
import pathlib
import sys
import tomllib
from collections.abc import Callable, Mapping
from typing import Any

from tavo.profiler import CHILD_ENV, DEFAULT_BUFFER_BUDGET, MAX_BUSY_TIMEOUT
from tavo.profiler import DEFAULT_DB_PATH as DEFAULT_DB
from tavo.serialize import DEFAULT_BUDGET, MIN_BUDGET, VALUE_MODES

ENGINES = ("monitoring", "profile")
TABLE = "[tool.tavo]"
COMMAND_LINE = "command line"
DEFAULT = "default"


class ConfigError(Exception):
    """A setting with a bad value, or a configuration file that cannot be read."""


def _as_bool(value: Any, text_allowed: bool) -> bool:
    if isinstance(value, bool):
        return value
    if text_allowed and isinstance(value, str):
        word = value.strip().lower()
        if word in ("1", "true", "yes", "on"):
            return True
        if word in ("0", "false", "no", "off"):
            return False
    raise ValueError("must be true or false" + (" (or 1/0, yes/no, on/off)" if text_allowed else ""))


def _as_fragments(value: Any, text_allowed: bool) -> list[str]:
    if text_allowed and isinstance(value, str):
        # An environment variable: comma-separated fragments.
        return [part.strip() for part in value.split(",") if part.strip()]
    if isinstance(value, (list, tuple)) and all(isinstance(v, str) and v for v in value):
        return list(value)
    raise ValueError("must be a list of non-empty path fragments"
                     + (" (comma-separated)" if text_allowed else ""))


def _as_seconds(value: Any, text_allowed: bool) -> int:
    if text_allowed and isinstance(value, str) and value.strip().isdigit():
        value = int(value.strip())
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= MAX_BUSY_TIMEOUT:
        return value
    raise ValueError(f"must be a whole number of seconds from 0 to {MAX_BUSY_TIMEOUT}")


def _as_db(value: Any, text_allowed: bool) -> str:
    if isinstance(value, str) and value.strip():
        return value
    raise ValueError("must be a database path or URL")


def _as_engine(value: Any, text_allowed: bool) -> str:
    if isinstance(value, str) and value in ENGINES:
        return value
    raise ValueError(f"must be one of: {', '.join(ENGINES)}")


def _as_value_mode(value: Any, text_allowed: bool) -> str:
    if isinstance(value, str) and value in VALUE_MODES:
        return value
    raise ValueError(f"must be one of: {', '.join(VALUE_MODES)}")


def _as_value_budget(value: Any, text_allowed: bool) -> int:
    if text_allowed and isinstance(value, str) and value.strip().isdigit():
        value = int(value.strip())
    if isinstance(value, int) and not isinstance(value, bool) and MIN_BUDGET <= value <= 0xFFFFFFFF:
        return value
    raise ValueError(f"must be a whole number of bytes from {MIN_BUDGET} to {0xFFFFFFFF}")


_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def _as_buffer_budget(value: Any, text_allowed: bool) -> int:
    if isinstance(value, str):  # "512M": also in [tool.tavo], where a number alone is long
        text = value.strip().upper().removesuffix("IB").removesuffix("B")
        unit = text[-1:] if text[-1:] in _SIZE_UNITS else ""
        number = text[:len(text) - len(unit)].strip()
        if number.isdigit():
            value = int(number) * _SIZE_UNITS[unit]
    if isinstance(value, int) and not isinstance(value, bool) and 0 < value < 1 << 64:
        return value
    raise ValueError("must be a positive number of bytes, optionally with K, M or G (1024-based)")


def parse_buffer_budget(text: str) -> int:
    """A buffer budget given as text ("268435456", "256M")."""
    return _as_buffer_budget(text, True)


@dataclasses.dataclass(frozen=True)
class Key:
    name: str  # as written in [tool.tavo]
    parse: Callable[[Any, bool], Any]
    default: Any

    @property
    def env(self) -> str:
        return "TAVO_" + self.name.upper().replace("-", "_")

    @property
    def attr(self) -> str:
        return self.name.replace("-", "_")


KEYS = (
    Key("db", _as_db, DEFAULT_DB),
    Key("engine", _as_engine, "monitoring"),
    Key("include", _as_fragments, []),
    Key("ignore", _as_fragments, []),
    Key("threading", _as_bool, True),
    Key("children", _as_bool, True),
    Key("lightweight-values", _as_bool, False),
    Key("busy-timeout", _as_seconds, 60),
    Key("values", _as_value_mode, "safe"),
    Key("value-budget", _as_value_budget, DEFAULT_BUDGET),
    Key("buffer-budget", _as_buffer_budget, DEFAULT_BUFFER_BUDGET),
)


@dataclasses.dataclass
class Settings:
    """The effective settings: ``values`` and ``sources`` by key name, the
    pyproject.toml that was read (None when there was none), and the TAVO_*
    variables of the environment that name no setting."""

    values: dict[str, Any]
    sources: dict[str, str]
    pyproject: pathlib.Path | None
    unknown_variables: list[str] = dataclasses.field(default_factory=list)

    def __getitem__(self, name: str) -> Any:
        return self.values[name]

    def profiler_config(self) -> dict[str, Any]:
        """These settings as a Profiler's ``config``."""
        return {
            "filters": {"include_frames": list(self["include"]),
                        "ignore_frames": list(self["ignore"])},
            "sqlite_busy_timeout": self["busy-timeout"],
            "threading": self["threading"],
            "lightweight_repr": self["lightweight-values"],
            "children": self["children"],
            "values": self["values"],
            "value_budget": self["value-budget"],
            "buffer_budget": self["buffer-budget"],
            "engine": self["engine"],
        }


# TAVO_* variables that are not settings: how a profiled program hands its settings to
# its children, and the switches of tavo's own build and test scripts.
OTHER_VARIABLES = frozenset({CHILD_ENV, "TAVO_WERROR", "TAVO_SANITIZE", "TAVO_LONG_CHECKS",
                             "TAVO_CHROOT", "TAVO_PYTHONS", "TAVO_TEST_NEW_LIMIT"})
_warned_variables: set[str] = set()  # each unknown variable is told once per process


def unknown_variables(environ: Mapping[str, str]) -> list[str]:
    """The TAVO_* variables of ``environ`` that tavo does not know: most likely misspelt
    settings, which would otherwise be ignored without a word."""
    known = {key.env for key in KEYS} | OTHER_VARIABLES
    return sorted(name for name in environ if name.startswith("TAVO_") and name not in known)


def unknown_variables_warning(names: list[str]) -> str:
    """One line naming unknown TAVO_* variables and the settings' variables."""
    return (f"ignoring unknown environment variable{'s' if len(names) > 1 else ''} "
            f"{', '.join(names)} (known: {', '.join(sorted(key.env for key in KEYS))})")


def find_pyproject(start: str | os.PathLike[str] | None = None) -> pathlib.Path | None:
    """The first pyproject.toml in ``start`` (default: the working directory) or
    one of its parents."""
    folder = pathlib.Path(start if start is not None else os.getcwd()).resolve()
    for candidate in (folder, *folder.parents):
        path = candidate / "pyproject.toml"
        if path.is_file():
            return path
    return None


def read_table(path: pathlib.Path) -> dict[str, Any]:
    """The [tool.tavo] table of a pyproject.toml (empty when it has none)."""
    try:
        with open(path, "rb") as file:
            document = tomllib.load(file)
    except (OSError, tomllib.TOMLDecodeError, UnicodeDecodeError) as exc:
        raise ConfigError(f"cannot read {path}: {exc}") from None
    except RecursionError:
        raise ConfigError(f"cannot read {path}: its values are nested too deeply") from None
    table = document.get("tool", {}).get("tavo", {}) if isinstance(document.get("tool"), dict) else {}
    if not isinstance(table, dict):
        raise ConfigError(f"{TABLE} in {path} must be a table")
    known = {key.name for key in KEYS}
    for name in table:
        if name not in known:
            raise ConfigError(f"unknown key {name!r} in {TABLE} of {path}"
                              f" (known: {', '.join(sorted(known))})")
    return table


def _is_url(db: str) -> bool:
    return "://" in db


def load(options: Mapping[str, Any] | None = None, *, environ: Mapping[str, str] | None = None,
         cwd: str | os.PathLike[str] | None = None, warn: bool = True) -> Settings:
    """The effective settings. ``options`` holds the command line's values by key
    name (None for an option not given); ``environ`` defaults to os.environ.
    Unknown TAVO_* variables are listed in ``Settings.unknown_variables`` and, with
    ``warn``, told on stderr (once per process)."""
    options = options or {}
    environ = os.environ if environ is None else environ
    unknown = unknown_variables(environ)
    if warn and not _warned_variables.issuperset(unknown):
        _warned_variables.update(unknown)
        print(f"tavo: {unknown_variables_warning(unknown)}", file=sys.stderr)
    pyproject = find_pyproject(cwd)
    table = read_table(pyproject) if pyproject is not None else {}
    values: dict[str, Any] = {}
    sources: dict[str, str] = {}
    for key in KEYS:
        if options.get(key.name) is not None:
            where, raw, text_allowed = COMMAND_LINE, options[key.name], False
        elif environ.get(key.env) is not None:
            where, raw, text_allowed = f"environment variable {key.env}", environ[key.env], True
        elif key.name in table:
            where, raw, text_allowed = f"{TABLE} of {pyproject}", table[key.name], False
        else:
            values[key.name], sources[key.name] = key.default, DEFAULT
            continue
        try:
            value = key.parse(raw, text_allowed)
        except ValueError as exc:
            raise ConfigError(f"bad value {raw!r} for {key.name} in {where}: {exc}") from None
        if key.name == "db" and pyproject is not None and where != COMMAND_LINE \
                and not where.startswith("environment") and not _is_url(value):
            # A path written in the file is relative to the file's folder.
            value = str(pyproject.parent / value)
        values[key.name], sources[key.name] = value, where
    return Settings(values, sources, pyproject, unknown)
