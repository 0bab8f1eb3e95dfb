"""Masking secrets in the command line a document records, leaving the rest of its bytes
as they are (a pytest run started with a store URL holding a password has it in its
sys.argv, which every trace document records)."""

from __future__ import annotations

from collections.abc import Callable

import msgpack


def scrub_command_line(blob: bytes, secrets: list[str], mask: Callable[[str], str]) -> bytes:
    """The document with ``mask`` applied to each argument of its recorded command line,
    when any of ``secrets`` is in the document at all. Only that entry is rewritten; a
    document this cannot read is returned as it is."""
    encoded = [secret.encode("utf-8", "surrogateescape") for secret in secrets]
    if not any(secret in blob for secret in encoded):
        return blob
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, unicode_errors="surrogateescape",
                                max_buffer_size=max(len(blob), 1))
    unpacker.feed(blob)
    try:
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            start = unpacker.tell()
            if key != "command_line_args":
                unpacker.skip()
                continue
            args = unpacker.unpack()
            if not isinstance(args, list):
                return blob
            masked = [mask(arg) if isinstance(arg, str) else arg for arg in args]
            packed = msgpack.packb(masked, unicode_errors="surrogateescape")
            return blob[:start] + packed + blob[unpacker.tell():]
    except (ValueError, msgpack.UnpackException):
        pass
    return blob
