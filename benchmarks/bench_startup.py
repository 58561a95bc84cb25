#!/usr/bin/env python
"""Start-up cost of the console command, against the least any front end could cost.

Three sets of figures, each a median over alternating runs in one session:

1. wall and CPU time of ``vantorel --help`` against the floor, an interpreter that only imports
   click and the two kit modules the front end needs; and against the same front end in Python;
2. the cmds module's own line in ``python -X importtime`` (self time: the module's import minus
   the imports it sets off), native against Python, with and without a cached .pyc for Python;
3. where the native module's own time goes: finding it, loading the shared library, creating the
   module, and its body split into click's work and the module's own.

The Python equivalent is generated into a temp dir from the Python quoted at the top of
native/cmds/*.cpp, checked to build the same commands, and never touches the package.

    .venv/bin/python benchmarks/bench_startup.py [--rounds 30] [--probe-runs 30] [--callgrind] [--json out.json]

Run it on a quiet machine: the wall figures move with the load (printed in the header), the CPU
and instruction figures much less.
"""
import argparse
import ast
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path
from statistics import median

ROOT = Path(__file__).resolve().parents[1]
NATIVE_SOURCES = ROOT / "native" / "cmds"
MODULE = "vantorel.ombrel.sdk.cmds"
LOGIN = "vantorel.ombrel.utils.login"
PY_MODULE = "cmds_py"
FLOOR_IMPORTS = ("click", "vantorel.ombrel.sdk.const", "vantorel.ombrel.sdk.license_helper")
WARM_UP = 3


# The Python equivalent -----------------------------------------------------------------------------

def equivalent_block(source):
    """The Python quoted after "Equivalent Python" in a file's opening comment."""
    lines = source.splitlines()
    start = next(i for i, line in enumerate(lines) if "Equivalent Python" in line) + 1
    block = []
    for line in lines[start:]:
        if line.strip() == "//":
            block.append("")
        elif line.startswith("//     "):
            block.append(line[3:])
        else:
            break
    return textwrap.dedent("\n".join(block)).strip("\n")


def doc_constants(source):
    """The C string constants of a file (kLicenseDoc and the like), as Python texts."""
    constants = {}
    for name, literals in re.findall(r'constexpr const char\*\s+(k\w+)\s*=\s*((?:"(?:[^"\\]|\\.)*"\s*)+);',
                                     source):
        # The escapes these texts use (\n, \b, \") mean the same in C and Python.
        constants[name] = "".join(ast.literal_eval(part) for part in re.findall(r'"(?:[^"\\]|\\.)*"', literals))
    return constants


def python_equivalent():
    module_source = (NATIVE_SOURCES / "module.cpp").read_text(encoding="utf-8")
    commands = re.findall(r"^\s*define_(\w+)\(m\);", module_source, re.M)
    if commands[0] != "cli":
        raise SystemExit("module.cpp no longer defines cli first; update the benchmark")
    parts = [equivalent_block(module_source)]
    for command in commands[1:]:
        source = (NATIVE_SOURCES / f"{command}.cpp").read_text(encoding="utf-8")
        constants = doc_constants(source)
        parts.append(re.sub(r'"""\.\.\.see (k\w+)\.\.\."""', lambda match: repr(constants[match.group(1)]),
                            equivalent_block(source)))
    return "\n\n\n".join(parts) + "\n"


# What the console command's launcher does, pointed at the Python equivalent.
LAUNCHER = """\
import sys
from {module} import cli
if __name__ == '__main__':
    sys.argv[0] = sys.argv[0].removesuffix('.exe')
    sys.exit(cli())
"""

# Both modules must build the same commands, or the comparison says nothing.
SAME_COMMANDS = """
import importlib, sys
from click.testing import CliRunner
def describe(module):
    cli, runner = module.cli, CliRunner()
    out = [runner.invoke(cli, ["--help"]).output]
    for name, command in cli.commands.items():
        out.append((name, runner.invoke(cli, [name, "--help"]).output))
        out.append([(p.name, p.opts, p.help, p.default, p.is_flag, p.multiple, p.hide_input, p.type.to_info_dict())
                    for p in command.params])
    return out
native, python = (describe(importlib.import_module(n)) for n in sys.argv[1:3])
for a, b in zip(native, python):
    if a != b:
        print("native:", a, "python:", b, sep="\\n")
sys.exit(native != python)
"""


