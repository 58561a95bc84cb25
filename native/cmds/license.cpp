// `vantorel license`: records the data-service account and service environment.
//
// Equivalent Python:
//
//     @cli.command()
//     @click.option("--username", "-u", help="用户名")
//     @click.option("--password", "-p", help="密码", hide_input=True)
//     @click.option("-k", "app_key")
//     @click.option("--env", help="环境")
//     @click.option("--show", is_flag=True)
//     def license(username, password, app_key, show, env):
//         """...see kLicenseDoc..."""
//         if show:
//             user, pw = get_license_info()
//             if user and pw:
//                 click.echo(f"用户名: {user}")
//                 click.echo(f"密码: {pw}")
//             user, app_key = get_license_info("VANTOREL_APPKEY_LICENSE")
//             if user and app_key:
//                 click.echo(f"用户名: {user}")
//                 click.echo(f"app_key: {app_key}")
//             ENV = os.getenv("vantorelsdk_env")
//             if ENV and ENV in ("test", "inner", "dev", "uat", "wm"):
//                 click.echo(f"当前环境: {ENV}")
//             return
//         if username is None:
//             username = click.prompt("请输入用户名")
//             if username is None:
//                 click.echo("用户名不能为空")
//                 return
//         if ":" in username:
//             click.echo("用户名不能包含冒号")
//             return
//         if password is None and app_key is None:
//             opt = click.prompt("请选择要输入的内容",
//                                type=click.Choice(["password", "app-key"]), default="password")
//             if opt == "password":
//                 password = click.prompt("请输入密码", hide_input=True)
//                 if password is None:
//                     click.echo("密码不能为空")
//                     return
//             elif opt == "app-key":
//                 app_key = click.prompt("请输入app-key")
//                 if app_key is None:
//                     click.echo("app_key不能为空")
//                     return
//         if password is None and app_key is None:
//             click.echo("密码或app-key不能同时为空")
//             return
//         if password:
//             set_to_environ("VANTOREL_LICENSE", f"{username}:{password}")
//         elif app_key:
//             set_to_environ("VANTOREL_APPKEY_LICENSE", f"{username}:{app_key}")
//         if env in ("test", "inner", "dev", "uat", "wm", "wmout"):
//             set_to_environ("vantorelsdk_env", env)
//
// The colon check is ours: the store keeps "user:secret" and splits at the
// first colon, so a user name holding one would come back as another account.
#include "commands.hpp"

namespace vantorel::cmds {
namespace {

constexpr const char* kLicenseDoc =
    "配置 vantorel 用户名和密码到环境变量\n"
    "\n"
    "vantorel license 进入交互模式\n"
    "vantorel license -u [USERNAME] -p [PASSWORD] -k [APP_KEY] 配置当前环境的用户名和密码或app_key\n"
    "vantorel license --show 显示配置的用户名和密码或app_key\n"
    "vantorel license --env 配置vantorel使用环境，互联网环境无需配置\n"
    "例如: vantorel license -u [user] -p [password]";

Ref prompt(const Scope& scope, const char* message, std::initializer_list<Keyword> settings = {}) {
  return call(click_attr(scope, "prompt"), {text(message)}, settings);
}

Ref show_stored(const Scope& scope) {
  auto [user, pw] = unpack_pair(call(scope.global("get_license_info")));
  if (truthy(user) && truthy(pw)) {
    echo_made(scope, [&] { return format_after("用户名: ", user); });
    echo_made(scope, [&] { return format_after("密码: ", pw); });
  }
  auto [app_user, app_key] =
      unpack_pair(call(scope.global("get_license_info"), {text("VANTOREL_APPKEY_LICENSE")}));
  if (truthy(app_user) && truthy(app_key)) {
    echo_made(scope, [&] { return format_after("用户名: ", app_user); });
    echo_made(scope, [&] { return format_after("app_key: ", app_key); });
  }
  Ref ENV = call(scope.global("os").attr("getenv"), {text("vantorelsdk_env")});
  Ref shown = tuple({text("test"), text("inner"), text("dev"), text("uat"), text("wm")});
  if (truthy(ENV) && contains(shown, ENV)) echo_made(scope, [&] { return format_after("当前环境: ", ENV); });
  return none();
}

// set_to_environ(variable, <expression>), the function read before the value is made.
template <class MakeValue>
void store(const Scope& scope, const char* variable, MakeValue make_value) {
  Ref set_to_environ = scope.global("set_to_environ");
  call(set_to_environ, {text(variable), make_value()});
}

Ref license(const Scope& scope, const Ref* args) {
  Ref username = args[0];
  Ref password = args[1];
  Ref app_key = args[2];
  const Ref& show = args[3];
  const Ref& env = args[4];

  if (truthy(show)) return show_stored(scope);

  if (is_none(username)) {
    username = prompt(scope, "请输入用户名");
    if (is_none(username)) {
      echo(scope, text("用户名不能为空"));
      return none();
    }
  }
  if (contains(username, text(":"))) {
    echo(scope, text("用户名不能包含冒号"));
    return none();
  }
  if (is_none(password) && is_none(app_key)) {
    Ref click_prompt = click_attr(scope, "prompt");
    Ref choice_type = call(click_attr(scope, "Choice"), {list({text("password"), text("app-key")})});
    Ref opt = call(click_prompt, {text("请选择要输入的内容")}, {{"type", choice_type}, {"default", text("password")}});
    if (equals(opt, text("password"))) {
      password = prompt(scope, "请输入密码", {{"hide_input", boolean(true)}});
      if (is_none(password)) {
        echo(scope, text("密码不能为空"));
        return none();
      }
    } else if (equals(opt, text("app-key"))) {
      app_key = prompt(scope, "请输入app-key");
      if (is_none(app_key)) {
        echo(scope, text("app_key不能为空"));
        return none();
      }
    }
  }
  if (is_none(password) && is_none(app_key)) {
    echo(scope, text("密码或app-key不能同时为空"));
    return none();
  }
  if (truthy(password)) {
    store(scope, "VANTOREL_LICENSE", [&] { return format_joined(username, ":", password); });
  } else if (truthy(app_key)) {
    store(scope, "VANTOREL_APPKEY_LICENSE", [&] { return format_joined(username, ":", app_key); });
  }
  Ref accepted = tuple({text("test"), text("inner"), text("dev"), text("uat"), text("wm"), text("wmout")});
  if (contains(accepted, env)) store(scope, "vantorelsdk_env", [&] { return env; });
  return none();
}

constexpr const char* kLicenseParameters[] = {"username", "password", "app_key", "show", "env"};
constexpr FunctionCode kLicense = function_code("license", kLicenseDoc, kLicenseParameters, license);

}  // namespace

void define_license(const ModuleScope& m) {
  Ref command = command_decorator(m);
  register_command(
      m, "license", command,
      {
          option(m, {text("--username"), text("-u")}, {{"help", text("用户名")}}),
          option(m, {text("--password"), text("-p")}, {{"help", text("密码")}, {"hide_input", boolean(true)}}),
          option(m, {text("-k"), text("app_key")}),
          option(m, {text("--env")}, {{"help", text("环境")}}),
          option(m, {text("--show")}, {{"is_flag", boolean(true)}}),
      },
      m.def(kLicense));
}

}  // namespace vantorel::cmds
