// The parts of Python's evaluation that the modules' code relies on, with the
// interpreter's own results and error messages: truth tests, ==, `in`,
// f-string formatting, two-value unpacking, global name lookup and imports.
#pragma once

#include "ref.hpp"

#include <array>
#include <cstddef>
#include <cstdio>

namespace vantorel {

// `if value:`
inline bool truthy(const Ref& value) { return check_status(PyObject_IsTrue(value.get())) != 0; }

// `if left == right:` -- the comparison result is itself truth-tested, with no
// identity shortcut (PyObject_RichCompareBool would take one).
inline bool equals(const Ref& left, const Ref& right) {
  return truthy(Ref::steal(PyObject_RichCompare(left.get(), right.get(), Py_EQ)));
}

// `value in container`
inline bool contains(const Ref& container, const Ref& value) {
  return check_status(PySequence_Contains(container.get(), value.get())) != 0;
}

inline bool is_none(const Ref& value) noexcept { return value.get() == Py_None; }
inline bool is_false(const Ref& value) noexcept { return value.get() == Py_False; }

// f"{prefix}{value}"
inline Ref format_after(const char* prefix, const Ref& value) {
  Ref empty = text("");
  Ref formatted = Ref::steal(PyObject_Format(value.get(), empty.get()));
  return Ref::steal(PyUnicode_Concat(text(prefix).get(), formatted.get()));
}

// f"{first}{separator}{second}"
inline Ref format_joined(const Ref& first, const char* separator, const Ref& second) {
  Ref empty = text("");
  Ref head = Ref::steal(PyObject_Format(first.get(), empty.get()));
  Ref tail = Ref::steal(PyObject_Format(second.get(), empty.get()));
  Ref joined = Ref::steal(PyUnicode_Concat(head.get(), text(separator).get()));
  return Ref::steal(PyUnicode_Concat(joined.get(), tail.get()));
}

inline Ref type_name(const Ref& value) {
  return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get()))).attr("__name__");
}

// The interpreter names a type in its messages by tp_name, which the limited
// API does not expose: a class's __name__, but "module.Name" for many built-in
// and extension types. For a value that cannot be iterated at all,
// PyObject_GetIter has just raised "'<tp_name>' object is not iterable", the
// name cut at 200 bytes as the unpacking message cuts it; take it from there.
inline Ref name_from_iteration_error(const Ref& value) {
  PyObject* type;
  PyObject* error;
  PyObject* traceback;
  PyErr_Fetch(&type, &error, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyObject* shown = PyObject_Str(error != nullptr ? error : Py_None);
  Py_XDECREF(error);
  Ref message = Ref::steal(shown);
  Ref suffix = text("' object is not iterable");
  Py_ssize_t length = PyUnicode_GetLength(message.get());
  Py_ssize_t suffix_length = PyUnicode_GetLength(suffix.get());
  if (length > suffix_length && PyUnicode_ReadChar(message.get(), 0) == '\'' &&
      PyUnicode_Tailmatch(message.get(), suffix.get(), 0, length, 1) == 1) {
    return Ref::steal(PyUnicode_Substring(message.get(), 1, length - suffix_length));
  }
  return type_name(value);
}

// `first, second = value`, by iteration and with the interpreter's messages.
inline std::array<Ref, 2> unpack_pair(const Ref& value) {
  PyObject* iterator = PyObject_GetIter(value.get());
  if (iterator == nullptr) {
    PyTypeObject* type = Py_TYPE(value.get());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && PyType_GetSlot(type, Py_tp_iter) == nullptr &&
        !PySequence_Check(value.get())) {
      Ref name = name_from_iteration_error(value);
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %U object", name.get());
    }
    raise_set_error();
  }
  Ref items = Ref::steal(iterator);
  std::array<Ref, 2> pair;
  for (std::size_t got = 0; got < pair.size(); ++got) {
    PyObject* item = PyIter_Next(items.get());
    if (item == nullptr) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                     static_cast<int>(got));
      }
      raise_set_error();
    }
    pair[got] = Ref::steal(item);
  }
  PyObject* extra = PyIter_Next(items.get());
  if (extra != nullptr) {
    Py_DECREF(extra);
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    raise_set_error();
  }
  if (PyErr_Occurred()) raise_set_error();
  return pair;
}

