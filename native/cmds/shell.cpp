// `vantorel shell`: an interactive IPython shell.
//
// Equivalent Python:
//
//     @cli.command()
//     def shell():
//         """打开 ipython 并执行 tovi.init"""
//         try:
//             from IPython import embed
//         except ImportError:
//             click.echo("请安装ipython:pip install ipython")
//             return
//         embed()
#include "commands.hpp"

namespace vantorel::cmds {
namespace {

// The body of an `except` clause: the caught error (the one set on entry) is
// the one being handled until the body ends, so an error raised in the body
// carries it as __context__, as in Python.
class Handling {
 public:
  Handling() {
    PyErr_GetExcInfo(&outer_type_, &outer_value_, &outer_traceback_);
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyErr_SetExcInfo(type, value, traceback);  // steals all three
  }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;
  ~Handling() { PyErr_SetExcInfo(outer_type_, outer_value_, outer_traceback_); }

 private:
  PyObject* outer_type_;
  PyObject* outer_value_;
  PyObject* outer_traceback_;
};

Ref shell(const Scope& scope, const Ref*) {
  static const char* const kNames[] = {"embed"};
  Ref embed;
  try {
    embed = scope.import_from("IPython", kNames)[0];
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    Handling handling;
    echo(scope, text("请安装ipython:pip install ipython"));
    return none();
  }
  // embed() takes its namespace from the frame that calls it, which for Python
  // code is shell's own: this module's globals and the local `embed`. Calling
  // it from a frame over the same namespaces keeps the user's shell as it
  // would be, rather than showing click's internals.
  Ref code = Ref::steal(Py_CompileString("embed()", "<vantorel shell>", Py_eval_input));
  Ref locals = Ref::steal(PyDict_New());
  check_status(PyDict_SetItemString(locals.get(), "embed", embed.get()));
  Ref::steal(PyEval_EvalCode(code.get(), scope.globals(), locals.get()));
  return none();
}

constexpr FunctionCode kShell = function_code("shell", "打开 ipython 并执行 tovi.init", shell);

}  // namespace

void define_shell(const ModuleScope& m) { register_command(m, "shell", command_decorator(m), {}, m.def(kShell)); }

}  // namespace vantorel::cmds
