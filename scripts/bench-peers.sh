#!/usr/bin/env bash
# scripts/bench-peers.sh PYTHON: install into PYTHON's environment the other
# PNG libraries the benchmark measures the module against. They are for the
# benchmark alone, never requirements of the package. Each is installed on
# its own and only as a wheel, so that a host without a wheel for one (PyPy,
# mostly) skips it instead of building OpenCV from source; a peer that does
# not install is left out, and the harness says so. Never fails.
set -uo pipefail
py=$1
log() { echo "[bench peers] $*" >&2; }
for pkg in pyspng imagecodecs opencv-python-headless; do
  if out=$("$py" -m pip install -q --only-binary :all: "$pkg" 2>&1); then
    :
  else
    log "$pkg not installed on $("$py" -c 'import platform; print(platform.python_implementation(), platform.python_version())'): $(echo "$out" | grep -v "^WARNING: Location" | grep -m1 -E "ERROR|error" || echo "pip failed")"
  fi
done
exit 0
