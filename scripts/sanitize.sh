#!/usr/bin/env bash
# The whole test suite against an AddressSanitizer + UBSan build of the native
# modules, installed into a fresh CPython 3.10 venv. Fails on a test failure
# and on any sanitizer report, also one from a child process.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

version=$(pyenv versions --bare | grep '^3\.10' | sort -V | tail -n 1)
[ -n "$version" ] || { echo "no CPython 3.10 in pyenv" >&2; exit 1; }
python="$(pyenv root)/versions/$version/bin/python"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== sanitizer build (CPython $version)"
"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install -q --upgrade pip
# A build directory of its own: the option is cached by CMake, and the
# developers' build directory must never pick it up.
"$work/venv/bin/pip" install -q \
  -C cmake.define.VANTOREL_SANITIZE=ON -C build-dir="$work/build" "$repo[test,shell]"

# Refuse to report a clean run of an uninstrumented build.
for module in vantorel.ombrel.sdk.cmds vantorel.ombrel.utils.login; do
  file=$("$work/venv/bin/python" -c "import importlib.util as u; print(u.find_spec('$module').origin)")
  case "$file" in "$work"/venv/*) ;; *) echo "$module is not the sanitizer build: $file" >&2; exit 1 ;; esac
  symbols=$(nm -D --undefined-only "$file")
  grep -q __asan_init <<<"$symbols" || { echo "$file lacks ASan" >&2; exit 1; }
  grep -q __ubsan_handle <<<"$symbols" || { echo "$file lacks UBSan" >&2; exit 1; }
done

echo "== tests under ASan + UBSan"
reports="$work/reports"
mkdir "$reports"
status=0
# The interpreter is not instrumented, so the runtimes must be loaded first.
# PYTHONMALLOC=malloc hands every object to ASan's allocator, so a reference
# dropped once too often shows as a use after free. The interpreter frees
# little at exit, hence no leak detection here (scripts/leak_check.py does
# that job).
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
  PYTHONMALLOC=malloc \
  PATH="$work/venv/bin:$PATH" \
  "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "== sanitizer reports" >&2
  cat "$reports"/* >&2
  exit 1
fi
[ "$status" -eq 0 ] || { echo "tests failed under the sanitizers (status $status)" >&2; exit "$status"; }
echo "sanitizers: no reports"
