#include "module/document_encoding.hpp"

#include <unistd.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <span>

#include "interop/cpp_barrier.hpp"
#include "interop/pyref.hpp"
#include "interop/side_thread.hpp"
#include "module/describe.hpp"
#include "saving/document_facts.hpp"
#include "saving/stored_document.hpp"

namespace tavo {

namespace {

// The work, done on the side thread: it reads the document's bytes, which
// the object holds (bytes never change), and touches nothing else of Python.
struct Encoding {
  PyRef document;
  std::size_t block = 0;
  int level = 0;
  std::optional<DocumentFacts> facts;  // views into `document`
  ByteBuffer stored;
  std::exception_ptr failure;
  SideThread side;
  pid_t process = 0;
  bool taken = false;

  std::span<const std::uint8_t> bytes() const {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(document.get())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(document.get()))};
  }

  static void run(void* self) {
    auto* encoding = static_cast<Encoding*>(self);
    try {
      const std::span<const std::uint8_t> bytes = encoding->bytes();
      encoding->facts =
          read_document_facts({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
      encoding->stored = stored_document(bytes, encoding->block, encoding->level);
    } catch (...) {
      encoding->failure = std::current_exception();
    }
  }

  // Waits for the side thread without the interpreter lock, which the program's
  // other threads may want meanwhile.
  void wait() {
    Py_BEGIN_ALLOW_THREADS side.join();
    Py_END_ALLOW_THREADS
  }
};

struct EncodingObject {
  PyObject_HEAD Encoding* encoding;
};

PyTypeObject* encoding_type = nullptr;

Encoding& encoding_of(PyObject* self) { return *reinterpret_cast<EncodingObject*>(self)->encoding; }

void encoding_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<EncodingObject*>(self);
  if (object->encoding != nullptr) {
    object->encoding->wait();  // the thread reads the document until it ends
    delete object->encoding;
  }
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* encoding_result(PyObject* self, PyObject*) {
  return python_entry([&]() -> PyObject* {
    Encoding& encoding = encoding_of(self);
    if (encoding.process != getpid()) {
      PyErr_SetString(PyExc_RuntimeError,
                      "a document's encoding cannot be taken in a child forked after it began");
      return nullptr;
    }
    if (encoding.taken) {
      PyErr_SetString(PyExc_RuntimeError, "a document's encoding was taken already");
      return nullptr;
    }
    encoding.wait();
    encoding.taken = true;
    if (encoding.failure) {
      std::rethrow_exception(encoding.failure);
    }
    PyRef facts = PyRef::steal(facts_or_none(encoding.facts));
    PyRef stored = PyRef::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(encoding.stored.data()),
                                  static_cast<Py_ssize_t>(encoding.stored.size())));
    encoding.stored = {};
    return facts && stored ? PyTuple_Pack(2, facts.get(), stored.get()) : nullptr;
  });
}

PyMethodDef encoding_methods[] = {
    {"result", encoding_result, METH_NOARGS,
     "result($self)\n--\n\n(facts, stored bytes), once the work has ended; once only."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoding_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(encoding_dealloc)},
    {Py_tp_methods, encoding_methods},
    {0, nullptr},
};

PyType_Spec encoding_spec = {
    "tavo._tavo.DocumentEncoding",
    sizeof(EncodingObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    encoding_slots,
};

}  // namespace

PyObject* encode_document_beside(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return python_entry([&]() -> PyObject* {
    if (nargs != 3 || !PyBytes_CheckExact(args[0])) {
      PyErr_SetString(PyExc_TypeError,
                      "encode_document_beside() takes a document (bytes), a block size and a "
                      "compression level");
      return nullptr;
    }
    const Py_ssize_t block = PyLong_AsSsize_t(args[1]);
    const long level = PyLong_AsLong(args[2]);
    if ((block == -1 || level == -1) && PyErr_Occurred()) {
      return nullptr;
    }
    if (block <= 0 || level < -(1 << 17) || level > 22) {
      PyErr_SetString(PyExc_ValueError, "the block size must be positive, the level at most 22");
      return nullptr;
    }
    if (encoding_type == nullptr) {
      encoding_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&encoding_spec));
      if (encoding_type == nullptr) {
        return nullptr;
      }
    }
    auto* object = PyObject_New(EncodingObject, encoding_type);
    if (object == nullptr) {
      return nullptr;
    }
    object->encoding = nullptr;
    PyRef owner = PyRef::steal(reinterpret_cast<PyObject*>(object));
    object->encoding = new Encoding();
    Encoding& encoding = *object->encoding;
    encoding.document = PyRef::borrow(args[0]);
    encoding.block = static_cast<std::size_t>(block);
    encoding.level = static_cast<int>(level);
    encoding.process = getpid();
    if (!encoding.side.start(&Encoding::run, &encoding)) {
      Encoding::run(&encoding);  // no thread: done here
    }
    return owner.release();
  });
}

}  // namespace tavo
