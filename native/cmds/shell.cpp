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

Ref shell(const Scope& scope, const Ref*) {
  static const char* const kNames[] = {"embed"};
  Ref embed;
  try {
    embed = scope.import_from("IPython", kNames)[0];
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    PyErr_Clear();
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
