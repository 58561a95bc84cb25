"""Every shell and Python block of README.md and docs/ runs as written on the bundle the README's
first command builds; a block that must not run says why in a `<!-- not run: reason -->` line, and
one that needs an optional extra names its module in a `<!-- needs: module -->` line (run where it is
installed)."""
import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\S*)\n(.*?)^```$", re.M | re.S)
NOT_RUN = re.compile(r"<!-- not run: \S.* -->\n\s*\Z")
NEEDS = re.compile(r"<!-- needs: (\S+) -->\n\s*\Z")
# text: output and layouts, shown only; a block without one of these is refused so none hides.
LANGUAGES = {"sh", "python", "text"}
INSTALL_STEPS = re.compile(r"python3 -m venv |pip install ")
VENV_BIN = Path(sys.executable).parent


def blocks(document):
    """(line, language, code, runs) of each fenced block, in order."""
    text = document.read_text(encoding="utf-8")
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        before = text[:match.start()]
        needs = NEEDS.search(before)
        runs = match.group(1) in ("sh", "python") and not NOT_RUN.search(before) and (
            needs is None or importlib.util.find_spec(needs.group(1)) is not None)
        yield line, match.group(1), match.group(2), runs


def run(language, code, cwd, home=None):
    env = {name: value for name, value in os.environ.items() if not name.startswith("VANTOREL_")}
    env["PATH"] = f"{VENV_BIN}{os.pathsep}{env['PATH']}"
    if home:
        env["VANTOREL_HOME"] = str(home)
    command = ["bash", "-e", "-o", "pipefail", "-c", code] if language == "sh" else [sys.executable, "-c", code]
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="session")
def demo_home(tmp_path_factory):
    """The kit home of the README's first command, run without its install steps (this venv is it)."""
    first = next(code for _, language, code, _ in blocks(ROOT / "README.md") if language == "sh")
    steps = [step for step in first.strip().split(" && ") if not INSTALL_STEPS.search(step)]
    work = tmp_path_factory.mktemp("fresh-machine")
    done = run("sh", " && ".join(steps).replace(".venv/bin/", ""), work)
    assert done.returncode == 0, done.stderr
    return work / "demo-home"


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda path: path.name)
def test_every_block_runs_as_written(document, demo_home, tmp_path):
    home = tmp_path / "demo-home"
    shutil.copytree(demo_home, home, symlinks=True)
    for line, language, code, runs in blocks(document):
        assert language in LANGUAGES, f"{document.name}:{line}: a block of '{language}' (say sh, python or text)"
        if runs:
            done = run(language, code, tmp_path, home)
            assert done.returncode == 0, f"{document.name}:{line} failed:\n{code}\n{done.stdout}{done.stderr}"


def test_ci_runs_the_readme_test_command():
    test_command = [code.strip() for _, language, code, _ in blocks(ROOT / "README.md") if language == "sh"][1]
    assert test_command.endswith("-m pytest")
    ci = subprocess.run(["bash", "-c", "source <(sed -n '/^readme_test_command()/,/^}/p' .ci/run); "
                        "readme_test_command"], cwd=ROOT, capture_output=True, text=True)
    assert ci.stdout.strip() == test_command, ci.stderr
