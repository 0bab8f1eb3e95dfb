// Saving: the trace document built from the buffered records, and handing it
// to the host store.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <utility>

#include "buffers/trace_buffers.hpp"
#include "interop/error.hpp"
#include "interop/pyref.hpp"

namespace tavo {

struct BuiltTrace {
  PyRef document;  // bytes
  std::string trace_id;
  TakenRecords taken;
};

class TraceSaver {
 public:
  // The facts of the run that every document of it carries, and where it goes.
  struct Settings {
    std::string db_path;
    std::string source;
    double timestamp = 0;
    std::uint64_t sqlite_busy_timeout = 60;
  };

  explicit TraceSaver(TraceBuffers& buffers) : buffers_(buffers) {}
  void configure(Settings settings) { settings_ = std::move(settings); }

  // Takes the buffered records into a document; they go back to the buffers
  // on failure.
  Result<BuiltTrace> build();
  // `build` for Python callers: the document's bytes.
  Result<PyRef> build_document();
  // Builds a document and hands it to the store; its records go back to the
  // buffers if the store did not take it.
  Status save();

 private:
  TraceBuffers& buffers_;
  Settings settings_;
};

}  // namespace tavo
