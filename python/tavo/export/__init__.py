"""Writers of a stored trace document in formats other programs read.

Each writer reads the document as a stream (traceformat.read_document) and writes its
output as it goes, so that a large trace is never held twice in memory:

    write(blob, out)   # blob: the stored MessagePack document; out: a text file
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TextIO

from tavo.export import chrome, document, speedscope

Writer = Callable[[bytes, TextIO], None]

FORMATS: dict[str, Writer] = {
    "chrome": chrome.write,
    "speedscope": speedscope.write,
    "json": document.write,
}
