"""The front end and the login against a stand-in kit that holds only the names they may call.

A replacement kit needs only the constants, the two account-store functions, `tovi.init` and the six
bundle functions. The stand-in below offers exactly those, each recording its calls, ahead of the real
kit on the import path; the native modules are linked into it. A call to anything else on the kit
fails the run with an AttributeError or ImportError, which the table below would show.
"""
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

APPKEY = "VANTOREL_APPKEY_LICENSE"
DEFAULT = "/nonexistent/standin-bundle"

# The whole kit as the native modules may see it: module -> source.
RECORDING = "from standin_record import record\n"
STANDIN = {
    "vantorel/__init__.py": "",
    "vantorel/tovi.py": RECORDING + "def init(*args, **kwargs):\n    record('tovi.init', args, kwargs)\n",
    "vantorel/ombrel/__init__.py": "",
    "vantorel/ombrel/sdk/__init__.py": "",
    "vantorel/ombrel/sdk/const.py": (
        f"DEFAULT_BUNDLE_PATH = {DEFAULT!r}\nTAG_MAP = {{'stock': 1, 'futures': 2}}\nCONCERNED_PACKAGES = ()\n"),
    "vantorel/ombrel/sdk/license_helper.py": RECORDING + (
        "from standin_record import plan\n"
        "def get_license_info(*args, **kwargs):\n"
        "    record('get_license_info', args, kwargs)\n"
        "    return plan['pairs'].get(args[0] if args else 'VANTOREL_LICENSE', (None, None))\n"
        "def set_to_environ(*args, **kwargs):\n"
        "    record('set_to_environ', args, kwargs)\n"),
    "vantorel/ombrel/utils/__init__.py": "",
    "vantorel/ombrel/alpha/__init__.py": "",
    "vantorel/ombrel/alpha/bundle.py": RECORDING + "".join(
        f"def {name}(*args, **kwargs):\n    return record({name!r}, args, kwargs)\n"
        for name in ("update_bundle_from_corvane", "update_bundle_from_exist_file", "check_min_bar_data",
                     "download_simple_bundle")),
    "vantorel/ombrel/alpha/utils/__init__.py": "",
    "vantorel/ombrel/alpha/utils/scripts.py": RECORDING + (
        "def check_tick(*args, **kwargs):\n    record('check_tick', args, kwargs)\n"),
    "vantorel/ombrel/cmds/__init__.py": "",
    "vantorel/ombrel/cmds/bundle.py": RECORDING + (
        "def check_bundle_data(*args, **kwargs):\n    record('check_bundle_data', args, kwargs)\n"),
    # Not part of the kit: the log and the plan a case runs under.
    "standin_record.py": (
        "import ast, os\n"
        "plan = ast.literal_eval(os.environ['STANDIN_PLAN'])\n"
        "def record(name, args, kwargs):\n"
        "    with open(os.environ['STANDIN_LOG'], 'a', encoding='utf-8') as log:\n"
        "        log.write(repr((name, args, kwargs)) + '\\n')\n"
        "    return plan['results'].get(name)\n"),
}
NATIVE = ("vantorel.ombrel.sdk.cmds", "vantorel.ombrel.utils.login")

# Runs `vantorel <argv>` on the stand-in. The agent and IPython are replaced where a case says so:
# subprocess.run is the call the login makes, as a test patching it would see it.
RUN = r"""
import os, subprocess, sys, types
from standin_record import plan, record
# An editable install's finder would answer for the package before the path does.
sys.meta_path[:] = [finder for finder in sys.meta_path if 'editable' not in type(finder).__module__]
import vantorel
assert vantorel.__file__.startswith(os.environ['STANDIN_ROOT']), vantorel.__file__

def run(*args, **kwargs):
    if kwargs.get('env') is not None:
        assert type(kwargs['env']) is dict and kwargs['env'] == dict(os.environ)
        kwargs['env'] = 'copy of os.environ'
    record('subprocess.run', args, kwargs)
    return subprocess.CompletedProcess(args[0], 5, stdout=plan['agent'], stderr='ignored')

subprocess.run = run
sys.modules['IPython'] = types.SimpleNamespace(embed=lambda *a, **k: record('IPython.embed', a, k))
from vantorel.ombrel.sdk.cmds import cli
sys.platform = plan.get('platform', sys.platform)
cli(sys.argv[1:], prog_name='vantorel')
"""