# Probes, each run in a fresh interpreter ------------------------------------------------------------

# The stubbed mode of both probes: click's group, option, help_option, Path and Choice replaced by
# do-nothing stand-ins, so that the module body costs only the module's own work.
STUB_CLICK = """\
if mode == "stubbed":
    def keep(function):
        return function
    class Group:
        def __init__(self, function):
            self.callback = function
        def command(self, *args, **kwargs):
            return keep
    click.group = lambda *args, **kwargs: Group
    click.option = click.help_option = lambda *args, **kwargs: keep
    click.Path = click.Choice = lambda *args, **kwargs: None
"""

# Runs the import steps of one module by hand, the way importlib runs them, after importing what the
# module needs (argv[3]: also what its body imports on first use, e.g. click's gettext pulling in
# locale), so that, like the module's own line in -X importtime, no other module's import counts.
#   plain:    find_spec, module creation, (Python: get_code), the module body;
#   dlopen:   loads the shared library with ctypes first, and a small stdlib extension for scale;
#   stubbed:  the module body run against STUB_CLICK's stand-ins;
#   discover: prints the modules the import brings in beyond those already imported.
PROBE = r"""
import importlib, importlib.machinery, importlib.util, json, os, resource, sys, time
import click, vantorel.ombrel.sdk.const, vantorel.ombrel.sdk.license_helper
name, mode = sys.argv[1], sys.argv[2]
for extra in filter(None, sys.argv[3].split(",")):
    importlib.import_module(extra)
ns = time.perf_counter_ns
out = {}

if mode == "discover":
    before = set(sys.modules)
    importlib.import_module(name)
    print(json.dumps(sorted(set(sys.modules) - before - {name})))
    sys.exit()

""" + STUB_CLICK + r"""
if mode == "dlopen":
    import ctypes
start = ns(); spec = importlib.util.find_spec(name); out["find_spec"] = ns() - start
if mode == "dlopen":
    reference = next(importlib.util.find_spec(n) for n in ("_csv", "_bisect", "_heapq") if n not in sys.modules)
    libraries = [("dlopen", spec.origin), ("dlopen_reference", reference.origin)]
    if os.getpid() % 2:  # neither always goes first
        libraries.reverse()
    for key, path in libraries:
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        start = ns(); ctypes.CDLL(path, mode=sys.getdlopenflags()); out[key] = ns() - start
        out[key + "_minor_faults"] = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
start = ns(); module = importlib.util.module_from_spec(spec); out["create_module"] = ns() - start
sys.modules[name] = module
# An editable install wraps the real loader.
loader = getattr(spec.loader, "_skbuild_loader", spec.loader)
native = isinstance(loader, importlib.machinery.ExtensionFileLoader)
if not native:
    start = ns(); code = spec.loader.get_code(name); out["get_code"] = ns() - start

def execute(module):
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = ns()
    spec.loader.exec_module(module) if native else exec(code, module.__dict__)
    return ns() - start, resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
out["exec_module"], out["exec_minor_faults"] = execute(module)
if mode == "stubbed":
    # A second module object from the same spec: the same work with the code already paged in and
    # every first-call cost paid.
    out["exec_again"], _ = execute(importlib.util.module_from_spec(spec))
print(json.dumps(out))
"""


def spawn_timed(argv, env):
    """(wall ns, user+system CPU ns) of one run with standard output discarded."""
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)]
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter_ns() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{argv} failed with status {os.waitstatus_to_exitcode(status)}")
    return wall, int((usage.ru_utime + usage.ru_stime) * 1e9)


def alternating(cases, rounds, seed, measure):
    """measure(case) of every case each round, the cases in a new shuffled order every round.

    The first WARM_UP rounds warm the page cache and write the .pyc files, and are not kept."""
    samples = {case: [] for case in cases}
    rng = random.Random(seed)
    order = list(cases)
    for round_ in range(WARM_UP + rounds):
        rng.shuffle(order)
        for case in order:
            result = measure(case)
            if round_ >= WARM_UP:
                samples[case].append(result)
    return samples


def run_wall(commands, rounds, env, seed):
    """Median wall and CPU ms of each command."""
    samples = alternating(commands, rounds, seed, lambda name: spawn_timed(commands[name], env))
    return {name: {"wall": median(w for w, _ in values) / 1e6, "cpu": median(c for _, c in values) / 1e6,
                   "wall_min": min(w for w, _ in values) / 1e6}
            for name, values in samples.items()}


