// FileObjectSource: reads and seeks of a Python file object, checked.
#include "file_object_source.hpp"

#include <cerrno>
#include <algorithm>
#include <cstring>

namespace vorn {
namespace {

// PyBUF_WRITE, whose value is fixed but outside the limited API before 3.11.
constexpr int kWritable = 0x200;

constexpr const char* kMethodNames[] = {"readinto1", "read1", "readinto", "read"};

PyObject* non_blocking(const char* method) {
  PyErr_Format(PyExc_ValueError,
               "non-blocking file objects are not supported: %s() returned None, "
               "having no bytes ready",
               method);
  return nullptr;
}

// The name of `o`'s type, for messages; "object" where it cannot be had.
PyRef type_name(PyObject* o) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
  if (!name) {
    PyErr_Clear();
    name = PyRef::steal(PyUnicode_FromString("object"));
  }
  return name;
}

}  // namespace

void KeptError::keep() noexcept {
  if (exception_) {
    PyErr_Clear();
    return;
  }
  exception_ = take_exception();
}

bool KeptError::restore() noexcept {
  if (!exception_) return false;
  restore_exception(std::move(exception_));
  return true;
}

std::unique_ptr<FileObjectSource> FileObjectSource::make(PyObject* file, UnlockedWaiting& waiting,
                                                         KeptError& kept) {
  std::unique_ptr<FileObjectSource> s(new FileObjectSource(waiting, kept));
  s->file_ = PyRef::borrow(file);
  int found = -1;
  for (int i = 0; i < 4 && found < 0; ++i) {
    if (PyObject_HasAttrString(file, kMethodNames[i])) found = i;
  }
  if (found < 0) {
    PyRef name = type_name(file);
    PyErr_Format(PyExc_TypeError, "expected a path or a binary file object, not %S", name.get());
    return nullptr;
  }
  s->method_ = Method(found);
  s->method_name_ = PyRef::steal(PyUnicode_InternFromString(kMethodNames[found]));
  s->release_name_ = PyRef::steal(PyUnicode_InternFromString("release"));
  s->seek_name_ = PyRef::steal(PyUnicode_InternFromString("seek"));
  PyRef io = PyRef::steal(PyImport_ImportModule("io"));
  if (io) s->unsupported_ = PyRef::steal(PyObject_GetAttrString(io.get(), "UnsupportedOperation"));
  if (!s->method_name_ || !s->release_name_ || !s->seek_name_ || !s->unsupported_) return nullptr;
  if (PyObject_HasAttrString(file, "seekable")) {
    PyRef seekable = PyRef::steal(PyObject_CallMethod(file, "seekable", nullptr));
    if (!seekable) return nullptr;
    const int yes = PyObject_IsTrue(seekable.get());
    if (yes < 0) return nullptr;
    s->seekable_ = yes == 1;
  }
  if (s->seekable_) {
    PyRef at = PyRef::steal(PyObject_CallMethod(file, "tell", nullptr));
    if (!at) return nullptr;
    s->base_ = PyLong_AsUnsignedLongLong(at.get());
    if (s->base_ == std::uint64_t(-1) && PyErr_Occurred()) return nullptr;
  }
  return s;
}

FileObjectSource::~FileObjectSource() {
  waiting_.locked([&] {
    file_ = PyRef();
    method_name_ = PyRef();
    release_name_ = PyRef();
    seek_name_ = PyRef();
    unsupported_ = PyRef();
  });
}

std::int64_t FileObjectSource::read(std::uint8_t* dst, std::size_t len) {
  len = std::min(len, kChunk);
  return waiting_.locked([&]() -> std::int64_t {
    const std::int64_t n = call(dst, len);
    if (n >= 0) return n;
    kept_.keep();
    return -EINTR;
  });
}