@pytest.fixture(scope="module")
def standin(tmp_path_factory):
    root = tmp_path_factory.mktemp("standin")
    for name, source in STANDIN.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(source, encoding="utf-8")
    for module in NATIVE:
        origin = pathlib.Path(importlib.util.find_spec(module).origin)
        (root / module.replace(".", "/")).with_name(origin.name).symlink_to(origin)
    return root


def call(name, *args, **kwargs):
    return (name, args, kwargs)


def corvane(path, concurrency=3, base=False, minbar=(), tick=(), with_derivatives=False, rebuild=False):
    return call("update_bundle_from_corvane", concurrency, path, base, minbar, tick, with_derivatives,
                rebuild=rebuild)


POSIX_AGENT = call("subprocess.run", "varnix", shell=True, capture_output=True, text=True, encoding="utf-8",
                   timeout=60.0)
WINDOWS_AGENT = call("subprocess.run", ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command",
                                        "& varnix.exe"],
                     env="copy of os.environ", capture_output=True, text=True, encoding="utf-8", timeout=60.0)
STORE_READS = [call("get_license_info"), call("get_license_info", APPKEY)]
AGENT_ANSWER = ('{"Code": 0, "Result": [{"Key": "TELMARQ_ACCOUNT", "Value": "acct"}, '
                '{"Key": "TELMARQ_CUSTOM_APP_KEY", "Value": "key"}]}')

