#!/usr/bin/env bash
# Valgrind memcheck over the native modules' tests (tests/cmds, tests/login,
# tests/runtime) with the installed build: fails on any memory error and on
# any block definitely lost. Extra arguments go to pytest.
#   PYTHON=path/to/python scripts/valgrind.sh     (default: .venv/bin/python)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-.venv/bin/python}

for module in vantorel.ombrel.sdk.cmds vantorel.ombrel.utils.login; do
  "$python" -c "import importlib.util as u, sys; sys.exit(not u.find_spec('$module').origin.endswith('.so'))" ||
    { echo "$module is not a native build under $python" >&2; exit 1; }
done

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# PYTHONMALLOC=malloc: every object is a heap block of its own, so memcheck
# sees each one. The leak test is left out: its RSS figures mean nothing
# under valgrind, and scripts/leak_check.py does that job.
PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --num-callers=40 \
  --suppressions=scripts/valgrind-python.supp \
  --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
  --log-file="$log" \
  "$python" -m pytest -q -p no:cacheprovider --ignore=tests/runtime/test_leaks.py \
  tests/cmds tests/login tests/runtime "$@" || status=$?

# Children started by the tests are not traced; their notes about the
# descriptors valgrind keeps for itself are noise.
grep -v -e 'Warning: invalid file descriptor' -e 'Use --log-fd=' "$log" |
  sed -n '/^==[0-9]*== \(Invalid\|Conditional\|Use of uninit\|Syscall param\|Mismatched\|[0-9,]* bytes in\)/,/^==[0-9]*== $/p' >&2 || true
grep -E 'ERROR SUMMARY|definitely lost' "$log" | sed 's/^==[0-9]*== *//'
case $status in
  0) echo "valgrind: no errors" ;;
  99) echo "valgrind found errors" >&2; exit 1 ;;
  *) echo "tests failed under valgrind (status $status)" >&2; exit "$status" ;;
esac
