#!/usr/bin/env bash
# Print the path of a usable CPython X.Y interpreter as the last line of stdout.
#
#   bash tools/debian-python.sh 3.15        -> path of python3.15
#   bash tools/debian-python.sh 3.15 --dbg  -> path of python3.15d (debug build);
#                                              the release interpreter is
#                                              provided as well
#
# A pythonX.Y already on PATH is used as it is. Otherwise the interpreter is
# taken from Debian's development suite (sid) and unpacked into a private root
# folder of its own for each version, without installing anything into /:
# sid's C library is newer than the one of the machine, so the interpreter
# runs on its own copy of the whole dependency closure (C library included),
# wired up with patchelf. tools/python314.sh is this script for 3.14.
#
# Environment:
#   TOLVIK_PYXY_ROOT      root folder for X.Y, e.g. TOLVIK_PY315_ROOT (default
#                         ${XDG_CACHE_HOME:-$HOME/.cache}/tolvik/pyXY-root)
#   TOLVIK_DEBIAN_MIRROR  archive URI (default: the one this machine's apt sources use)
#
# Progress goes to stderr; stdout carries only the interpreter path. A root that
# already holds a working interpreter is reused without touching the network.
set -euo pipefail

ARCH_TRIPLET=x86_64-linux-gnu

usage() {
  awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "${BASH_SOURCE[0]}"
}

version="" want_dbg=0
for arg in "$@"; do
  case "$arg" in
    3.[0-9] | 3.[0-9][0-9]) version=$arg ;;
    --dbg) want_dbg=1 ;;
    -h | --help)
      usage
      exit 0
      ;;
    *)
      echo "debian-python: error: unknown argument: $arg (try --help)" >&2
      exit 1
      ;;
  esac
done
if [[ -z $version ]]; then
  echo "debian-python: error: which version? (e.g. 3.15; try --help)" >&2
  exit 1
fi
nodot=${version/./}

log() { echo "python$nodot: $*" >&2; }
die() {
  log "error: $*"
  exit 1
}

PACKAGES=("python$version" "python$version-dev" "python$version-venv" "libpython$version-dev"
  python3-pip-whl python3-setuptools-whl
  # Extension modules written in C++ need it; taking it from the same suite
  # keeps every library the process loads out of one consistent set.
  libstdc++6)
((want_dbg)) && PACKAGES+=("python$version-dbg")
exe_name=python$version
((want_dbg)) && exe_name=python${version}d

# The interpreter is usable when the modules that pip, venv and the test suite
# depend on import, and the C headers that extension builds need are where
# sysconfig says they are.
check_python() {
  "$1" - "$version" <<'EOF' >/dev/null 2>&1
import sys, os, sysconfig
import ssl, sqlite3, venv, ctypes, decimal, hashlib, lzma, bz2, zlib
assert "%d.%d" % sys.version_info[:2] == sys.argv[1], sys.version
ssl.create_default_context()
inc = sysconfig.get_paths()["include"]
assert os.path.isfile(os.path.join(inc, "Python.h")), inc
EOF
}

# 1. An interpreter that is already on PATH.
if path=$(command -v "$exe_name" 2>/dev/null) && check_python "$path"; then
  echo "$path"
  exit 0
fi

[[ $(uname -m) == x86_64 ]] || die "only x86_64 is supported (machine is $(uname -m))"
command -v apt-get >/dev/null || die "apt-get not found; install python$version by other means"

HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
root_var=TOLVIK_PY${nodot}_ROOT
ROOT=${!root_var:-${XDG_CACHE_HOME:-$HOME/.cache}/tolvik/py$nodot-root}
ROOT=${ROOT%/}
mkdir -p "$(dirname "$ROOT")"
ROOT="$(cd "$(dirname "$ROOT")" && pwd -P)/$(basename "$ROOT")"
PY="$ROOT/usr/bin/$exe_name"

# 2. A root folder filled by an earlier run.
if [[ -x $PY ]] && check_python "$PY"; then
  echo "$PY"
  exit 0
fi

# Serialise concurrent runs (two checkouts set up at once) on one lock file.
exec 9>"$ROOT.lock"
flock 9
if [[ -x $PY ]] && check_python "$PY"; then
  echo "$PY"
  exit 0
fi

# 3. Build a new root next to the old one, then swap it in. Leftovers of an
# interrupted run are safe to remove while the lock is held.
start=$SECONDS
rm -rf "$ROOT".tmp.*
work=$(mktemp -d "$ROOT.tmp.XXXXXX")
old=""
trap 'rm -rf "$work"' EXIT

# Run a noisy command quietly; show its output only when it fails.
run_logged() {
  local logfile=$work/last.log
  if ! "$@" >"$logfile" 2>&1; then
    tail -n 30 "$logfile" >&2
    die "command failed: $*"
  fi
}

if ! command -v patchelf >/dev/null; then
  ((EUID == 0)) || die "patchelf is missing; install it (apt-get install patchelf) and rerun"
  log "installing patchelf"
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y -q patchelf >"$work/patchelf.log" 2>&1; then
    run_logged apt-get update -q
    run_logged apt-get install -y -q patchelf
  fi
fi

