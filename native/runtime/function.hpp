// A function type for C++ bodies that looks and binds like a Python `def`.
//
// click's decorators treat a callback as a Python function: they read
// __name__ and __doc__, hang __click_params__ on its __dict__ and delete it
// again, and call it with keyword arguments. Callers may inspect its
// signature or call it by hand, and then get the interpreter's own TypeError
// wording. Parameters are positional-or-keyword, trailing ones may have
// defaults; that is all the modules' functions need.
#pragma once

#include "semantics.hpp"

#include <structmember.h>

#include <cstddef>
#include <vector>

#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
// Interpreted by every 3.10+ runtime; only the 3.10 headers hide it from the limited API.
#define Py_TPFLAGS_DISALLOW_INSTANTIATION (1UL << 7)
#endif

namespace vantorel {

// The bound arguments, one owned reference per parameter, in parameter order.
using Body = Ref (*)(const Scope& scope, const Ref* arguments);

struct FunctionCode {
  const char* name;
  const char* doc;  // nullptr: no documentation text
  const char* const* parameters;
  Py_ssize_t parameter_count;
  Body body;
};

template <std::size_t N>
constexpr FunctionCode function_code(const char* name, const char* doc,
                                     const char* const (&parameters)[N], Body body) {
  return {name, doc, parameters, static_cast<Py_ssize_t>(N), body};
}

constexpr FunctionCode function_code(const char* name, const char* doc, Body body) {
  return {name, doc, nullptr, 0, body};
}

// Runs an entry point's body: its result, or NULL with a Python error set.
// No C++ exception leaves it.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body().release();
  } catch (const PyErrorSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
  return nullptr;
}

namespace detail {

struct FunctionObject {
  PyObject_HEAD
  PyObject* dict;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;  // tuple for the last parameters
  PyObject* globals;   // the defining module's dict: names are looked up there when the body runs
  PyObject* weakrefs;
  const FunctionCode* code;
};

inline FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->dict);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->globals);
  return 0;
}

inline int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->globals);
  return 0;
}

inline void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  auto free_function = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_function(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

inline PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Words a binding error exactly as the running interpreter does, by letting it
// bind the same call to a `def` with the same parameters. Only failed calls
// come here, so its cost never touches a successful one.
[[noreturn]] inline void raise_binding_error(const FunctionObject* f, PyObject* args, PyObject* kwargs) {
  const FunctionCode& code = *f->code;
  Py_ssize_t first_default = code.parameter_count - PyTuple_Size(f->defaults);
  Ref source = Ref::steal(PyUnicode_FromFormat("def %s(", code.name));
  for (Py_ssize_t i = 0; i < code.parameter_count; ++i) {
    Ref parameter = i < first_default
        ? Ref::steal(PyUnicode_FromFormat("%s, ", code.parameters[i]))
        : Ref::steal(PyUnicode_FromFormat("%s=defaults[%zd], ", code.parameters[i], i - first_default));
    source = Ref::steal(PyUnicode_Concat(source.get(), parameter.get()));
  }
  source = Ref::steal(PyUnicode_Concat(source.get(), text("): pass").get()));

  Ref namespace_ = Ref::steal(PyDict_New());
  check_status(PyDict_SetItemString(namespace_.get(), "defaults", f->defaults));
  // Not PyImport_ImportModule("builtins"): a replaced __import__ would see that.
  check_status(PyDict_SetItemString(namespace_.get(), "__builtins__", PyEval_GetBuiltins()));
  Ref compiled = Ref::steal(Py_CompileString(PyUnicode_AsUTF8AndSize(source.get(), nullptr), "<binding>", Py_file_input));
  Ref::steal(PyEval_EvalCode(compiled.get(), namespace_.get(), namespace_.get()));
  Ref reference = Ref::borrow(PyDict_GetItemString(namespace_.get(), code.name));
  check_status(PyObject_SetAttrString(reference.get(), "__qualname__", f->qualname));
  Ref unexpected = Ref::steal(PyObject_Call(reference.get(), args, kwargs));
  PyErr_Format(PyExc_SystemError, "%U() refused a call that a def accepts", f->qualname);
  raise_set_error();
}

// Binds the call's arguments to the parameters, as a def with positional-or-
// keyword parameters would.
inline std::vector<Ref> bind_arguments(const FunctionObject* f, PyObject* args, PyObject* kwargs) {
  const FunctionCode& code = *f->code;
  Py_ssize_t count = code.parameter_count;
  Py_ssize_t given = PyTuple_Size(args);
  std::vector<Ref> bound(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < given && i < count; ++i) bound[i] = Ref::borrow(PyTuple_GetItem(args, i));

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) raise_binding_error(f, args, kwargs);
      Py_ssize_t index = 0;
      while (index < count && PyUnicode_CompareWithASCIIString(key, code.parameters[index]) != 0) ++index;
      if (index == count || !bound[index].is_null()) raise_binding_error(f, args, kwargs);
      bound[index] = Ref::borrow(value);
    }
  }

  if (given > count) raise_binding_error(f, args, kwargs);

  Py_ssize_t first_default = count - PyTuple_Size(f->defaults);
  for (Py_ssize_t i = given; i < first_default; ++i) {
    if (bound[i].is_null()) raise_binding_error(f, args, kwargs);
  }
  for (Py_ssize_t i = first_default; i < count; ++i) {
    if (bound[i].is_null()) bound[i] = Ref::borrow(PyTuple_GetItem(f->defaults, i - first_default));
  }
  return bound;
}

