// `vantorel update-data`: signs in and brings the local bundle up to date.
//
// Equivalent Python:
//
//     @cli.command()
//     @click.option("-d", "--data-bundle-path", default=DEFAULT_BUNDLE_PATH,
//                   type=click.Path(file_okay=False), help="bundle 目录，默认为 {}".format(DEFAULT_BUNDLE_PATH))
//     @click.option("--base", is_flag=True, default=False, help="更新基础数据及日线，注意：任何回测都需要依赖基础数据")
//     @click.option("--minbar", multiple=True, type=click.STRING,
//                   help="更新分钟线数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code".format(", ".join(TAG_MAP)))
//     @click.option("--tick", multiple=True, type=click.STRING,
//                   help="更新tick数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code".format(", ".join(TAG_MAP)))
//     @click.option("--with-derivatives", is_flag=True, default=False, help="更新分钟线和 tick 时同时更新选择的合约的衍生品数据")
//     @click.option("-c", "--concurrency", type=click.INT, default=3, help="并行的线程数量，需要低于 corvane 的最大可用连接数")
//     @click.option("--smart", is_flag=True, default=False, help="检索本地已经存在的分钟线和 tick 数据，增量更新对应品种的数据和日线数据")
//     @click.option("--rebuild", is_flag=True, default=False, help="将指定的合约 h5 文件从头进行更新，仅对--minbar、--tick生效")
//     def update_data(data_bundle_path, base, minbar, tick, with_derivatives, concurrency, smart, rebuild):
//         """...see kUpdateDataDoc..."""
//         from vantorel.ombrel.utils.login import init_tovi
//         init_tovi()
//         if base is False and not minbar and not tick and smart is False:
//             from click import Context
//             ctx = Context(update_data)
//             click.echo(update_data.get_help(ctx))
//             return 1
//         from vantorel.ombrel.alpha.bundle import update_bundle_from_corvane, update_bundle_from_exist_file
//         from vantorel.ombrel.alpha.utils.scripts import check_tick
//         path = os.path.join(data_bundle_path, "bundle")
//         if os.path.exists(path):
//             check_tick(path)
//         succeed = update_bundle_from_corvane(concurrency, data_bundle_path, base, minbar, tick,
//                                              with_derivatives, rebuild=rebuild)
//         if smart:
//             succeed = update_bundle_from_exist_file(concurrency, data_bundle_path) and succeed
//         if not succeed:
//             sys.exit(1)
#include "commands.hpp"

