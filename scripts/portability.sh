#!/usr/bin/env bash
# A bundle made in one environment is appended to and checked in another, and back: the newest h5py
# against the oldest the package accepts, and, when they are installed, the HDF5 command-line
# tools read every file. Fails on the first thing that does not hold.
#
#   scripts/portability.sh NEW_VENV OLD_VENV
#
# Each venv has the package installed (`vantorel` on its PATH).
set -euo pipefail
new=$1
old=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VANTOREL_HOME="$work/home"
bundle="$work/bundle"

run() {  # run VENV DAY ARGS...: the console command of VENV with the service's clock at DAY
  local venv=$1 day=$2
  shift 2
  echo "-- $(basename "$venv") h5py $("$venv/bin/python" -c 'import h5py; print(h5py.__version__)'): vantorel $*"
  VANTOREL_SERVICE_NOW="${day}T16:00" "$venv/bin/vantorel" "$@"
}

run "$new" 2026-12-07 license -u demo -p demo
run "$new" 2026-12-07 download-data --sample -d "$bundle"
run "$old" 2026-12-08 update-data --smart -c 2 -d "$bundle"
run "$old" 2026-12-08 check-data -d "$bundle" | tee "$work/old-check"
run "$new" 2026-12-09 update-data --smart -c 2 -d "$bundle"
run "$new" 2026-12-09 check-data -d "$bundle" | tee "$work/new-check"
run "$old" 2026-12-09 check-data -d "$bundle" >> "$work/old-check"
[ "$(grep -c 未发现异常 "$work/old-check")" = 4 ] && [ "$(grep -c 未发现异常 "$work/new-check")" = 2 ] || {
  echo "a check found anomalies" >&2; exit 1; }

if command -v h5dump >/dev/null; then
  count=0
  while IFS= read -r -d '' file; do
    h5dump -H "$file" >/dev/null || { echo "h5dump cannot read $file" >&2; exit 1; }
    count=$((count + 1))
  done < <(find "$bundle" -name '*.h5' -print0)
  echo "h5dump $(h5dump --version | awk '{print $3}') read all $count files"
else
  echo "h5dump is not installed: the HDF5 tools were not tried"
fi
