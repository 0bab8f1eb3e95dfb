// Cut forms: a value over its room is cut from what its bounded attempt
// wrote, walked once. The cut form of a container keeps the items already
// written whole that fit in its own room, and cuts the first one that does
// not into the room left, which is written (at least in part) or is the leaf
// at which the attempt stopped. Text keeps its start and says how many
// characters it left out, bytes likewise, containers end with a marker of
// the items left out.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "values/value_sink.hpp"

namespace tavo::values {

// Where a container written by a value's attempt ends, and the index of the
// first container after it, in the order of their starts.
struct Span {
  std::size_t end;
  std::size_t after;
};

// An entry of a map that an attempt wrote: where it starts, where its value
// starts (0 if its key was cut short) and where it ends (kCutShort if cut
// short), and its index.
struct WrittenEntry {
  static constexpr std::size_t kCutShort = static_cast<std::size_t>(-1);
  std::size_t index;
  std::size_t start;
  std::size_t value_start;
  std::size_t end;
};

// The first entry of the map an attempt wrote at `pos` that ends past
// `entries_end` or was cut short. `spans` is scratch storage.
WrittenEntry first_entry_past(Sink& out, std::vector<Span>& spans, std::size_t pos,
                              std::size_t entries_end);

// Replaces what an attempt wrote into `out` from `start` by the value's cut
// form in `room` bytes. The attempt wrote whole items and containers cut
// short inside the one being written; `pending` is the text or bytes leaf it
// stopped at without writing it (null when it stopped after a written item).
// `spans` is scratch storage. False with an exception set on error.
bool cut_written(Sink& out, std::vector<Span>& spans, std::size_t start, std::size_t room,
                 PyObject* pending);

}  // namespace tavo::values
