"""How a document is kept in a store: packed by the engine (its frame ids and record
timestamps, which a compressor cannot shrink, written in fewer bytes; see
``_tavo.pack_document_block``) a block of 4 MiB at a time, then compressed with zstd at
level 3, which takes the repeated keys, names and values of a trace's records down 20 to
50 times at over a gigabyte a second (4 to 6% smaller than level 1 on test suites'
traces, at about the same speed; higher levels cost several times the time). Packing
takes another 25 to 40% off test suites' traces: the frame ids were nearly half of what
a suite of many short calls stored.

A reader always gets the document back as the engine wrote it, unpacked a block at a
time as it is decompressed; rows stored compressed but not packed (encoding "zstd") and
before compression (encoding None) are read as they are.

A packed document is zstd's frame of its blocks, each the packed block after its length
(4 bytes, little-endian)."""

from __future__ import annotations

import io
import sys
from collections.abc import Iterator
from typing import Any

if sys.version_info >= (3, 14):
    from compression import zstd
else:
    from backports import zstd

ZSTD = "zstd"
PACKED = "zstd-packed"
_LEVEL = 3
_PIECE = 4 << 20  # bytes decompressed at a time
_BLOCK = 4 << 20  # bytes of the document packed at a time
_LENGTH = 4  # bytes of a packed block's length


class StoredDocumentError(ValueError):
    """A stored document cannot be read back."""


class UnknownEncoding(StoredDocumentError):
    """A stored document is encoded in a way this tavo does not know."""


class DamagedDocument(StoredDocumentError):
    """A stored document's bytes are not what its encoding writes."""


def encode(document: bytes) -> tuple[bytes, str]:
    """The bytes to store for ``document`` and the name of their encoding."""
    from tavo import _tavo  # here: see traceformat.facts.describe_document

    if len(document) <= _BLOCK:  # most: compressed knowing their size, which is faster
        return zstd.compress(_tavo.pack_document_block(document), level=_LEVEL), PACKED
    compressor = zstd.ZstdCompressor(level=_LEVEL)
    parts = []
    with memoryview(document) as view:
        for start in range(0, len(view), _BLOCK):
            parts.append(compressor.compress(_tavo.pack_document_block(view[start:start + _BLOCK])))
    parts.append(compressor.flush())
    return b"".join(parts), PACKED


def encode_beside(document: bytes) -> Any:
    """Starts encoding ``document`` as encode() does (as PACKED), and reading its facts,
    on a thread of the engine's own while the program goes on; the object's result()
    waits for both and gives (the engine's reading of the facts, for
    traceformat.facts_of_reading; the stored bytes). None where the engine was built
    without zstd of its own."""
    from tavo import _tavo  # here: see encode

    start = getattr(_tavo, "encode_document_beside", None)
    if start is None or type(document) is not bytes:  # the engine reads bytes alone
        return None
    return start(document, _BLOCK, _LEVEL)


def decode(stored: bytes, encoding: str | None) -> bytes:
    """The document stored as ``stored`` in ``encoding``."""
    if encoding is None:
        return stored
    try:
        if encoding == PACKED:
            return _unpack(stored)
        if encoding == ZSTD:
            return _decompress(stored)
    except zstd.ZstdError as exc:
        raise DamagedDocument(f"a stored document is damaged: {exc}") from None
    raise UnknownEncoding(f"a document is stored in an encoding this tavo does not know "
                          f"({encoding!r}): a newer tavo wrote it")


def _pieces(decompressor: zstd.ZstdDecompressor, stored: bytes) -> Iterator[bytes]:
    """The frame at the start of ``stored``, decompressed a piece at a time: decompressing
    it in one call holds the document twice as it ends, hundreds of MiB more for a large
    trace."""
    data = stored
    while not decompressor.eof:
        piece = decompressor.decompress(data, max_length=_PIECE)
        data = b""
        if not piece and decompressor.needs_input:
            raise zstd.ZstdError("the stored document ends before its compressed data does")
        yield piece


def _decompress(stored: bytes) -> bytes:
    """The one frame that a "zstd" row holds, decompressed into one buffer."""
    decompressor = zstd.ZstdDecompressor()
    out = io.BytesIO()
    for piece in _pieces(decompressor, stored):
        out.write(piece)
    if decompressor.unused_data:  # more than one frame: not written by this tavo
        return zstd.decompress(stored)
    return out.getvalue()


def _unpack(stored: bytes) -> bytes:
    """A packed document, unpacked block by block as it is decompressed, so that it is
    held once beside one block."""
    from tavo import _tavo

    def unpacked(block: memoryview) -> bytes:
        try:
            return _tavo.unpack_document_block(block)
        except ValueError as exc:
            raise DamagedDocument(f"a stored document is damaged: {exc}") from None

    if (zstd.get_frame_info(stored).decompressed_size or _PIECE + 1) <= _PIECE:
        framed = zstd.decompress(stored)  # one block, whose size its frame tells
        with memoryview(framed) as view:
            if int.from_bytes(view[:_LENGTH], "little") == len(view) - _LENGTH:
                return unpacked(view[_LENGTH:])
        raise DamagedDocument("a stored document is damaged: its one block is cut")
    decompressor = zstd.ZstdDecompressor()
    out = io.BytesIO()
    pending = bytearray()
    for piece in _pieces(decompressor, stored):
        pending += piece
        while len(pending) >= _LENGTH:
            end = _LENGTH + int.from_bytes(pending[:_LENGTH], "little")
            if len(pending) < end:
                break
            with memoryview(pending) as view:
                out.write(unpacked(view[_LENGTH:end]))
            del pending[:end]
    if pending or decompressor.unused_data:
        raise DamagedDocument("a stored document is damaged: it ends inside a block, or "
                              "holds more than one frame")
    return out.getvalue()
