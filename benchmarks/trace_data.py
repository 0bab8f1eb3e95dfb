"""Synthetic trace documents for the reading benchmarks: records laid out as the engine
writes them (same keys, same order), for any number of records and threads."""

from __future__ import annotations

import io

import msgpack

_FRAME_KEYS = ("path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
               "thread_native_id", "timestamp", "type", "user_code_call_site")


def _frame_id(number: int) -> str:
    return f"frm_{number:026d}"


def _records(packer: msgpack.Packer, out: io.BytesIO, count: int, thread: str, native_id: int,
             start: float, functions: list[str]) -> None:
    """``count`` records (an even number): nested calls three deep, repeated, with small
    arguments and return values."""
    out.write(packer.pack_array_header(count))
    stack: list[tuple[int, str, float]] = []
    clock = start
    serial = native_id * 10_000_000
    written = 0
    while written < count:
        clock += 1e-6
        if len(stack) < 3 and written + 2 * (len(stack) + 1) <= count:
            serial += 1
            name = functions[serial % len(functions)]
            caller = stack[-1] if stack else None
            stack.append((serial, name, clock))
            record = _record("call", name, serial, None, {"n": serial % 1000, "label": "item"},
                             thread, native_id, clock, caller)
        else:
            number, name, _ = stack.pop()
            caller = stack[-1] if stack else None
            record = _record("return", name, number, number % 1000,
                             {"n": number % 1000, "label": "item", "total": number},
                             thread, native_id, clock, caller)
        out.write(packer.pack(record))
        written += 1


def _record(event, name, number, arg, local_values, thread, native_id, clock, caller):
    site = None if caller is None else {"call_frame_id": _frame_id(caller[0]), "line_number": 12}
    values = (f"app/module.py:{10 + len(name)}", name.rsplit(".", 1)[-1], name, event,
              _frame_id(number), arg, local_values, thread, native_id, clock, "frame", site)
    return dict(zip(_FRAME_KEYS, values))


def document(records: int, *, threads: int = 2, label: str = "tests/test_app.py::test_big",
             functions: list[str] | None = None, trace_id: str = "trc_" + "0" * 26) -> bytes:
    """A document of about ``records`` records spread over ``threads`` threads, the
    first of them opened by a start_test record carrying ``label``."""
    functions = functions or ["app.load", "app.parse", "app.Model.save", "app.render"]
    packer = msgpack.Packer()
    out = io.BytesIO()
    out.write(packer.pack_map_header(8))
    out.write(packer.pack("command_line_args") + packer.pack(["pytest"]))
    out.write(packer.pack("current_commit_sha") + packer.pack(None))
    per_thread = (records // threads) // 2 * 2
    out.write(packer.pack("frames") + packer.pack_map_header(threads - 1))
    for index in range(1, threads):
        out.write(packer.pack(1000 + index))
        _records(packer, out, per_thread, f"worker-{index}", 1000 + index, 1.7e9, functions)
    out.write(packer.pack("frames_of_interest"))
    start = {"type": "start_test", "test_name": label, "frame_id": None, "timestamp": 1.7e9,
             "thread": "MainThread", "thread_native_id": 1000, "user_code_call_site": None}
    body = io.BytesIO()
    _records(packer, body, per_thread, "MainThread", 1000, 1.7e9, functions)
    main = body.getvalue()
    header_size = len(packer.pack_array_header(per_thread))
    out.write(packer.pack_array_header(per_thread + 1) + packer.pack(start) + main[header_size:])
    out.write(packer.pack("main_thread_id") + packer.pack(1000))
    out.write(packer.pack("meta") + packer.pack({"version": "bench", "source": "pytest",
                                                 "use_frame_boundaries": True}))
    out.write(packer.pack("timestamp") + packer.pack(1.7e9))
    out.write(packer.pack("trace_id") + packer.pack(trace_id))
    return out.getvalue()