std::int64_t FileObjectSource::call(std::uint8_t* dst, std::size_t len) {
  if (method_ == Method::read1 || method_ == Method::read) {
    PyRef size = PyRef::steal(PyLong_FromSize_t(len));
    if (!size) return -1;
    PyRef got = PyRef::steal(PyObject_CallMethodObjArgs(file_.get(), method_name_.get(), size.get(), nullptr));
    return got ? copy_out(got.get(), dst, len) : -1;
  }
  PyRef view = PyRef::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(dst), Py_ssize_t(len), kWritable));
  if (!view) return -1;
  PyRef got = PyRef::steal(PyObject_CallMethodObjArgs(file_.get(), method_name_.get(), view.get(), nullptr));
  if (!got) return -1;
  // The memory is reused once this returns: the object may not keep the view.
  PyRef released = PyRef::steal(PyObject_CallMethodObjArgs(view.get(), release_name_.get(), nullptr));
  if (!released) {
    PyErr_Format(PyExc_ValueError, "%s() kept a view of the memory it was given to read into",
                 kMethodNames[int(method_)]);
    return -1;
  }
  return count_of(got.get(), len);
}

std::int64_t FileObjectSource::count_of(PyObject* got, std::size_t len) {
  const char* method = kMethodNames[int(method_)];
  if (got == Py_None) return non_blocking(method), -1;
  if (!PyLong_Check(got)) {
    PyRef name = type_name(got);
    PyErr_Format(PyExc_TypeError, "%s() returned %S, not an int", method, name.get());
    return -1;
  }
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(got, &overflow);
  if (n == -1 && PyErr_Occurred()) return -1;
  if (overflow != 0 || n < 0 || std::uint64_t(n) > len) {
    PyErr_Format(PyExc_ValueError, "%s() returned %S, outside 0..%zu, the bytes asked for", method,
                 got, len);
    return -1;
  }
  return n;
}

std::int64_t FileObjectSource::copy_out(PyObject* got, std::uint8_t* dst, std::size_t len) {
  const char* method = kMethodNames[int(method_)];
  if (got == Py_None) return non_blocking(method), -1;
  PyRef copy;
  if (PyMemoryView_Check(got)) {
    copy = PyRef::steal(PyBytes_FromObject(got));
    if (!copy) return -1;
    got = copy.get();
  }
  char* bytes = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_Check(got)) {
    if (PyBytes_AsStringAndSize(got, &bytes, &n) != 0) return -1;
  } else if (PyByteArray_Check(got)) {
    bytes = PyByteArray_AsString(got);
    n = PyByteArray_Size(got);
  } else if (PyUnicode_Check(got)) {
    PyErr_Format(PyExc_TypeError, "%s() returned str: the file object was opened in text mode; "
                 "open it in binary mode ('rb')", method);
    return -1;
  } else {
    PyRef name = type_name(got);
    PyErr_Format(PyExc_TypeError, "%s() returned %S, not bytes", method, name.get());
    return -1;
  }
  if (std::size_t(n) > len) {
    PyErr_Format(PyExc_ValueError, "%s() returned %zd bytes, more than the %zu asked for", method,
                 n, len);
    return -1;
  }
  if (n != 0) std::memcpy(dst, bytes, std::size_t(n));
  return n;
}

namespace {

// EINVAL or EOVERFLOW where the pending exception is an OSError of that
// errno, which is then cleared; else 0, the exception left pending.
int refused_seek_errno() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return 0;
  PyRef exception = take_exception();
  int code = 0;
  if (exception) {
    PyRef number = PyRef::steal(PyObject_GetAttrString(exception.get(), "errno"));
    if (number && PyLong_Check(number.get())) code = int(PyLong_AsLong(number.get()));
    if (PyErr_Occurred()) PyErr_Clear();
  }
  if (code == EINVAL || code == EOVERFLOW) return code;
  restore_exception(std::move(exception));
  return 0;
}

}  // namespace

int FileObjectSource::seek(std::uint64_t offset) {
  if (!seekable_) return ESPIPE;
  if (offset > std::uint64_t(INT64_MAX) - base_) return EINVAL;
  return waiting_.locked([&] {
    PyRef to = PyRef::steal(PyLong_FromUnsignedLongLong(base_ + offset));
    PyRef done = to ? PyRef::steal(PyObject_CallMethodObjArgs(file_.get(), seek_name_.get(), to.get(), nullptr))
                    : PyRef();
    if (done) return 0;
    if (PyErr_ExceptionMatches(unsupported_.get())) {
      PyErr_Clear();
      return ESPIPE;
    }
    // A seek past what the file can address (a block size read from a
    // corrupt header) is refused as lseek refuses it: the bytes are not there.
    if (const int code = refused_seek_errno(); code != 0) return code;
    kept_.keep();
    return EINTR;
  });
}

}  // namespace vorn