IMPORTTIME_LINE = re.compile(r"^import time:\s+(\d+) \|\s+(\d+) \|\s*(\S+)\s*$")


def importtime(module, env):
    """(self, cumulative) µs of the module's own line in -X importtime."""
    result = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"], env=env,
                            capture_output=True, text=True, check=True)
    for line in result.stderr.splitlines():
        match = IMPORTTIME_LINE.match(line)
        if match and match.group(3) == module:
            return int(match.group(1)), int(match.group(2))
    raise RuntimeError(f"no import time line for {module}:\n{result.stderr}")


def run_importtime(cases, rounds, seed):
    """cases: label -> (module, env); median (self, cumulative) ms per label."""
    samples = alternating(cases, rounds, seed, lambda label: importtime(*cases[label]))
    return {label: {"self": median(s for s, _ in values) / 1000, "cumulative": median(c for _, c in values) / 1000}
            for label, values in samples.items()}


def probe_run(probe, module, mode, preload, env):
    result = subprocess.run([sys.executable, str(probe), module, mode, ",".join(preload)], env=env,
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"probe {module} {mode} failed:\n{result.stderr}")
    return json.loads(result.stdout)


def run_probes(probe, runs, env, seed):
    """Median ns of every step the probe times, per (module, mode); and what each import brings in."""
    modules = (MODULE, PY_MODULE, LOGIN)
    brought_in = {module: probe_run(probe, module, "discover", [], env) for module in modules}
    cases = [(MODULE, "plain"), (MODULE, "dlopen"), (MODULE, "stubbed"), (PY_MODULE, "plain"),
             (PY_MODULE, "stubbed"), (LOGIN, "plain")]
    samples = alternating(cases, runs, seed,
                          lambda case: probe_run(probe, *case, brought_in[case[0]], env))
    medians = {case: {key: median(s[key] for s in values) for key in values[0]} for case, values in samples.items()}
    return medians, brought_in


# Instruction counts under callgrind: the steps of one import between os.getppid() marks (each mark
# starts a new dump), and which functions the native body's own work runs through. With an
# unstripped build in build/ the module's own functions show by name.
CALLGRIND_PROBE = r"""
import glob, importlib.util, marshal, os, sys
import click, vantorel.ombrel.sdk.const, vantorel.ombrel.sdk.license_helper
kind, mode, library = sys.argv[1], sys.argv[2], sys.argv[3]
for extra in filter(None, sys.argv[4].split(",")):
    __import__(extra)
""" + STUB_CLICK + r"""mark = os.getppid
if kind == "python":
    spec = importlib.util.find_spec("cmds_py")
    data = marshal.dumps(spec.loader.get_code("cmds_py"))
    namespace = {"__name__": "cmds_py"}
    mark(); code = marshal.loads(data); mark(); exec(code, namespace); mark()
else:
    spec = importlib.util.spec_from_file_location("vantorel.ombrel.sdk.cmds", library)
    mark(); module = importlib.util.module_from_spec(spec); mark()
    sys.modules[spec.name] = module
    spec.loader.exec_module(module); mark()
"""

# CPython entry points worth seeing in the native body's own work.
CALLGRIND_FUNCTIONS = ("PyImport_ImportModule", "PyDict_GetItemString", "PyObject_GetAttrString",
                       "PyDict_SetItemString", "PyUnicode_FromString", "siphash24", "PyType_FromSpecWithBases",
                       "PyType_FromModuleAndSpec", "do_string_format", "vgetargskeywords")


