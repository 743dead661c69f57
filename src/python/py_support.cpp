// The boundary guard's PanicException, and Python exceptions from errors.
#include "py_support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorn {
namespace {

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

PyObject* panic_exception_type() noexcept {
  static Once<PyObject*> once;
  PyObject** type = once.get([](PyObject*& out) {
    out = PyErr_NewExceptionWithDoc(
        "vorn.PanicException",
        "An internal failure of vorn's native code. Derives from BaseException, so "
        "`except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
    return out != nullptr;
  });
  if (!type) {
    std::fputs("vorn: Failed to initialize new exception type.\n", stderr);
    abort_at_boundary();
  }
  return *type;
}

PyObject* os_error_type(int code) {
  switch (code) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EPERM:
    case EACCES: return PyExc_PermissionError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EISDIR: return PyExc_IsADirectoryError;
    case EEXIST: return PyExc_FileExistsError;
    case EAGAIN: return PyExc_BlockingIOError;
    case EINTR: return PyExc_InterruptedError;
    case ENOMEM: return PyExc_MemoryError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    default: return PyExc_OSError;
  }
}

}  // namespace

void raise_panic_exception(const char* message) noexcept {
  try {
    PyObject* type = panic_exception_type();
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message, Py_ssize_t(std::strlen(message)), "replace"));
    if (!text) abort_at_boundary();
    PyErr_SetObject(type, text.get());
  } catch (...) {
    abort_at_boundary();
  }
}

PyObject* raise_message(PyObject* type, const std::string& message) {
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
  if (!text) return nullptr;
  // An instance built from the one string: args is (message,), errno None.
  PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!exc) return nullptr;
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

[[noreturn]] void python_call_failed() {
  if (PyErr_Occurred()) PyErr_Print();
  panic("Python API call failed");
}

thread_local PyThreadState* PythonWaiting::saved_ = nullptr;

Waiting& python_waiting() noexcept {
  static PythonWaiting waiting;
  return waiting;
}

PyObject* raise_os_error(int code) {
  return raise_message(os_error_type(code), IoError::system(code).message());
}

PyObject* raise_error(const IoError& error) {
  if (error.kind == IoError::Kind::interrupted) return nullptr;
  return raise_os_error(error.code);
}

unsigned long immutable_type_flag() {
  constexpr unsigned long kImmutableType = 1UL << 8;
  int major = 0, minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return 0;
  return major > 3 || (major == 3 && minor >= 10) ? kImmutableType : 0;
}

PyRef take_exception() noexcept {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return {};
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef owned_type = PyRef::steal(type), exception = PyRef::steal(value), trace = PyRef::steal(tb);
  if (exception && trace) PyException_SetTraceback(exception.get(), trace.get());
  return exception;
}

void restore_exception(PyRef exception) noexcept {
  if (!exception) return;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  Py_INCREF(type);
  PyObject* tb = PyException_GetTraceback(exception.get());
  PyErr_Restore(type, exception.release(), tb);
}

std::string describe_pending_error() {
  PyRef value = take_exception();
  if (!value) return "attempted to fetch exception but none was set";
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
  PyRef tb = PyRef::steal(PyException_GetTraceback(value.get()));
  auto text_of = [](PyObject* o) -> std::string {
    PyRef s = PyRef::steal(o ? PyObject_Str(o) : nullptr);
    PyRef utf8 = PyRef::steal(s ? PyUnicode_AsUTF8String(s.get()) : nullptr);
    if (!utf8) {
      PyErr_Clear();
      return "<unprintable>";
    }
    return PyBytes_AsString(utf8.get());
  };
  PyRef name = PyRef::steal(PyObject_GetAttrString(type.get(), "__name__"));
  std::string out = text_of(name.get()) + ": " + text_of(value.get());
  if (tb) {
    PyRef traceback = PyRef::steal(PyImport_ImportModule("traceback"));
    PyRef lines = PyRef::steal(traceback ? PyObject_CallMethod(traceback.get(), "format_tb", "O", tb.get()) : nullptr);
    PyRef empty = PyRef::steal(PyUnicode_FromString(""));
    PyRef joined = PyRef::steal(lines && empty ? PyUnicode_Join(empty.get(), lines.get()) : nullptr);
    if (joined) out += "\nTraceback (most recent call last):\n" + text_of(joined.get());
    PyErr_Clear();
  }
  return out;
}

}  // namespace vorn
