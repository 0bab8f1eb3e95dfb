"""How a document is kept in a store: compressed with zstd at level 3, which takes the
repeated keys, names and values of a trace's records down 20 to 50 times at over a
gigabyte a second (4 to 6% smaller than level 1 on test suites' traces, at about the
same speed; higher levels cost several times the time). A reader always gets the
document back as the engine wrote it; rows stored before compression (encoding None) are
read as they are."""

from __future__ import annotations

import io
import sys

if sys.version_info >= (3, 14):
    from compression import zstd
else:
    from backports import zstd

ZSTD = "zstd"
_LEVEL = 3
_PIECE = 4 << 20  # bytes decompressed at a time


class UnknownEncoding(ValueError):
    """A stored document is encoded in a way this tavo does not know."""


def encode(document: bytes) -> tuple[bytes, str]:
    """The bytes to store for ``document`` and the name of their encoding."""
    return zstd.compress(document, level=_LEVEL), ZSTD


def decode(stored: bytes, encoding: str | None) -> bytes:
    """The document stored as ``stored`` in ``encoding``."""
    if encoding is None:
        return stored
    if encoding == ZSTD:
        return _decompress(stored)
    raise UnknownEncoding(f"a document is stored in an encoding this tavo does not know "
                          f"({encoding!r}): a newer tavo wrote it")


def _decompress(stored: bytes) -> bytes:
    """The one frame that ``encode`` writes, decompressed a piece at a time into one
    buffer: decompressing it in one call holds the document twice as it ends, hundreds
    of MiB more for a large trace."""
    decompressor = zstd.ZstdDecompressor()
    out = io.BytesIO()
    data = stored
    while not decompressor.eof:
        piece = decompressor.decompress(data, max_length=_PIECE)
        data = b""
        if not piece and decompressor.needs_input:
            raise zstd.ZstdError("the stored document ends before its compressed data does")
        out.write(piece)
    if decompressor.unused_data:  # more than one frame: not written by this tavo
        return zstd.decompress(stored)
    return out.getvalue()