def callgrind(temp, env, preload, installed):
    """Ir of create/load and body for both modules, with and without click; the native body's hot spots."""
    built = sorted(ROOT.glob("build/*/cmds.abi3.so"), key=os.path.getmtime)
    library = str(built[-1]) if built else installed
    probe = temp / "callgrind_probe.py"
    probe.write_text(CALLGRIND_PROBE, encoding="utf-8")
    counts, hot = {}, []
    for kind in ("native", "python"):
        for mode in ("plain", "stubbed"):
            out = temp / f"callgrind.{kind}.{mode}"
            run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--dump-before=getppid",
                                  sys.executable, str(probe), kind, mode, library, ",".join(preload)],
                                 env=env, capture_output=True, text=True)
            if run.returncode != 0:
                raise SystemExit(f"callgrind run failed:\n{run.stderr[-2000:]}")
            parts = [int(re.search(r"^(?:summary|totals):\s+(\d+)", Path(f"{out}.{i}").read_text(), re.M).group(1))
                     for i in (2, 3)]
            counts[kind, mode] = parts
            if (kind, mode) == ("native", "stubbed"):
                annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", f"{out}.3"],
                                           capture_output=True, text=True).stdout
                for line in annotated.splitlines():
                    match = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)", line)
                    if not match:
                        continue
                    ir, where = int(match.group(1).replace(",", "")), match.group(2)
                    name = where.split(":", 1)[-1].split(" [")[0]
                    if "vantorel::" in name and "exec_cmds" not in name or name in CALLGRIND_FUNCTIONS:
                        hot.append((ir, name))
    return {"library": library, "counts": {f"{k}:{m}": v for (k, m), v in counts.items()},
            "native_body_hot": sorted(set(hot), reverse=True)[:14]}


def loader_report(env):
    """What the dynamic loader does for the import: libraries it opens and relocations it processes."""
    so = subprocess.run([sys.executable, "-c", f"import importlib.util; print(importlib.util.find_spec({MODULE!r}).origin)"],
                        env=env, capture_output=True, text=True, check=True).stdout.strip()
    report = {"path": so, "size_kib": os.path.getsize(so) / 1024,
              "sha256": hashlib.sha256(Path(so).read_bytes()).hexdigest()[:16]}
    if shutil.which("readelf"):
        dynamic = subprocess.run(["readelf", "-d", so], capture_output=True, text=True).stdout
        report["needed"] = re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic)
        symbols = subprocess.run(["readelf", "--dyn-syms", "-W", so], capture_output=True, text=True).stdout
        report["undefined_symbols"] = len(re.findall(r"\sUND\s+\S", symbols))
        relocations = subprocess.run(["readelf", "-r", so], capture_output=True, text=True).stdout
        report["relocations"] = len(re.findall(r"^\s*[0-9a-f]{12}\s", relocations, re.M))
        sections = subprocess.run(["readelf", "-S", "-W", so], capture_output=True, text=True).stdout
        sizes = {name: int(size, 16) for name, size in
                 re.findall(r"\]\s+(\.\S+)\s+\S+\s+[0-9a-f]+\s+[0-9a-f]+\s+([0-9a-f]+)", sections)}
        report["sections_kib"] = {name: sizes[name] / 1024 for name in (".text", ".rodata", ".eh_frame", ".gcc_except_table")
                                  if name in sizes}
        report["init_array_entries"] = sizes.get(".init_array", 0) // 8
    floor = "import " + ", ".join(FLOOR_IMPORTS)
    seen = {}
    for label, code in (("floor", floor), ("with cmds", f"{floor}; import {MODULE}")):
        run = subprocess.run([sys.executable, "-c", code], env=dict(env, LD_DEBUG="files,statistics"),
                             capture_output=True, text=True, check=True)
        files = re.findall(r"file=(\S+) \[0\];\s+dynamically loaded by", run.stderr)
        counts = re.findall(r"final number of relocations:\s+(\d+)", run.stderr)
        seen[label] = (files, int(counts[-1]) if counts else None)
    report["loaded_by_import"] = [f for f in seen["with cmds"][0] if f not in seen["floor"][0]]
    if None not in (seen["floor"][1], seen["with cmds"][1]):
        report["relocations_processed"] = seen["with cmds"][1] - seen["floor"][1]
    return report