inline PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const FunctionObject* f = as_function(self);
    std::vector<Ref> arguments = bind_arguments(f, args, kwargs);
    return f->code->body(Scope(f->globals, false), arguments.data());
  });
}

inline PyObject* function_get_signature(PyObject* self, void*) {
  return guarded([&] {
    const FunctionObject* f = as_function(self);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter_type = inspect.attr("Parameter");
    Ref kind = parameter_type.attr("POSITIONAL_OR_KEYWORD");
    Py_ssize_t count = f->code->parameter_count;
    Py_ssize_t first_default = count - PyTuple_Size(f->defaults);
    Ref parameters = list({});
    for (Py_ssize_t i = 0; i < count; ++i) {
      Ref name = text(f->code->parameters[i]);
      Ref parameter = i < first_default
          ? call(parameter_type, {name, kind})
          : call(parameter_type, {name, kind},
                 {{"default", Ref::borrow(PyTuple_GetItem(f->defaults, i - first_default))}});
      check_status(PyList_Append(parameters.get(), parameter.get()));
    }
    return call(inspect.attr("Signature"), {parameters});
  });
}

inline PyObject* function_get_defaults(PyObject* self, void*) {
  PyObject* defaults = as_function(self)->defaults;
  return Py_NewRef(PyTuple_Size(defaults) != 0 ? defaults : Py_None);
}

// __name__ and __qualname__ accept only text, as a function's do.
template <std::size_t Offset>
PyObject* function_get_text(PyObject* self, void*) {
  return Py_NewRef(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset));
}

template <std::size_t Offset>
int function_set_text(PyObject* self, PyObject* value, void* closure) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(closure));
    return -1;
  }
  PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
  PyObject* old = *slot;
  *slot = Py_NewRef(value);
  Py_XDECREF(old);
  return 0;
}