# The archive URI: the machine's own mirror for its release, read from the apt
# sources in either format (one-line *.list or deb822 *.sources).
debian_mirror() {
  if [[ -n ${TOLVIK_DEBIAN_MIRROR:-} ]]; then
    echo "$TOLVIK_DEBIAN_MIRROR"
    return
  fi
  local codename uri=""
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  local lists=() stanzas=()
  [[ -f /etc/apt/sources.list ]] && lists+=(/etc/apt/sources.list)
  for f in /etc/apt/sources.list.d/*.list; do [[ -f $f ]] && lists+=("$f"); done
  for f in /etc/apt/sources.list.d/*.sources; do [[ -f $f ]] && stanzas+=("$f"); done
  if ((${#lists[@]})); then
    uri=$(awk -v c="$codename" '
      $1 == "deb" { sub(/\[[^]]*\]/, ""); if ($3 == c) { print $2; exit } }' "${lists[@]}")
  fi
  if [[ -z $uri ]] && ((${#stanzas[@]})); then
    uri=$(awk -v c="$codename" '
      BEGIN { RS = ""; FS = "\n" }
      { types = uris = suites = ""; enabled = "yes"
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^#/) continue
          split($i, kv, ":"); key = tolower(kv[1]); val = substr($i, length(kv[1]) + 2)
          gsub(/^[ \t]+|[ \t]+$/, "", val)
          if (key == "types") types = val; else if (key == "uris") uris = val
          else if (key == "suites") suites = val; else if (key == "enabled") enabled = tolower(val)
        }
        if (enabled == "no" || (" " types " ") !~ / deb /) next
        if ((" " suites " ") ~ (" " c " ")) { split(uris, u, " "); print u[1]; exit } }' "${stanzas[@]}")
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}
mirror=$(debian_mirror)
log "fetching CPython $version from Debian sid ($mirror) into $ROOT"

# A private apt configuration: its own sources, lists, cache and an empty dpkg
# status, so that apt resolves the full dependency closure for sid without
# looking at (or changing) what the machine has installed. The machine's own
# configuration snippets are not read (their hooks and pins are about the
# system's packages), but its Acquire settings are carried over: they say how
# this machine reaches its mirror (proxy, date checks of the release files).
apt_dir=$work/apt
mkdir -p "$apt_dir"/{parts,sources.d,prefs.d,lists/partial,cache/archives/partial}
: >"$apt_dir/status"
echo "deb $mirror sid main" >"$apt_dir/sources.list"
{
  apt-config dump 2>/dev/null | grep -E '^Acquire::' | grep -vE '^Acquire::(IndexTargets|Changelogs)' || true
  cat <<EOF
Dir::Etc::main "/dev/null";
Dir::Etc::Parts "$apt_dir/parts";
Dir::Etc::SourceList "$apt_dir/sources.list";
Dir::Etc::SourceParts "$apt_dir/sources.d";
Dir::Etc::Preferences "$apt_dir/preferences";
Dir::Etc::PreferencesParts "$apt_dir/prefs.d";
Dir::State "$apt_dir";
Dir::State::Lists "$apt_dir/lists";
Dir::State::status "$apt_dir/status";
Dir::Cache "$apt_dir/cache";
Debug::NoLocking "true";
APT::Sandbox::User "root";
APT::Architecture "amd64";
APT::Architectures { "amd64"; };
APT::Install-Recommends "false";
Acquire::Retries "3";
EOF
} >"$apt_dir/apt.conf"
export APT_CONFIG=$apt_dir/apt.conf

log "apt-get update (sid)"
run_logged apt-get update -q
log "downloading: ${PACKAGES[*]}"
run_logged apt-get install --download-only -y -q "${PACKAGES[@]}"

new=$work/root
mkdir -p "$new"
debs=("$apt_dir"/cache/archives/*.deb)
[[ -f ${debs[0]} ]] || die "apt downloaded no packages"
log "unpacking ${#debs[@]} packages"
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$new"
done

# Fold any top-level /lib, /bin, ... into /usr, as on a merged-/usr system, so
# that the single library folder on the search path sees every library.
for d in bin sbin lib lib64; do
  if [[ -d $new/$d && ! -L $new/$d ]]; then
    mkdir -p "$new/usr/$d"
    cp -a "$new/$d/." "$new/usr/$d/"
    rm -rf "${new:?}/$d"
  fi
done

# Debian's pyconfig.h is a dispatcher that includes
# <x86_64-linux-gnu/pythonX.Y/pyconfig.h> from the compiler's system include
# path, which is the machine's /usr/include, not this root. Put the real
# header in its place so that the include folder sysconfig reports is complete
# on its own.
for inc in "$new"/usr/include/python"$version"*; do
  real=$new/usr/include/$ARCH_TRIPLET/$(basename "$inc")/pyconfig.h
  [[ -f $real ]] && cp "$real" "$inc/pyconfig.h"
done

# Point the interpreters at the root's own loader and libraries. The paths
# name the final location; the root is moved there below. DT_RPATH (not
# RUNPATH) also applies to the libraries and extension modules loaded later.
libdir=$ROOT/usr/lib/$ARCH_TRIPLET
for exe in "$new/usr/bin/python$version" "$new/usr/bin/python${version}d"; do
  [[ -f $exe ]] || continue
  patchelf --set-interpreter "$libdir/ld-linux-x86-64.so.2" \
    --force-rpath --set-rpath "$libdir" "$exe"
done
[[ -x $new/usr/bin/$exe_name ]] || die "$exe_name missing from the downloaded packages"

# Swap the new root in, keeping the old one until the new one is checked.
if [[ -e $ROOT ]]; then
  old=$work/old
  mv "$ROOT" "$old"
fi
mv "$new" "$ROOT"
if ! check_python "$PY"; then
  "$PY" -c 'import sys, ssl, sqlite3, venv; print(sys.version)' >&2 || true
  rm -rf "$ROOT"
  if [[ -n $old ]]; then mv "$old" "$ROOT"; fi
  die "the unpacked interpreter does not work"
fi

log "ready in $((SECONDS - start)) s: $("$PY" -c 'import sys; print(sys.version.split()[0])')"
echo "$PY"
