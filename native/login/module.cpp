// vantorel.ombrel.utils.login: finds the data-service account and signs in.
//
// Equivalent Python:
//
//     from vantorel import tovi
//     from vantorel.ombrel.sdk.license_helper import get_license_info
//     import os
//     import sys
//     import subprocess
//     import json
//
//     def init_tovi():
//         agent = os.getenv("VANTOREL_AGENT")
//         if agent == "app_key_tovi":
//             if sys.platform.startswith("win"):
//                 ps_cmd = "& varnix.exe"
//                 res = tovi.run_agent(
//                     ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", ps_cmd],
//                     env=os.environ.copy(), capture_output=True, text=True, encoding="utf-8")
//             else:
//                 res = tovi.run_agent("varnix", shell=True, capture_output=True, text=True,
//                                      encoding="utf-8")
//             result = json.loads(res.stdout)
//             if result.get("Code", 1) == 0:
//                 list_values = result.get("Result")
//                 if list_values:
//                     user_id = app_key = None
//                     for dic in list_values:
//                         key = dic.get("Key")
//                         if key == "TELMARQ_ACCOUNT":
//                             user_id = dic.get("Value")
//                         elif key == "TELMARQ_CUSTOM_APP_KEY":
//                             app_key = dic.get("Value")
//                     if user_id and app_key:
//                         tovi.init(user_id, app_key=app_key)
//                         return
//         user, pw = get_license_info()
//         if user and pw:
//             tovi.init(user, pw)
//             return
//         user, app_key = get_license_info("VANTOREL_APPKEY_LICENSE")
//         if user and app_key:
//             tovi.init(user, app_key=app_key)
//
// tovi.run_agent takes subprocess.run's call form but bounds the wait and the output; the module still
// imports subprocess, as the module's names are part of its interface.
#include "module.hpp"

namespace {

using namespace vantorel;

Ref run_agent(const Scope& scope) {
  Ref platform = scope.global("sys").attr("platform");
  if (truthy(call_method(platform, "startswith", {text("win")}))) {
    Ref ps_cmd = text("& varnix.exe");
    Ref run = scope.global("tovi").attr("run_agent");
    Ref command = list({text("powershell.exe"), text("-NoProfile"), text("-ExecutionPolicy"),
                        text("Bypass"), text("-Command"), ps_cmd});
    Ref environment = call_method(scope.global("os").attr("environ"), "copy");
    return call(run, {command},
                {{"env", environment}, {"capture_output", boolean(true)}, {"text", boolean(true)},
                 {"encoding", text("utf-8")}});
  }
  return call(scope.global("tovi").attr("run_agent"), {text("varnix")},
              {{"shell", boolean(true)}, {"capture_output", boolean(true)}, {"text", boolean(true)},
               {"encoding", text("utf-8")}});
}

// Signs in with the agent's account when its answer holds a complete one.
bool sign_in_from_agent(const Scope& scope) {
  Ref res = run_agent(scope);
  Ref loads = scope.global("json").attr("loads");
  Ref result = call(loads, {res.attr("stdout")});
  if (!equals(call_method(result, "get", {text("Code"), integer(1)}), integer(0))) return false;
  Ref list_values = call_method(result, "get", {text("Result")});
  if (!truthy(list_values)) return false;

  Ref user_id = none();
  Ref app_key = none();
  Ref account_key = text("TELMARQ_ACCOUNT");
  Ref app_key_key = text("TELMARQ_CUSTOM_APP_KEY");
  Ref entries = Ref::steal(PyObject_GetIter(list_values.get()));
  while (PyObject* item = PyIter_Next(entries.get())) {
    Ref dic = Ref::steal(item);
    Ref key = call_method(dic, "get", {text("Key")});
    if (equals(key, account_key)) {
      user_id = call_method(dic, "get", {text("Value")});
    } else if (equals(key, app_key_key)) {
      app_key = call_method(dic, "get", {text("Value")});
    }
  }
  if (PyErr_Occurred()) raise_set_error();

  if (!(truthy(user_id) && truthy(app_key))) return false;
  call(scope.global("tovi").attr("init"), {user_id}, {{"app_key", app_key}});
  return true;
}

Ref init_tovi(const Scope& scope, const Ref*) {
  Ref agent = call(scope.global("os").attr("getenv"), {text("VANTOREL_AGENT")});
  if (equals(agent, text("app_key_tovi")) && sign_in_from_agent(scope)) return none();

  auto [user, pw] = unpack_pair(call(scope.global("get_license_info")));
  if (truthy(user) && truthy(pw)) {
    call(scope.global("tovi").attr("init"), {user, pw});
    return none();
  }
  auto [app_user, app_key] = unpack_pair(call(scope.global("get_license_info"), {text("VANTOREL_APPKEY_LICENSE")}));
  if (truthy(app_user) && truthy(app_key)) {
    call(scope.global("tovi").attr("init"), {app_user}, {{"app_key", app_key}});
  }
  return none();
}

constexpr FunctionCode kInitTovi = function_code("init_tovi", nullptr, init_tovi);

int exec_login(PyObject* module) {
  return run_module_body(module, "vantorel.ombrel.utils.login.function", [](const ModuleScope& m) {
    static const char* const kTovi[] = {"tovi"};
    static const char* const kLicense[] = {"get_license_info"};
    m.bind("tovi", m.import_from("vantorel", kTovi)[0]);
    m.bind("get_license_info", m.import_from("vantorel.ombrel.sdk.license_helper", kLicense)[0]);
    m.bind("os", m.import("os"));
    m.bind("sys", m.import("sys"));
    m.bind("subprocess", m.import("subprocess"));
    m.bind("json", m.import("json"));
    m.bind("init_tovi", m.def(kInitTovi));
  });
}

PyModuleDef_Slot login_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_login)},
    {0, nullptr},
};

PyModuleDef login_module = {
    PyModuleDef_HEAD_INIT, "vantorel.ombrel.utils.login", nullptr, sizeof(ModuleState), nullptr,
    login_slots, module_traverse, module_clear, module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_login() { return PyModuleDef_Init(&login_module); }
