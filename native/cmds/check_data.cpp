// `vantorel check-data`: checks the local bundle for anomalies.
//
// Equivalent Python:
//
//     @cli.command()
//     @click.option("-d", "--data-bundle-path", default=DEFAULT_BUNDLE_PATH,
//                   type=click.Path(file_okay=False), help="bundle 目录，默认为 {}".format(DEFAULT_BUNDLE_PATH))
//     @click.option("--minbar", is_flag=True, default=False, help="检查分钟数据是否异常")
//     @click.option("--daybar", is_flag=True, default=False, help="检查日线数据是否异常")
//     def check_data(data_bundle_path, minbar, daybar):
//         """检查bundle中的数据是否正确"""
//         check_all = not any([minbar, daybar])
//         from vantorel.ombrel.alpha.bundle import check_min_bar_data
//         from vantorel.ombrel.cmds.bundle import check_bundle_data
//         if minbar or check_all:
//             check_min_bar_data(data_bundle_path)
//         if daybar or check_all:
//             check_bundle_data(os.path.join(data_bundle_path, "bundle"))
#include "commands.hpp"

namespace vantorel::cmds {
namespace {

Ref check_data(const Scope& scope, const Ref* args) {
  const Ref& data_bundle_path = args[0];
  const Ref& minbar = args[1];
  const Ref& daybar = args[2];

  Ref any = scope.global("any");
  bool check_all = !truthy(call(any, {list({minbar, daybar})}));

  static const char* const kMinBar[] = {"check_min_bar_data"};
  static const char* const kDayBar[] = {"check_bundle_data"};
  Ref check_min_bar_data = scope.import_from("vantorel.ombrel.alpha.bundle", kMinBar)[0];
  Ref check_bundle_data = scope.import_from("vantorel.ombrel.cmds.bundle", kDayBar)[0];

  if (truthy(minbar) || check_all) call(check_min_bar_data, {data_bundle_path});
  if (truthy(daybar) || check_all) {
    Ref join = scope.global("os").attr("path").attr("join");
    call(check_bundle_data, {call(join, {data_bundle_path, text("bundle")})});
  }
  return none();
}

constexpr const char* kCheckDataParameters[] = {"data_bundle_path", "minbar", "daybar"};
constexpr FunctionCode kCheckData =
    function_code("check_data", "检查bundle中的数据是否正确", kCheckDataParameters, check_data);

}  // namespace

void define_check_data(const ModuleScope& m) {
  Ref command = command_decorator(m);
  Ref data_bundle_path = bundle_path_option(m);
  Ref minbar = option(m, {text("--minbar")},
                    {{"is_flag", boolean(true)}, {"default", boolean(false)}, {"help", text("检查分钟数据是否异常")}});
  Ref daybar = option(m, {text("--daybar")},
                    {{"is_flag", boolean(true)}, {"default", boolean(false)}, {"help", text("检查日线数据是否异常")}});
  register_command(m, "check_data", command, {data_bundle_path, minbar, daybar}, m.def(kCheckData));
}

}  // namespace vantorel::cmds
