#include "module/describe.hpp"

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "interop/buffer_view.hpp"
#include "interop/cpp_barrier.hpp"
#include "interop/pyref.hpp"
#include "interop/side_thread.hpp"
#include "saving/document_facts.hpp"

namespace tavo {

namespace {

PyObject* text(std::string_view view) {
  return PyUnicode_DecodeUTF8(view.data(), static_cast<Py_ssize_t>(view.size()), nullptr);
}

PyObject* text_or_none(const std::optional<std::string_view>& view) {
  return view ? text(*view) : Py_NewRef(Py_None);
}

PyObject* number_or_none(std::optional<double> value) {
  return value ? PyFloat_FromDouble(*value) : Py_NewRef(Py_None);
}

PyObject* joined(const std::optional<std::vector<std::string_view>>& words) {
  if (!words) {
    return Py_NewRef(Py_None);
  }
  std::string line;
  for (std::size_t i = 0; i < words->size(); ++i) {
    if (i > 0) {
      line += ' ';
    }
    line += (*words)[i];
  }
  return text(line);
}

PyObject* function_tuple(const FunctionFacts& function) {
  return Py_BuildValue("(NNNKddK)", text(function.qualname), text(function.name),
                       text(function.file), static_cast<unsigned long long>(function.calls),
                       function.total, function.own,
                       static_cast<unsigned long long>(function.raised));
}

PyObject* facts_tuple(const DocumentFacts& facts) {
  PyRef functions = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(facts.functions.size())));
  if (!functions) {
    return nullptr;
  }
  for (std::size_t i = 0; i < facts.functions.size(); ++i) {
    PyObject* item = function_tuple(facts.functions[i]);
    if (item == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(functions.get(), static_cast<Py_ssize_t>(i), item);
  }
  return Py_BuildValue("(KNNNNNNO)", static_cast<unsigned long long>(facts.records),
                       PyBool_FromLong(facts.user_code ? 1 : 0), text_or_none(facts.test_name),
                       joined(facts.command_line), text_or_none(facts.source),
                       number_or_none(facts.first), number_or_none(facts.last), functions.get());
}

// Below this size reading the facts takes less than starting a thread.
constexpr std::size_t kBesideBytes = 256 << 10;

struct FactsReading {
  std::string_view document;
  std::optional<DocumentFacts> facts;
  std::exception_ptr failure;

  static void run(void* self) {
    auto* reading = static_cast<FactsReading*>(self);
    try {
      reading->facts = read_document_facts(reading->document);
    } catch (...) {
      reading->failure = std::current_exception();
    }
  }
};

}  // namespace

PyObject* facts_or_none(const std::optional<DocumentFacts>& facts) {
  return facts ? facts_tuple(*facts) : Py_NewRef(Py_None);
}

PyObject* describe_document(PyObject*, PyObject* document) {
  return python_entry([&]() -> PyObject* {
    BufferView view;
    if (!view.open(document)) {
      return nullptr;
    }
    return facts_or_none(read_document_facts(view.text()));
  });
}

PyObject* describe_document_during(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return python_entry([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError,
                      "describe_document_during() takes a document and a callable");
      return nullptr;
    }
    // The view holds the document's buffer (a bytearray cannot be resized
    // meanwhile) for as long as the thread reads it.
    BufferView view;
    if (!view.open(args[0])) {
      return nullptr;
    }
    FactsReading reading{view.text(), std::nullopt, nullptr};
    SideThread side;  // joined before `reading` and `view` go, whatever happens
    const bool beside =
        reading.document.size() >= kBesideBytes && side.start(&FactsReading::run, &reading);
    PyRef result = PyRef::steal(PyObject_CallNoArgs(args[1]));
    if (beside) {
      side.join();
    } else if (result) {
      FactsReading::run(&reading);
    }
    if (!result) {
      return nullptr;
    }
    if (reading.failure) {
      std::rethrow_exception(reading.failure);
    }
    PyRef facts = PyRef::steal(facts_or_none(reading.facts));
    return facts ? PyTuple_Pack(2, facts.get(), result.get()) : nullptr;
  });
}

}  // namespace tavo
