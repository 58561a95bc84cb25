// `vantorel download-data`: fetches the sample bundle.
//
// Equivalent Python:
//
//     @cli.command()
//     @click.option("-d", "--data-bundle-path", default=DEFAULT_BUNDLE_PATH,
//                   type=click.Path(file_okay=False), help="bundle 目录，默认为 {}".format(DEFAULT_BUNDLE_PATH))
//     @click.option("--sample", is_flag=True, help="下载数据样例")
//     @click.option("-f", "--file-path", default=None, help="指定的压缩文件包")
//     def download_data(data_bundle_path, sample=True, file_path=None):
//         """
//         下载样例回测数据。
//         下载样例数据不使用vantorel流量。
//         """
//         from vantorel.ombrel.alpha.bundle import download_simple_bundle
//         return download_simple_bundle(data_bundle_path, sample=sample, file_path=file_path)
#include "commands.hpp"

namespace vantorel::cmds {
namespace {

Ref download_data(const Scope& scope, const Ref* args) {
  static const char* const kNames[] = {"download_simple_bundle"};
  Ref download_simple_bundle = scope.import_from("vantorel.ombrel.alpha.bundle", kNames)[0];
  return call(download_simple_bundle, {args[0]}, {{"sample", args[1]}, {"file_path", args[2]}});
}

constexpr const char* kDownloadDataParameters[] = {"data_bundle_path", "sample", "file_path"};
constexpr FunctionCode kDownloadData = function_code(
    "download_data", "下载样例回测数据。\n下载样例数据不使用vantorel流量。", kDownloadDataParameters, download_data);

}  // namespace

void define_download_data(const ModuleScope& m) {
  Ref command = command_decorator(m);
  Ref data_bundle_path = bundle_path_option(m);
  Ref sample = option(m, {text("--sample")}, {{"is_flag", boolean(true)}, {"help", text("下载数据样例")}});
  Ref file_path = option(m, {text("-f"), text("--file-path")}, {{"default", none()}, {"help", text("指定的压缩文件包")}});
  register_command(m, "download_data", command, {data_bundle_path, sample, file_path},
                   m.def(kDownloadData, {boolean(true), none()}));
}

}  // namespace vantorel::cmds