inline PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__name__", function_get_text<offsetof(FunctionObject, name)>,
     function_set_text<offsetof(FunctionObject, name)>, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", function_get_text<offsetof(FunctionObject, qualname)>,
     function_set_text<offsetof(FunctionObject, qualname)>, nullptr, const_cast<char*>("__qualname__")},
    {"__signature__", function_get_signature, nullptr, nullptr, nullptr},
    {"__defaults__", function_get_defaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Functions are immutable to the copy module: a copy is the function itself.
inline PyObject* function_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

// Pickles by reference, as a def does: by the name under which its module
// holds it. A callback that click made into a command is not bound under its
// own name (the command is), so it is reached through the command's
// `callback`, by pkgutil.resolve_name: pickle itself follows such a dotted
// path only from protocol 4 on, and below that would pickle the command by
// value. Anything else is left to pickle's own "not the same object" error.
inline PyObject* function_reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    const FunctionObject* f = as_function(self);
    Ref qualname = Ref::borrow(f->qualname);
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    PyObject* module = modules != nullptr ? PyDict_GetItemWithError(modules, f->module) : nullptr;
    if (module == nullptr) {
      if (PyErr_Occurred()) raise_set_error();
      return qualname;
    }
    PyObject* bound = PyObject_GetAttr(module, f->qualname);
    if (bound == nullptr) {
      PyErr_Clear();
      return qualname;
    }
    Ref owner = Ref::steal(bound);
    if (owner.get() == self) return qualname;
    PyObject* callback = PyObject_GetAttrString(owner.get(), "callback");
    if (callback == nullptr) {
      PyErr_Clear();
      return qualname;
    }
    bool is_callback = callback == self;
    Py_DECREF(callback);
    if (!is_callback) return qualname;
    Ref resolve_name = Ref::steal(PyImport_ImportModule("pkgutil")).attr("resolve_name");
    Ref path = Ref::steal(PyUnicode_FromFormat("%U:%U.callback", f->module, f->qualname));
    return tuple({resolve_name, tuple({path})});
  });
}

// Looked up on an instance, a function becomes a bound method, as a def does;
// being a non-data descriptor is also what tells inspect, pydoc and stubtest
// that this is a routine.
inline PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return guarded([&] {
    Ref method_type = Ref::steal(PyImport_ImportModule("types")).attr("MethodType");
    return call(method_type, {Ref::borrow(self), Ref::borrow(instance)});
  });
}

inline PyMethodDef function_methods[] = {
    {"__copy__", function_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", function_copy, METH_O, nullptr},
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyMemberDef function_module_member = {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr};

inline PyMemberDef function_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

}  // namespace detail

// One function type per module; `qualified_name` must be a string literal
// (the type keeps pointing at it).
inline Ref make_function_type(const char* qualified_name) {
  static_assert(offsetof(detail::FunctionObject, dict) > 0, "the dict follows the object header");
  PyType_Spec spec = {qualified_name, sizeof(detail::FunctionObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                      detail::function_slots};
  Ref type = Ref::steal(PyType_FromSpec(&spec));
  // Type creation stores the module name under __module__ in the type's dict,
  // hiding the per-function attribute; put the attribute back on top.
  Ref module_attribute = Ref::steal(
      PyDescr_NewMember(reinterpret_cast<PyTypeObject*>(type.get()), &detail::function_module_member));
  check_status(PyObject_SetAttrString(type.get(), "__module__", module_attribute.get()));
  return type;
}

// def code.name(...): like the statement, in the module whose dict is `globals`.
inline Ref make_function(const Ref& type, PyObject* globals, const FunctionCode& code,
                         std::initializer_list<Ref> defaults = {}) {
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type_object, Py_tp_alloc));
  Ref object = Ref::steal(alloc(type_object, 0));
  detail::FunctionObject* f = detail::as_function(object.get());
  f->code = &code;
  f->globals = Py_NewRef(globals);
  f->name = text(code.name).release();
  f->qualname = Py_NewRef(f->name);
  PyObject* module_name = PyDict_GetItemString(globals, "__name__");
  f->module = Py_NewRef(module_name != nullptr ? module_name : Py_None);
  f->doc = code.doc != nullptr ? text(code.doc).release() : Py_NewRef(Py_None);
  f->defaults = tuple(defaults).release();
  return object;
}

}  // namespace vantorel
