// What a module's start-up needs: its state, a guarded exec slot, and the
// module-level scope in which names are bound and functions defined.
#pragma once

#include "function.hpp"

namespace vantorel {

struct ModuleState {
  PyObject* function_type;
};

inline ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

inline int module_traverse(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(module_state(module).function_type);
  return 0;
}

inline int module_clear(PyObject* module) {
  Py_CLEAR(module_state(module).function_type);
  return 0;
}

inline void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

// The module body, run as the Py_mod_exec slot: what would be the top level
// of the equivalent Python source.
class ModuleScope : public Scope {
 public:
  ModuleScope(PyObject* module, const char* function_type_name)
      : Scope(PyModule_GetDict(module), true), module_(module) {
    module_state(module).function_type = make_function_type(function_type_name).release();
  }

  void bind(const char* name, const Ref& value) const {
    check_status(PyDict_SetItemString(globals(), name, value.get()));
  }

  Ref def(const FunctionCode& code, std::initializer_list<Ref> defaults = {}) const {
    return make_function(Ref::borrow(module_state(module_).function_type), globals(), code, defaults);
  }

 private:
  PyObject* module_;
};

template <class Body>
int run_module_body(PyObject* module, const char* function_type_name, Body body) noexcept {
  PyObject* result = guarded([&] {
    ModuleScope scope(module, function_type_name);
    body(scope);
    return none();
  });
  if (result == nullptr) return -1;
  Py_DECREF(result);
  return 0;
}

}  // namespace vantorel
