#!/usr/bin/env bash
# scripts/dist-test.sh HOST...: tests what dist/ holds as a user installs it.
# Each host's wheel goes into a fresh virtual environment that never saw the
# source tree, from dist/ alone (--no-index --only-binary :all:, so nothing
# can be built on the way), and the test suite runs against that installed
# package. Then the sdist is built and installed in a fresh environment of
# the first host, and the suite runs once more; and once again with ISA-L's
# pkg-config file out of sight, as on a machine without ISA-L, where the
# build goes on with zlib alone. Test-only dependencies come from the
# package index.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
hosts=("$@")  # the Makefile passes DIST_HOSTS
[ ${#hosts[@]} -gt 0 ] || { echo "usage: scripts/dist-test.sh HOST..." >&2; exit 2; }
quiet_pip() { "$@" 2>&1 | { grep -v "^WARNING: Location '.*' is ignored" || true; } >&2; }
failed=()

# A fresh environment of `host` with the test dependencies; the package is
# then installed by the caller's pip arguments (under the environment
# settings in $install_env, if any) and tested, its build expected to inflate
# with $inflater.
install_env=()
run() {
  local host=$1 label=$2 inflater=$3; shift 3
  local base env
  base=$(scripts/host.sh --interpreter "$host") || { failed+=("$label (interpreter)"); return; }
  env=$(mktemp -d)/venv
  echo "=== $label" >&2
  if "$base" -m venv "$env" && quiet_pip "$env/bin/python" -m pip install -q --upgrade pip &&
     quiet_pip "$env/bin/python" -m pip install -q pytest pillow \
       $("$env/bin/python" -c 'import platform; print("numpy" if platform.python_implementation() == "CPython" else "")') &&
     quiet_pip env "${install_env[@]}" "$env/bin/python" -m pip install -q --no-cache-dir "$@" &&
     "$env/bin/python" -c "import Corvane.simpleImage_ext as m, sys; assert m.__file__.startswith('$env'), m.__file__; assert m.__file__.endswith('.abi3.so') == ('$label'.startswith('abi3')), m.__file__; print('[dist-test] Corvane', __import__('Corvane').__version__, 'from', m.__file__)"; then
    CORVANE_EXPECT_INFLATER=$inflater "$env/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$root" tests/python || failed+=("$label")
  else
    failed+=("$label (install)")
  fi
  rm -rf "$(dirname "$env")"
}

for h in "${hosts[@]}"; do
  run "$h" "wheel, $h" isa-l --no-index --only-binary :all: --find-links "$root/dist" Corvane
done
# The abi3 wheel, installed by its file name in place of the version's own.
if [ -n "${DIST_ABI3:-}" ]; then
  wheel=$(ls dist/*-cp312-abi3-*.whl 2>/dev/null | head -1)
  if [ -n "$wheel" ]; then
    for h in ${DIST_ABI3_TEST:-$DIST_ABI3}; do run "$h" "abi3 wheel, $h" isa-l --no-index "$root/$wheel"; done
  else
    failed+=("abi3 wheel (none in dist/)")
  fi
fi
sdist=$(ls dist/*.tar.gz 2>/dev/null | head -1)
if [ -n "$sdist" ]; then
  run "${hosts[0]}" "sdist, ${hosts[0]}" isa-l "$root/$sdist"
  nopc=$(mktemp -d)  # pkg-config then finds nothing at all; zlib is found without it
  install_env=(PKG_CONFIG_LIBDIR="$nopc" PKG_CONFIG_PATH="$nopc")
  run "${hosts[0]}" "sdist without ISA-L, ${hosts[0]}" zlib "$root/$sdist"
  install_env=()
  rmdir "$nopc"
else
  failed+=("sdist (none in dist/)")
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "dist-test FAILED: ${failed[*]}"
  exit 1
fi
echo "dist-test passed: ${hosts[*]}${DIST_ABI3:+, the abi3 wheel on ${DIST_ABI3_TEST:-$DIST_ABI3}} and the sdist, with and without ISA-L"
