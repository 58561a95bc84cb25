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
  call(embed);
  return none();
}

constexpr FunctionCode kShell = function_code("shell", "打开 ipython 并执行 tovi.init", shell);

}  // namespace

void define_shell(const ModuleScope& m) { register_command(m, "shell", command_decorator(m), {}, m.def(kShell)); }

}  // namespace vantorel::cmds