// The names a piece of code sees: a module's globals, then the builtins.
class Scope {
 public:
  // `locals` is what an import statement passes as __import__'s third argument:
  // the globals at module level, None inside a function.
  Scope(PyObject* globals, bool module_level) noexcept
      : globals_(globals), module_level_(module_level) {}

  PyObject* globals() const noexcept { return globals_; }

  // Reading a global name, as LOAD_GLOBAL does.
  Ref global(const char* name) const {
    if (PyObject* found = PyDict_GetItemString(globals_, name)) return Ref::borrow(found);
    Ref builtins = builtins_dict();
    if (PyObject* found = PyDict_GetItemString(builtins.get(), name)) return Ref::borrow(found);
    // With its `name`, which the interpreter's own NameError carries.
    Ref message = Ref::steal(PyUnicode_FromFormat("name '%s' is not defined", name));
    Ref error = call(Ref::borrow(PyExc_NameError), {message}, {{"name", text(name)}});
    PyErr_SetObject(PyExc_NameError, error.get());
    raise_set_error();
  }

  // `import module`: binds the top-level package, as the statement does.
  Ref import(const char* module) const { return import_module(module, none()); }

  // `from module import name, ...`
  template <std::size_t N>
  std::array<Ref, N> import_from(const char* module, const char* const (&names)[N]) const {
    Ref fromlist = Ref::steal(PyTuple_New(N));
    for (std::size_t i = 0; i < N; ++i) {
      check_status(PyTuple_SetItem(fromlist.get(), static_cast<Py_ssize_t>(i), text(names[i]).release()));
    }
    Ref imported = import_module(module, fromlist);
    std::array<Ref, N> values;
    for (std::size_t i = 0; i < N; ++i) values[i] = import_name(imported, names[i]);
    return values;
  }

 private:
  // The running code's builtins, as a frame has them. Not PyImport_ImportModule:
  // that calls builtins.__import__, which a replaced __import__ would see as
  // an import the Python code never makes.
  static Ref builtins_dict() { return Ref::borrow(PyEval_GetBuiltins()); }

