#!/usr/bin/env bash
# scripts/deps.sh: the C libraries the module links, as a build finds them
# (pkg-config): zlib, and ISA-L unless CORVANE_ISAL=OFF. On a machine that
# lacks them, Debian's packages are installed with apt. Prints nothing when
# all is there.
set -euo pipefail
need=(zlib)
[ "${CORVANE_ISAL:-ON}" = OFF ] || need+=(libisal)
if command -v pkg-config >/dev/null && pkg-config --exists "${need[@]}"; then exit 0; fi
echo "[deps] installing pkg-config, zlib1g-dev and libisal-dev with apt" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >&2
apt-get install -y -qq pkg-config zlib1g-dev libisal-dev >&2
