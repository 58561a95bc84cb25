// Owning references and the error convention shared by the native modules.
//
// A C API call that fails leaves a Python error set and returns NULL or -1;
// check() turns that into a PyErrorSet exception, so C++ code reads like the
// Python it mirrors and every failure unwinds, dropping its references, to
// the entry point, which returns NULL with the error still set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <new>
#include <stdexcept>
#include <utility>

namespace vantorel {

// Thrown when a Python error is set. Deliberately not a std::exception, so a
// handler for C++ errors can never swallow it.
struct PyErrorSet {};

[[noreturn]] inline void raise_set_error() { throw PyErrorSet{}; }

inline PyObject* check(PyObject* result) {
  if (result == nullptr) raise_set_error();
  return result;
}

inline int check_status(int status) {
  if (status < 0) raise_set_error();
  return status;
}

// An owned reference to a Python object; never NULL once built by the factories.
class Ref {
 public:
  Ref() noexcept : ptr_(nullptr) {}
  Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
  Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  // Takes over a new reference returned by the C API; NULL means an error is set.
  static Ref steal(PyObject* result) { return Ref(check(result)); }
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  PyObject* get() const noexcept { return ptr_; }
  bool is_null() const noexcept { return ptr_ == nullptr; }
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

  Ref attr(const char* name) const { return steal(PyObject_GetAttrString(ptr_, name)); }

  // self(*args, **kwargs) with ready-made argument containers (kwargs may be null).
  Ref call(const Ref& args, const Ref& kwargs = Ref()) const {
    return steal(PyObject_Call(ptr_, args.get(), kwargs.get()));
  }

 private:
  explicit Ref(PyObject* object) noexcept : ptr_(object) {}
  PyObject* ptr_;
};

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref integer(long value) { return Ref::steal(PyLong_FromLong(value)); }
inline Ref text(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

inline Ref tuple(std::initializer_list<Ref> items) {
  Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t index = 0;
  for (const Ref& item : items) {
    // PyTuple_SetItem steals, so hand it a reference of its own.
    check_status(PyTuple_SetItem(result.get(), index++, Ref(item).release()));
  }
  return result;
}

inline Ref list(std::initializer_list<Ref> items) {
  Ref result = Ref::steal(PyList_New(0));
  for (const Ref& item : items) check_status(PyList_Append(result.get(), item.get()));
  return result;
}

struct Keyword {
  const char* name;
  Ref value;
};

// callable(*args, **keywords), the way a Python call expression passes them.
inline Ref call(const Ref& callable, std::initializer_list<Ref> args = {},
                std::initializer_list<Keyword> keywords = {}) {
  Ref kwargs;
  if (keywords.size() != 0) {
    kwargs = Ref::steal(PyDict_New());
    for (const Keyword& keyword : keywords) {
      check_status(PyDict_SetItemString(kwargs.get(), keyword.name, keyword.value.get()));
    }
  }
  return callable.call(tuple(args), kwargs);
}

inline Ref call_method(const Ref& self, const char* name, std::initializer_list<Ref> args = {},
                       std::initializer_list<Keyword> keywords = {}) {
  return call(self.attr(name), args, keywords);
}

}  // namespace vantorel
