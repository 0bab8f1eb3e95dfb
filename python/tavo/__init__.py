"""tavo: a tracing profiler for Python.

Records every call and return of your code, with arguments, locals and return
values, as MessagePack trace documents stored in SQLite or PostgreSQL.
"""

from tavo.profiler import Profiler, profile
from tavo.version import __version__

__all__ = ["Profiler", "profile", "__version__"]
