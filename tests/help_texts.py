"""Help texts the group prints both through CliRunner (program name "cli") and as the installed command."""


def group_help(prog):
    return (
        f"Usage: {prog} [OPTIONS] COMMAND [ARGS]...\n"
        "\n"
        "  输入 vantorel [COMMAND] --help 查看命令详情 例如：vantorel update-data --help\n"
        "\n"
        "Options:\n"
        "  -h, --help  Show this message and exit.\n"
        "\n"
        "Commands:\n"
        "  check-data     检查bundle中的数据是否正确\n"
        "  download-data  下载样例回测数据。 下载样例数据不使用vantorel流量。\n"
        "  license        配置 vantorel 用户名和密码到环境变量\n"
        "  shell          打开 ipython 并执行 tovi.init\n"
        "  update-data    更新运行回测所需的历史数据\n"
    )


# The description paragraph of update-data's help page, as click lays it out.
UPDATE_DESCRIPTION = (
    "  更新运行回测所需的历史数据\n"
    "\n"
    "  例如：\n"
    "  * 更新日线数据： vantorel update-data --base\n"
    "  * 更新股票、期权分钟数据： vantorel update-data --minbar stock --minbar option\n"
    "  * 更新鸡蛋期货合约tick数据： vantorel update-data --tick JD\n"
    "  * 更新豆粕1905及其合约的衍生品tick数据： vantorel update-data --tick M1905 --with-derivatives\n"
    "  * 更新已下载的分钟线和tick数据： vantorel update-data --smart\n"
)