namespace vantorel::cmds {
namespace {

// The "\b" line keeps click from re-wrapping the examples.
constexpr const char* kUpdateDataDoc =
    "更新运行回测所需的历史数据\n"
    "\n"
    "\b\n"
    "例如：\n"
    "* 更新日线数据： vantorel update-data --base\n"
    "* 更新股票、期权分钟数据： vantorel update-data --minbar stock --minbar option\n"
    "* 更新鸡蛋期货合约tick数据： vantorel update-data --tick JD\n"
    "* 更新豆粕1905及其合约的衍生品tick数据： vantorel update-data --tick M1905 --with-derivatives\n"
    "* 更新已下载的分钟线和tick数据： vantorel update-data --smart";

Ref print_help(const Scope& scope) {
  static const char* const kContext[] = {"Context"};
  Ref Context = scope.import_from("click", kContext)[0];
  Ref ctx = call(Context, {scope.global("update_data")});
  Ref click_echo = click_attr(scope, "echo");
  Ref help = call_method(scope.global("update_data"), "get_help", {ctx});
  call(click_echo, {help});
  return integer(1);
}

Ref update_data(const Scope& scope, const Ref* args) {
  const Ref& data_bundle_path = args[0];
  const Ref& base = args[1];
  const Ref& minbar = args[2];
  const Ref& tick = args[3];
  const Ref& with_derivatives = args[4];
  const Ref& concurrency = args[5];
  const Ref& smart = args[6];
  const Ref& rebuild = args[7];

  static const char* const kLogin[] = {"init_tovi"};
  Ref init_tovi = scope.import_from("vantorel.ombrel.utils.login", kLogin)[0];
  call(init_tovi);

  if (is_false(base) && !truthy(minbar) && !truthy(tick) && is_false(smart)) return print_help(scope);

  static const char* const kUpdates[] = {"update_bundle_from_corvane", "update_bundle_from_exist_file"};
  static const char* const kScripts[] = {"check_tick"};
  auto [update_bundle_from_corvane, update_bundle_from_exist_file] =
      scope.import_from("vantorel.ombrel.alpha.bundle", kUpdates);
  Ref check_tick = scope.import_from("vantorel.ombrel.alpha.utils.scripts", kScripts)[0];

  Ref join = scope.global("os").attr("path").attr("join");
  Ref path = call(join, {data_bundle_path, text("bundle")});
  Ref exists = scope.global("os").attr("path").attr("exists");
  if (truthy(call(exists, {path}))) call(check_tick, {path});

  Ref succeed = call(update_bundle_from_corvane,
                     {concurrency, data_bundle_path, base, minbar, tick, with_derivatives},
                     {{"rebuild", rebuild}});
  if (truthy(smart)) {
    Ref succeed_exist = call(update_bundle_from_exist_file, {concurrency, data_bundle_path});
    if (!truthy(succeed_exist)) succeed = succeed_exist;
  }
  if (!truthy(succeed)) call(scope.global("sys").attr("exit"), {integer(1)});
  return none();
}

constexpr const char* kUpdateDataParameters[] = {"data_bundle_path", "base", "minbar", "tick",
                                                 "with_derivatives", "concurrency", "smart", "rebuild"};
constexpr FunctionCode kUpdateData =
    function_code("update_data", kUpdateDataDoc, kUpdateDataParameters, update_data);

}  // namespace

void define_update_data(const ModuleScope& m) {
  Ref command = command_decorator(m);
  Ref data_bundle_path = bundle_path_option(m);
  Ref base = option(m, {text("--base")},
                    {{"is_flag", boolean(true)}, {"default", boolean(false)},
                     {"help", text("更新基础数据及日线，注意：任何回测都需要依赖基础数据")}});
  Ref make_option = click_attr(m, "option");
  Ref string_type = click_attr(m, "STRING");
  Ref categories = call_method(text(", "), "join", {m.global("TAG_MAP")});
  Ref minbar_help = call_method(text("更新分钟线数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code"),
                                "format", {categories});
  Ref minbar = call(make_option, {text("--minbar")},
                    {{"multiple", boolean(true)}, {"type", string_type}, {"help", minbar_help}});
  make_option = click_attr(m, "option");
  string_type = click_attr(m, "STRING");
  categories = call_method(text(", "), "join", {m.global("TAG_MAP")});
  Ref tick_help = call_method(text("更新tick数据，可选的参数值有 [{}] 或 underlying_symbol 或 market_code"),
                              "format", {categories});
  Ref tick = call(make_option, {text("--tick")},
                  {{"multiple", boolean(true)}, {"type", string_type}, {"help", tick_help}});
  Ref with_derivatives = option(m, {text("--with-derivatives")},
                                {{"is_flag", boolean(true)}, {"default", boolean(false)},
                                 {"help", text("更新分钟线和 tick 时同时更新选择的合约的衍生品数据")}});
  make_option = click_attr(m, "option");
  Ref concurrency = call(make_option, {text("-c"), text("--concurrency")},
                           {{"type", click_attr(m, "INT")},
                            {"default", integer(3)},
                            {"help", text("并行的线程数量，需要低于 corvane 的最大可用连接数")}});
  Ref smart = option(m, {text("--smart")},
                     {{"is_flag", boolean(true)}, {"default", boolean(false)},
                      {"help", text("检索本地已经存在的分钟线和 tick 数据，增量更新对应品种的数据和日线数据")}});
  Ref rebuild = option(m, {text("--rebuild")},
                       {{"is_flag", boolean(true)}, {"default", boolean(false)},
                        {"help", text("将指定的合约 h5 文件从头进行更新，仅对--minbar、--tick生效")}});
  register_command(m, "update_data", command,
                   {data_bundle_path, base, minbar, tick, with_derivatives, concurrency, smart, rebuild},
                   m.def(kUpdateData));
}

}  // namespace vantorel::cmds