# id, argv ({B}: a bundle path holding bundle/, {E}: one without), plan, environment, stdin,
#   expected calls, exit status, text the output holds
CASES = [
    ("license password", ["license", "-u", "u", "-p", "p"], {}, {}, None,
     [call("set_to_environ", "VANTOREL_LICENSE", "u:p")], 0, ""),
    ("license app key and env", ["license", "--username", "u", "-k", "k", "--env", "uat"], {}, {}, None,
     [call("set_to_environ", APPKEY, "u:k"), call("set_to_environ", "vantorelsdk_env", "uat")], 0, ""),
    ("license both secrets, unknown env", ["license", "-u", "u", "--password", "p", "-k", "k", "--env", "UAT"],
     {}, {}, None, [call("set_to_environ", "VANTOREL_LICENSE", "u:p")], 0, ""),
    ("license interactive", ["license"], {}, {}, "alice\napp-key\nkk\n",
     [call("set_to_environ", APPKEY, "alice:kk")], 0, "请输入app-key"),
    ("license show, tuple and list pairs", ["license", "--show", "-u", "x"],
     {"pairs": {"VANTOREL_LICENSE": ("u", "p"), APPKEY: ["k", "K"]}}, {"vantorelsdk_env": "wm"}, None,
     STORE_READS, 0, "用户名: u\n密码: p\n用户名: k\napp_key: K\n当前环境: wm\n"),
    ("license show, incomplete pairs", ["license", "--show"],
     {"pairs": {"VANTOREL_LICENSE": ("u", ""), APPKEY: (None, "K")}}, {"vantorelsdk_env": "wmout"}, None,
     STORE_READS, 0, ""),
    ("license show, pair of three", ["license", "--show"], {"pairs": {"VANTOREL_LICENSE": ("u", "p", "x")}}, {},
     None, [call("get_license_info")], 1, "ValueError: too many values to unpack"),
    ("update nothing to do prints help", ["update-data"], {}, {}, None, STORE_READS, 0, "--with-derivatives"),
    ("update base over a bundle", ["update-data", "--base", "-d", "{B}"],
     {"pairs": {"VANTOREL_LICENSE": ("u", "p")}}, {}, None,
     [call("get_license_info"), call("tovi.init", "u", "p"), call("check_tick", "{B}/bundle"),
      corvane("{B}", base=True)], 0, ""),
    ("update every option, app-key account", ["update-data", "--minbar", "stock", "--minbar", "option", "--tick",
                                              "JD", "--with-derivatives", "-c", "2", "--smart", "--rebuild",
                                              "--data-bundle-path", "{E}"],
     {"pairs": {APPKEY: ("k", "K")}}, {}, None,
     STORE_READS + [call("tovi.init", "k", app_key="K"),
                    corvane("{E}", 2, False, ("stock", "option"), ("JD",), True, True),
                    call("update_bundle_from_exist_file", 2, "{E}")], 0, ""),
    ("update failure still runs smart, exits 1", ["update-data", "--smart", "--concurrency", "4"],
     {"results": {"update_bundle_from_corvane": False, "update_bundle_from_exist_file": True}}, {}, None,
     STORE_READS + [corvane(DEFAULT, 4), call("update_bundle_from_exist_file", 4, DEFAULT)], 1, ""),
    ("agent on posix", ["update-data", "--tick", "JD", "-d", "{E}"], {"agent": AGENT_ANSWER, "platform": "linux"},
     {"VANTOREL_AGENT": "app_key_tovi"}, None,
     [POSIX_AGENT, call("tovi.init", "acct", app_key="key"), corvane("{E}", tick=("JD",))], 0, ""),
    ("agent on windows", ["update-data", "--base", "-d", "{E}"], {"agent": AGENT_ANSWER, "platform": "win32"},
     {"VANTOREL_AGENT": "app_key_tovi"}, None,
     [WINDOWS_AGENT, call("tovi.init", "acct", app_key="key"), corvane("{E}", base=True)], 0, ""),
    ("agent without account falls back, bound set", ["update-data", "--base", "-d", "{E}"],
     {"agent": '{"Code": 2}', "pairs": {"VANTOREL_LICENSE": ("u", "p")}},
     {"VANTOREL_AGENT": "app_key_tovi", "VANTOREL_AGENT_TIMEOUT": " 2.5 "}, None,
     [POSIX_AGENT[:2] + ({**POSIX_AGENT[2], "timeout": 2.5},),
      call("get_license_info"), call("tovi.init", "u", "p"), corvane("{E}", base=True)], 0, ""),
    ("agent bound out of range starts nothing", ["update-data", "--base"], {"agent": AGENT_ANSWER},
     {"VANTOREL_AGENT": "app_key_tovi", "VANTOREL_AGENT_TIMEOUT": "3601"}, None, [], 1,
     "ValueError: VANTOREL_AGENT_TIMEOUT 无效：'3601'（应为 1 到 3600 之间的秒数）"),
    ("check all", ["check-data", "-d", "{E}"], {}, {}, None,
     [call("check_min_bar_data", "{E}"), call("check_bundle_data", "{E}/bundle")], 0, ""),
    ("check minbar", ["check-data", "--minbar"], {}, {}, None, [call("check_min_bar_data", DEFAULT)], 0, ""),
    ("check daybar", ["check-data", "--daybar", "-d", "{B}"], {}, {}, None,
     [call("check_bundle_data", "{B}/bundle")], 0, ""),
    ("download default", ["download-data"], {}, {}, None,
     [call("download_simple_bundle", DEFAULT, sample=False, file_path=None)], 0, ""),
    ("download sample from file", ["download-data", "--sample", "-f", "a.tar.gz", "-d", "{E}"], {}, {}, None,
     [call("download_simple_bundle", "{E}", sample=True, file_path="a.tar.gz")], 0, ""),
    ("shell", ["shell"], {}, {}, None, [call("IPython.embed")], 0, ""),
]


def fill(value, paths):
    """The case's {B}/{E} placeholders, wherever they stand, replaced by this run's paths."""
    if isinstance(value, str):
        for name, path in paths.items():
            value = value.replace("{%s}" % name, path)
        return value
    if isinstance(value, (list, tuple)):
        return type(value)(fill(item, paths) for item in value)
    if isinstance(value, dict):
        return {key: fill(item, paths) for key, item in value.items()}
    return value


