#!/usr/bin/env bash
# scripts/host.sh HOST [extra pip args...]: make (or reuse) the virtual
# environment .venv/HOST for one interpreter, build and install the package
# into it, and print the environment's python. HOST is a CPython version
# (3.8, 3.11, ...) taken from pyenv, or "pypy" (Debian's pypy3, installed
# with apt if missing). CORVANE_VENV names another environment folder for the
# same interpreter (the sanitizer build uses it). Everything goes to stderr
# except the final path. `scripts/host.sh --interpreter HOST` prints the
# host's own interpreter instead, and makes no environment.
set -euo pipefail
only_interpreter=
if [ "$1" = --interpreter ]; then only_interpreter=1; shift; fi  # print the host's own interpreter, no environment
host=$1; shift
root=$(cd "$(dirname "$0")/.." && pwd)
venv="$root/.venv/${CORVANE_VENV:-$host}"
log() { echo "[$host] $*" >&2; }
# pip on this kind of machine warns about every missing local mirror folder;
# keep its real output and drop that noise.
quiet_pip() { "$@" 2>&1 | { grep -v "^WARNING: Location '.*' is ignored" || true; } >&2; }

find_interpreter() {
  if [ "$host" = pypy ]; then
    if ! command -v pypy3 >/dev/null || ! pypy3 -c 'import venv, ensurepip' 2>/dev/null || \
       [ ! -d "$(pypy3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" ]; then
      log "installing pypy3, pypy3-dev and pypy3-venv with apt"
      export DEBIAN_FRONTEND=noninteractive
      apt-get update -qq >&2
      apt-get install -y -qq pypy3 pypy3-dev pypy3-venv >&2
    fi
    command -v pypy3
    return
  fi
  if command -v pyenv >/dev/null; then
    local v
    v=$(pyenv latest "$host" 2>/dev/null || true)
    if [ -n "$v" ] && [ -x "$(pyenv root)/versions/$v/bin/python$host" ]; then
      echo "$(pyenv root)/versions/$v/bin/python$host"
      return
    fi
  fi
  if command -v "python$host" >/dev/null; then command -v "python$host"; return; fi
  log "no interpreter for $host (looked in pyenv and on PATH)"
  exit 1
}

if [ -n "$only_interpreter" ]; then find_interpreter; exit 0; fi

if [ ! -x "$venv/bin/python" ]; then
  py=$(find_interpreter)
  log "creating $venv from $py"
  "$py" -m venv "$venv" >&2
  quiet_pip "$venv/bin/python" -m pip install -q --upgrade pip
fi
"$root/scripts/deps.sh"
log "building and installing the package"
quiet_pip "$venv/bin/python" -m pip install -q "$root[test]" "$@"
echo "$venv/bin/python"
