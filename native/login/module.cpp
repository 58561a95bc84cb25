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
//                 res = subprocess.run(
//                     ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", ps_cmd],
//                     env=os.environ.copy(), capture_output=True, text=True, encoding="utf-8",
//                     timeout=AGENT_TIMEOUT)
//             else:
//                 res = subprocess.run("varnix", shell=True, capture_output=True, text=True,
//                                      encoding="utf-8", timeout=AGENT_TIMEOUT)
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
// AGENT_TIMEOUT is no module name: it stands for VANTOREL_AGENT_TIMEOUT, read when the agent is run.
#include <cstdlib>

#include "module.hpp"

namespace {

using namespace vantorel;

constexpr double kAgentTimeoutDefault = 60.0;
constexpr double kAgentTimeoutMin = 1.0;
constexpr double kAgentTimeoutMax = 3600.0;

// Seconds subprocess.run waits for the agent. Read with the C library, not os.getenv or os.environ:
// a test that patches the module's os must see only the calls the login makes in Python; writes to
// os.environ reach the C environment through putenv all the same.
Ref agent_timeout() {
  const char* raw = std::getenv("VANTOREL_AGENT_TIMEOUT");
  if (raw == nullptr) return Ref::steal(PyFloat_FromDouble(kAgentTimeoutDefault));
  Ref setting = Ref::steal(PyUnicode_DecodeFSDefault(raw));
  if (!truthy(call_method(setting, "strip"))) return Ref::steal(PyFloat_FromDouble(kAgentTimeoutDefault));
  // float() as Python reads it; "nan" and "inf" parse and then fail the range test.
  if (PyObject* parsed = PyFloat_FromString(setting.get())) {
    Ref seconds = Ref::steal(parsed);
    double value = PyFloat_AsDouble(parsed);
    if (value >= kAgentTimeoutMin && value <= kAgentTimeoutMax) return seconds;
  } else {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) raise_set_error();
    PyErr_Clear();
  }
  Ref message = call_method(text("VANTOREL_AGENT_TIMEOUT 无效：{!r}（应为 {:g} 到 {:g} 之间的秒数）"), "format",
                            {setting, Ref::steal(PyFloat_FromDouble(kAgentTimeoutMin)),
                             Ref::steal(PyFloat_FromDouble(kAgentTimeoutMax))});
  PyErr_SetObject(PyExc_ValueError, message.get());
  raise_set_error();
}

Ref run_agent(const Scope& scope) {
  Ref platform = scope.global("sys").attr("platform");
  if (truthy(call_method(platform, "startswith", {text("win")}))) {
    Ref ps_cmd = text("& varnix.exe");
    Ref run = scope.global("subprocess").attr("run");
    Ref command = list({text("powershell.exe"), text("-NoProfile"), text("-ExecutionPolicy"),
                        text("Bypass"), text("-Command"), ps_cmd});
    Ref environment = call_method(scope.global("os").attr("environ"), "copy");
    return call(run, {command},
                {{"env", environment}, {"capture_output", boolean(true)}, {"text", boolean(true)},
                 {"encoding", text("utf-8")}, {"timeout", agent_timeout()}});
  }
  Ref run = scope.global("subprocess").attr("run");
  return call(run, {text("varnix")},
              {{"shell", boolean(true)}, {"capture_output", boolean(true)}, {"text", boolean(true)},
               {"encoding", text("utf-8")}, {"timeout", agent_timeout()}});
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
