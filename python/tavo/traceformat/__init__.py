"""The trace document's layout, known here and nowhere else in the host package: reading
a document (whole or as a stream), pairing its calls per thread, the facts a store keeps
beside it, and masking secrets in its command line."""

from tavo.traceformat.calls import (Call, CallTotals, FunctionTotals, Step, call_name, calls_named,
                                    glob_matcher, is_exception, is_frame, literal_hint, pair_calls,
                                    thread_name)
from tavo.traceformat.facts import (DocumentFacts, FunctionFacts, describe_document,
                                    describe_document_during, facts_of_reading)
from tavo.traceformat.reading import (DECODE_ERRORS, VALUE_KEYS, Section, decode_document,
                                      read_document)
from tavo.traceformat.scrub import scrub_command_line

__all__ = ["Call", "CallTotals", "DECODE_ERRORS", "DocumentFacts", "FunctionFacts",
           "FunctionTotals", "Section", "Step", "VALUE_KEYS", "call_name", "calls_named",
           "decode_document", "describe_document", "describe_document_during", "facts_of_reading",
           "glob_matcher",
           "is_exception", "is_frame", "literal_hint", "pair_calls", "read_document",
           "scrub_command_line", "thread_name"]