def click_version(env):
    return subprocess.run([sys.executable, "-c", "import importlib.metadata as m; print(m.version('click'))"],
                          env=env, capture_output=True, text=True).stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=30, help="alternating rounds of wall and import time")
    parser.add_argument("--probe-runs", type=int, default=30, help="fresh interpreters per breakdown case")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--callgrind", action="store_true",
                        help="also count instructions of each step under valgrind's callgrind (about a minute)")
    args = parser.parse_args()

    vantorel = Path(sys.executable).with_name("vantorel")
    if not vantorel.exists():
        raise SystemExit(f"console command not installed next to {sys.executable}")

    with tempfile.TemporaryDirectory(prefix="vantorel-bench-") as temp:
        temp = Path(temp)
        (temp / f"{PY_MODULE}.py").write_text(python_equivalent(), encoding="utf-8")
        (temp / "vantorel_py").write_text(LAUNCHER.format(module=PY_MODULE), encoding="utf-8")
        probe = temp / "probe.py"
        probe.write_text(PROBE, encoding="utf-8")
        home = temp / "home"
        home.mkdir()
        # One environment for every run: the temp dir on the path (only the Python twin lives there),
        # an empty kit home so that no user's store is read, and compiled modules cached in the temp
        # dir, as an installed kit has them, without writing into the source tree.
        env = dict(os.environ, VANTOREL_HOME=str(home), PYTHONPYCACHEPREFIX=str(temp / "pycache"),
                   PYTHONPATH=os.pathsep.join(filter(None, [str(temp), os.environ.get("PYTHONPATH")])))
        for name in ("VANTOREL_LICENSE", "VANTOREL_APPKEY_LICENSE", "vantorelsdk_env", "VANTOREL_AGENT",
                     "PYTHONSTARTUP", "PYTHONPROFILEIMPORTTIME", "PYTHONDONTWRITEBYTECODE"):
            env.pop(name, None)
        # The same, with nothing cached: every Python module is compiled at each import.
        uncached = dict(env, PYTHONDONTWRITEBYTECODE="1", PYTHONPYCACHEPREFIX=str(temp / "empty-cache"))

        same = subprocess.run([sys.executable, "-c", SAME_COMMANDS, MODULE, PY_MODULE], env=env,
                              capture_output=True, text=True)
        if same.returncode != 0:
            raise SystemExit(f"the Python equivalent does not build the same commands:\n{same.stdout}{same.stderr}")

        print(f"python {sys.version.split()[0]}, click {click_version(env)}, {os.cpu_count()} CPUs, "
              f"load {os.getloadavg()[0]:.1f}, rounds {args.rounds}, probe runs {args.probe_runs}", flush=True)
        floor = "; ".join(f"import {m}" for m in FLOOR_IMPORTS)
        wall = run_wall({
            "floor": [sys.executable, "-c", floor],
            "import native": [sys.executable, "-c", f"{floor}; import {MODULE}"],
            "import python": [sys.executable, "-c", f"{floor}; import {PY_MODULE}"],
            "help native": [str(vantorel), "--help"],
            "help python": [sys.executable, str(temp / "vantorel_py"), "--help"],
        }, args.rounds, env, args.seed)
        imports = run_importtime({
            "native": (MODULE, env),
            "python": (PY_MODULE, env),
            "python uncached": (PY_MODULE, uncached),
        }, args.rounds, args.seed)
        probes, brought_in = run_probes(probe, args.probe_runs, env, args.seed)
        loader = loader_report(env)
        instructions = None
        if args.callgrind:
            if not (shutil.which("valgrind") and shutil.which("callgrind_annotate")):
                raise SystemExit("--callgrind needs valgrind and callgrind_annotate")
            instructions = callgrind(temp, env, brought_in[MODULE], loader["path"])

    figures = {"wall_ms": wall, "importtime_ms": imports,
               "breakdown_ns": {f"{module}:{mode}": value for (module, mode), value in probes.items()},
               "preloaded": brought_in, "loader": loader, "callgrind": instructions}
    print_report(figures)
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=1), encoding="utf-8")


