// What a store keeps beside a trace document, read from its bytes in one pass:
// how many records, the test's name, the source, the command line, when the
// records start and end, and each function's calls, total and own time and
// how many raised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tavo {

struct FunctionFacts {
  std::string_view qualname;  // the code name when there is none, "?" when neither
  std::string_view name;
  std::string_view file;
  std::uint64_t calls = 0;
  double total = 0;  // time inside it, counted once through recursion
  double own = 0;    // time in its own code, outside recorded calls
  std::uint64_t raised = 0;
};

// Every text views the document's bytes and is valid UTF-8.
struct DocumentFacts {
  std::uint64_t records = 0;
  bool user_code = false;  // whether any record is a frame record
  std::optional<std::string_view> test_name;
  std::optional<std::string_view> source;
  std::optional<std::vector<std::string_view>> command_line;
  std::optional<double> first;           // the earliest of the threads' first record times
  std::optional<double> last;            // the latest of their last record times
  std::vector<FunctionFacts> functions;  // in order of first mention
};

// The facts of a document, or nullopt when it holds anything this reading
// leaves to the general one: a damaged document, text that is not valid UTF-8,
// an integer timestamp past 2**53, an extension type or deep nesting in a
// record other than a frame record as the engine writes it, or a command line
// or meta entry of another shape than the engine's. Calls are paired, timed and
// counted exactly as that reading does.
std::optional<DocumentFacts> read_document_facts(std::string_view document);

}  // namespace tavo
