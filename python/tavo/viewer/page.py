"""The viewer's page: served with its scripts and styles as separate files, or written as one
self-contained HTML file with a trace document inside it and a content security policy that
allows only the page's own scripts and no network access.

In the file the document is deflated and cut into slices, each in a script element of its
own as base64: the file is a fraction of the document's size, it is written as the document
is read (never whole in memory beside it), and the page inflates the slices as a stream."""

from __future__ import annotations

import base64
import hashlib
import json
import pathlib
import zlib
from collections.abc import Iterable
from typing import Any, BinaryIO

STATIC = pathlib.Path(__file__).parent / "static"
# Load order matters: each script adds its part to the Tavo namespace; app.js starts the page.
SCRIPTS = ("util.js", "msgpack.js", "model.js", "values.js", "timeline.js", "tree.js",
           "detail.js", "search.js", "summary.js", "list.js", "app.js")
STYLES = ("viewer.css",)
STATIC_FILES = {name: ("text/javascript" if name.endswith(".js") else "text/css")
                for name in SCRIPTS + STYLES}

# For served pages; the standalone file carries its own policy as a meta element.
SERVED_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                 "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")

# Deflated bytes per script element of the file (4 MiB of base64 text each).
_SLICE = 3 << 20
# Fast compression: trace documents repeat their keys and names, so even the fastest
# level takes them to a small part of their size.
_LEVEL = 1


def static_file(name: str) -> bytes:
    """One of the page's own files (only names in STATIC_FILES exist)."""
    if name not in STATIC_FILES:
        raise KeyError(name)
    return (STATIC / name).read_bytes()


def _template() -> str:
    return (STATIC / "index.html").read_text(encoding="utf-8")


def served_page() -> bytes:
    styles = "".join(f'<link rel="stylesheet" href="static/{name}">' for name in STYLES)
    scripts = "".join(f'<script src="static/{name}"></script>\n' for name in SCRIPTS)
    page = (_template().replace("<!--POLICY-->", "").replace("<!--STYLE-->", styles)
            .replace("<!--DATA-->", "").replace("<!--SCRIPTS-->", scripts))
    return page.encode("utf-8")


def _source_hash(text: str) -> str:
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode() + "'"


def _inline(tag: str, text: str) -> str:
    if f"</{tag}" in text.lower():
        raise ValueError(f"an inlined file contains </{tag}")
    return f"<{tag}>{text}</{tag}>"


def json_for_script(value: Any) -> str:
    """JSON that cannot end the script element it sits in, whatever its strings hold."""
    return json.dumps(value).replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def _slices(document: Iterable[bytes]) -> Iterable[bytes]:
    """The deflated document in pieces of about _SLICE bytes."""
    deflate, pending = zlib.compressobj(_LEVEL), bytearray()
    for piece in document:
        pending += deflate.compress(piece)
        while len(pending) >= _SLICE:
            yield bytes(pending[:_SLICE])
            del pending[:_SLICE]
    pending += deflate.flush()
    if pending:
        yield bytes(pending)


def write_standalone(out: BinaryIO, summary: dict[str, Any], document: Iterable[bytes]) -> None:
    """The page with one trace document in it (given in pieces), working from a file with no
    server, written to ``out`` as the pieces come."""
    style = "".join(static_file(name).decode("utf-8") for name in STYLES)
    script = "\n".join(static_file(name).decode("utf-8") for name in SCRIPTS)
    policy = (f"default-src 'none'; script-src {_source_hash(script)}; "
              f"style-src {_source_hash(style)}; img-src data:; base-uri 'none'; form-action 'none'")
    head, _, tail = (_template()
                     .replace("<!--POLICY-->", f'<meta http-equiv="Content-Security-Policy" content="{policy}">')
                     .replace("<!--STYLE-->", _inline("style", style))
                     .replace("<!--SCRIPTS-->", _inline("script", script))).partition("<!--DATA-->")
    out.write(head.encode("utf-8"))
    out.write(f'<script type="application/json" id="tavo-summary">{json_for_script(summary)}</script>\n'
              .encode("utf-8"))
    for piece in _slices(document):
        out.write(b'<script type="application/octet-stream" class="tavo-data">')
        out.write(base64.b64encode(piece))
        out.write(b"</script>\n")
    out.write(tail.encode("utf-8"))