def print_report(figures):
    wall = figures["wall_ms"]
    floor = wall["floor"]
    print("\nwall and CPU time, median ms                     wall  x floor  - floor     cpu  - floor"
          "  min wall  - floor")
    for key, label in (("floor", "floor: import click, const, license_helper"),
                       ("import native", "floor + import cmds, native"),
                       ("import python", "floor + import cmds, Python"),
                       ("help native", "vantorel --help, native"),
                       ("help python", "vantorel --help, Python")):
        w, c = wall[key]["wall"], wall[key]["cpu"]
        print(f"  {label:44} {w:7.2f}  {w / floor['wall']:6.3f}  {w - floor['wall']:+6.2f}  "
              f"{c:7.2f}  {c - floor['cpu']:+6.2f}  {wall[key]['wall_min']:8.2f}  "
              f"{wall[key]['wall_min'] - floor['wall_min']:+6.2f}")

    imports = figures["importtime_ms"]
    print("\n-X importtime, the module's own line, median ms     self   cumulative  self / native")
    for key, label in (("native", "native cmds"), ("python", "Python equivalent, cached .pyc"),
                       ("python uncached", "Python equivalent, compiled at import")):
        print(f"  {label:46} {imports[key]['self']:7.3f}   {imports[key]['cumulative']:8.3f}   "
              f"{imports[key]['self'] / imports['native']['self']:8.2f}")

    b = figures["breakdown_ns"]
    plain, dl, stub = b[f"{MODULE}:plain"], b[f"{MODULE}:dlopen"], b[f"{MODULE}:stubbed"]
    py, pystub, login = b[f"{PY_MODULE}:plain"], b[f"{PY_MODULE}:stubbed"], b[f"{LOGIN}:plain"]

    def row(label, native_ns, python_ns=None):
        cells = ["       -" if value is None else f"{value / 1000:8.1f}" for value in (native_ns, python_ns)]
        print(f"  {label:56} {cells[0]} {cells[1]}")

    total = plain["find_spec"] + plain["create_module"] + plain["exec_module"]
    py_total = py["find_spec"] + py["create_module"] + py["get_code"] + py["exec_module"]
    print("\nwhere the import goes, median µs per fresh interpreter      native   Python")
    row("find_spec", plain["find_spec"], py["find_spec"])
    row("create module (native: dlopen, PyInit, module object)", plain["create_module"], py["create_module"])
    row("  dlopen alone (ctypes, the interpreter's flags)", dl["dlopen"])
    row("  dlopen of a small stdlib extension, for scale", dl["dlopen_reference"])
    row("  create module once the library is loaded", dl["create_module"])
    row("get_code (read the .pyc, unmarshal)", None, py["get_code"])
    row("module body", plain["exec_module"], py["exec_module"])
    row("  click stubbed out: the module's own work", stub["exec_module"], pystub["exec_module"])
    row("    run again in the same process (warm)", stub["exec_again"], pystub["exec_again"])
    row("  so click's object construction takes", plain["exec_module"] - stub["exec_module"],
        py["exec_module"] - pystub["exec_module"])
    row("total", total, py_total)
    row("  of which the module's own (all but click's share)",
        total - (plain["exec_module"] - stub["exec_module"]), py_total - (py["exec_module"] - pystub["exec_module"]))
    row("for scale, the login module (create + body)", login["create_module"] + login["exec_module"])
    print(f"  minor page faults: dlopen {dl['dlopen_minor_faults']:.0f} (stdlib extension "
          f"{dl['dlopen_reference_minor_faults']:.0f}); body {plain['exec_minor_faults']:.0f} native, "
          f"{py['exec_minor_faults']:.0f} Python; body with click stubbed {stub['exec_minor_faults']:.0f} native, "
          f"{pystub['exec_minor_faults']:.0f} Python")
    print(f"  preloaded before timing (imported by the body, e.g. lazily by click): "
          f"{', '.join(figures['preloaded'][MODULE]) or 'nothing'}")

    if figures["callgrind"]:
        print_callgrind(figures["callgrind"])

    loader = figures["loader"]
    print(f"\nshared library {loader['path']} ({loader['size_kib']:.0f} KiB, sha256 {loader['sha256']}...)")
    for key in ("needed", "undefined_symbols", "relocations", "sections_kib", "init_array_entries",
                "loaded_by_import", "relocations_processed"):
        if key in loader:
            value = loader[key]
            if isinstance(value, dict):
                value = ", ".join(f"{k} {v:.1f}" for k, v in value.items())
            print(f"  {key:22} {value}")


def print_callgrind(report):
    counts = report["counts"]
    (n_load, n_body), (_, n_own) = counts["native:plain"], counts["native:stubbed"]
    (p_load, p_body), (_, p_own) = counts["python:plain"], counts["python:stubbed"]
    print("\ninstructions under callgrind, thousands                     native   Python")
    print(f"  create module (native: dlopen ...) / unmarshal the code    {n_load / 1000:8.0f} {p_load / 1000:8.0f}")
    print(f"  module body                                              {n_body / 1000:8.0f} {p_body / 1000:8.0f}")
    print(f"    the module's own work (click stubbed out)              {n_own / 1000:8.0f} {p_own / 1000:8.0f}")
    print(f"    click's object construction                            {(n_body - n_own) / 1000:8.0f} "
          f"{(p_body - p_own) / 1000:8.0f}")
    print(f"  native body's own work, inclusive, by function ({report['library']}):")
    for ir, name in report["native_body_hot"]:
        print(f"    {ir / 1000:7.1f}k  {ir / n_own:6.1%}  {name[:90]}")


if __name__ == "__main__":
    main()