  // Through builtins.__import__ as it is at this moment, so that a replaced
  // __import__ sees the call exactly as it would from Python code.
  Ref import_module(const char* module, const Ref& fromlist) const {
    Ref builtins = builtins_dict();
    // Owned at once: making the arguments may run a collection that drops it.
    Ref import_function = Ref::borrow(PyDict_GetItemString(builtins.get(), "__import__"));
    if (import_function.is_null()) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
      raise_set_error();
    }
    Ref globals = Ref::borrow(globals_);
    Ref locals = module_level_ ? globals : none();
    return call(import_function, {text(module), globals, locals, fromlist, integer(0)});
  }

  // The interpreter running us: the stable ABI lets it be any 3.10+, and the
  // from-import error path changed in 3.12 and 3.13.
  static bool interpreter_at_least(int wanted_minor) {
    int major = 0;
    int minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
    return major > 3 || (major == 3 && minor >= wanted_minor);
  }

  // getattr(value, name) for the error path: a missing attribute is a null
  // reference; another error is raised under 3.13+ and taken as missing before.
  static Ref optional_attribute(PyObject* value, const char* name, bool raises) {
    if (PyObject* found = PyObject_GetAttrString(value, name)) return Ref::steal(found);
    if (raises && !PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set_error();
    PyErr_Clear();
    return Ref();
  }

  // module.__spec__._initializing, read as the interpreter reads it.
  static bool initializing(const Ref& spec, bool raises) {
    if (spec.is_null()) return false;
    Ref flag = optional_attribute(spec.get(), "_initializing", raises);
    if (flag.is_null()) return false;
    int initializing = PyObject_IsTrue(flag.get());
    if (initializing < 0) {
      if (raises) raise_set_error();
      PyErr_Clear();
    }
    return initializing > 0;
  }

  // getattr(module, name) as a from-import reads it; null when missing. From
  // 3.12 on, a module's lookup then skips building the AttributeError, whose
  // message reads module.__spec__: take the same steps without it.
  static Ref imported_attribute(const Ref& module, const char* name) {
    PyObject* found = nullptr;
    Ref key = text(name);
    const bool plain_module = PyType_GetSlot(Py_TYPE(module.get()), Py_tp_getattro) ==
                              PyType_GetSlot(&PyModule_Type, Py_tp_getattro);
    if (plain_module && interpreter_at_least(12)) {
      found = PyObject_GenericGetAttr(module.get(), key.get());
      if (found == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyObject* hook = PyDict_GetItemWithError(PyModule_GetDict(module.get()), text("__getattr__").get());
        if (hook != nullptr) {
          Ref held = Ref::borrow(hook);
          found = PyObject_CallFunctionObjArgs(held.get(), key.get(), nullptr);
        } else if (!PyErr_Occurred()) {
          return Ref();
        }
      }
    } else {
      found = PyObject_GetAttr(module.get(), key.get());
    }
    if (found != nullptr) return Ref::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_set_error();
    PyErr_Clear();
    return Ref();
  }

  // One name of a from-import: the attribute, else an already imported
  // submodule, else the interpreter's ImportError.
  static Ref import_name(const Ref& module, const char* name) {
    Ref value = imported_attribute(module, name);
    if (!value.is_null()) return value;

    // Before 3.13 whatever stops these lookups counts as "unknown"; from 3.13
    // on only a missing attribute does.
    const bool raises = interpreter_at_least(13);
    Ref package = optional_attribute(module.get(), "__name__", raises);
    if (!package.is_null() && !PyUnicode_Check(package.get())) package = Ref();
    if (!package.is_null()) {
      Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%s", package.get(), name));
      PyObject* modules = PyImport_GetModuleDict();  // borrowed
      if (PyObject* submodule = PyDict_GetItemWithError(modules, full_name.get())) {
        return Ref::borrow(submodule);
      }
      if (PyErr_Occurred()) raise_set_error();
    }

    Ref shown_package = package.is_null() ? text("<unknown module name>") : package;
    Ref missing = text(name);
    Ref path;
    if (PyModule_Check(module.get())) {
      if (PyObject* file = PyModule_GetFilenameObject(module.get())) {
        path = Ref::steal(file);
        if (!PyUnicode_Check(path.get())) path = Ref();
      } else {
        PyErr_Clear();
      }
    }
    bool starting =
        !path.is_null() && initializing(optional_attribute(module.get(), "__spec__", raises), raises);
    // A message that cannot be formatted (a __file__ whose __str__ fails) is
    // left NULL, as the interpreter leaves it: PyErr_SetImportError then
    // raises its own TypeError.
    PyObject* message;
    if (path.is_null()) {
      message = PyUnicode_FromFormat("cannot import name '%s' from %R (unknown location)", name,
                                     shown_package.get());
    } else if (starting) {
      message = PyUnicode_FromFormat(
          "cannot import name '%s' from partially initialized module %R "
          "(most likely due to a circular import) (%S)",
          name, shown_package.get(), path.get());
    } else {
      message = PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", name, shown_package.get(),
                                     path.get());
    }
    Ref error_name = package.is_null() ? none() : package;
    Ref error_path = path.is_null() ? none() : path;
    PyErr_SetImportError(message, error_name.get(), error_path.get());
    if (message != nullptr && interpreter_at_least(12)) {
      // 3.12+ records the missing name too; tracebacks use it for "Did you mean".
      PyObject* type;
      PyObject* error;
      PyObject* traceback;
      PyErr_Fetch(&type, &error, &traceback);
      PyErr_NormalizeException(&type, &error, &traceback);
      if (PyObject_SetAttrString(error, "name_from", missing.get()) < 0) PyErr_Clear();
      PyErr_Restore(type, error, traceback);
    }
    Py_XDECREF(message);
    raise_set_error();
  }

  PyObject* globals_;  // borrowed: the module's dict, which outlives every scope over it
  bool module_level_;
};

}  // namespace vantorel