@pytest.mark.parametrize("argv, plan, env, stdin, expected, status, output",
                         [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_commands_call_only_what_the_kit_offers(standin, tmp_path, argv, plan, env, stdin, expected, status,
                                                output):
    (tmp_path / "B" / "bundle").mkdir(parents=True)
    paths = {"B": str(tmp_path / "B"), "E": str(tmp_path / "E")}
    log = tmp_path / "calls.log"
    plan = {"pairs": {}, "agent": "", **plan}
    plan["results"] = {"update_bundle_from_corvane": True, "update_bundle_from_exist_file": True,
                       **plan.get("results", {})}
    environment = {key: value for key, value in os.environ.items()
                   if not key.startswith("VANTOREL_") and key != "vantorelsdk_env"}
    environment.update(env, PYTHONPATH=str(standin), STANDIN_ROOT=str(standin), STANDIN_LOG=str(log),
                       STANDIN_PLAN=repr(plan), PYTHONIOENCODING="utf-8")
    proc = subprocess.run([sys.executable, "-c", RUN, *fill(argv, paths)], input=stdin, capture_output=True,
                          text=True, encoding="utf-8", env=environment, cwd=tmp_path, timeout=60)
    # Compared as text: True is not 1, a tuple not a list, and keywords come in the order passed.
    calls = log.read_text(encoding="utf-8").splitlines() if log.exists() else []
    assert calls == [repr(call) for call in fill(expected, paths)], proc.stderr
    assert proc.returncode == status, proc.stderr
    assert output in proc.stdout + proc.stderr
    assert "AttributeError" not in proc.stderr and "ImportError" not in proc.stderr


# What the native sources may name on the kit: the contract above, and the modules that hold it.
KIT_MODULES = {
    "vantorel": {"tovi"},
    "vantorel.tovi": {"init"},
    "vantorel.ombrel.sdk.const": {"DEFAULT_BUNDLE_PATH", "TAG_MAP", "CONCERNED_PACKAGES"},
    "vantorel.ombrel.sdk.license_helper": {"get_license_info", "set_to_environ"},
    "vantorel.ombrel.alpha.bundle": {"update_bundle_from_corvane", "update_bundle_from_exist_file",
                                     "check_min_bar_data", "download_simple_bundle"},
    "vantorel.ombrel.cmds.bundle": {"check_bundle_data"},
    "vantorel.ombrel.alpha.utils.scripts": {"check_tick"},
}
NATIVE_SOURCES = pathlib.Path(__file__).resolve().parents[1] / "native"


def native_literals():
    """Every string literal in the native sources, comments excluded."""
    literals = set()
    for source in NATIVE_SOURCES.rglob("*.[ch]pp"):
        code = re.sub(r"//[^\n]*", "", source.read_text(encoding="utf-8"))
        literals.update(re.findall(r'"((?:[^"\\\n]|\\.)*)"', code))
    return literals


@pytest.mark.skipif(not NATIVE_SOURCES.is_dir(), reason="the native sources are not beside the tests")
def test_native_sources_name_nothing_else_on_the_kit():
    import types

    literals = native_literals()
    modules = {literal for literal in literals if re.fullmatch(r"vantorel(\.\w+)*", literal)
               and not literal.startswith(NATIVE)}  # the native modules' own names, as of their types
    assert modules <= set(KIT_MODULES)
    # Nor a module of the kit reached as an attribute of one the contract names, or of their packages.
    on_the_way = {part for name in [*KIT_MODULES, *NATIVE] for part in name.split(".")}
    holders = {".".join(name.split(".")[:end]) for name in KIT_MODULES for end in range(1, name.count(".") + 2)}
    reached = {attribute for holder in holders for attribute, value in vars(importlib.import_module(holder)).items()
               if isinstance(value, types.ModuleType) and value.__name__.startswith("vantorel.")}
    assert (reached - on_the_way) & literals == set()
    contract = set().union(*KIT_MODULES.values())
    beyond = {}
    for module_name in KIT_MODULES:
        module = importlib.import_module(module_name)
        kit_names = {name for name, value in vars(module).items()
                     if not name.startswith("__") and not isinstance(value, types.ModuleType)}
        named = (kit_names - contract) & literals
        if named:
            beyond[module_name] = sorted(named)
    assert beyond == {}
