// vantorel.ombrel.sdk.cmds: the command group `cli` of the console command `vantorel`.
//
// Equivalent Python, at the top level (the commands follow in their own files):
//
//     import importlib
//     import os
//     import warnings
//     import sys
//     import click
//     from vantorel.ombrel.sdk.const import DEFAULT_BUNDLE_PATH, TAG_MAP, CONCERNED_PACKAGES
//     from vantorel.ombrel.sdk.license_helper import get_license_info, set_to_environ
//
//     @click.group()
//     @click.help_option("-h", "--help")
//     def cli():
//         """
//         输入 vantorel [COMMAND] --help 查看命令详情
//         例如：vantorel update-data --help
//         """
//
//     # license, shell, update_data, check_data, download_data
//
// Everything heavier (IPython, the login, the bundle functions) is imported by
// the command that needs it, when it runs, so that start-up stays cheap and a
// missing piece only affects its own command.
#include "commands.hpp"

namespace vantorel::cmds {
namespace {

Ref cli(const Scope&, const Ref*) { return none(); }

constexpr FunctionCode kCli = function_code(
    "cli", "输入 vantorel [COMMAND] --help 查看命令详情\n例如：vantorel update-data --help", cli);

void define_cli(const ModuleScope& m) {
  Ref group = call_method(m.global("click"), "group");
  Ref help_option = call_method(m.global("click"), "help_option", {text("-h"), text("--help")});
  m.bind("cli", decorate(m.def(kCli), {group, help_option}));
}

int exec_cmds(PyObject* module) {
  return run_module_body(module, "vantorel.ombrel.sdk.cmds.function", [](const ModuleScope& m) {
    for (const char* name : {"importlib", "os", "warnings", "sys", "click"}) m.bind(name, m.import(name));

    static const char* const kConstants[] = {"DEFAULT_BUNDLE_PATH", "TAG_MAP", "CONCERNED_PACKAGES"};
    auto constants = m.import_from("vantorel.ombrel.sdk.const", kConstants);
    for (std::size_t i = 0; i < constants.size(); ++i) m.bind(kConstants[i], constants[i]);

    static const char* const kStore[] = {"get_license_info", "set_to_environ"};
    auto store = m.import_from("vantorel.ombrel.sdk.license_helper", kStore);
    for (std::size_t i = 0; i < store.size(); ++i) m.bind(kStore[i], store[i]);

    define_cli(m);
    define_license(m);
    define_shell(m);
    define_update_data(m);
    define_check_data(m);
    define_download_data(m);
  });
}

PyModuleDef_Slot cmds_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_cmds)},
    {0, nullptr},
};

PyModuleDef cmds_module = {
    PyModuleDef_HEAD_INIT, "vantorel.ombrel.sdk.cmds", nullptr, sizeof(ModuleState), nullptr,
    cmds_slots, module_traverse, module_clear, module_free,
};

}  // namespace
}  // namespace vantorel::cmds

PyMODINIT_FUNC PyInit_cmds() { return PyModuleDef_Init(&vantorel::cmds::cmds_module); }
