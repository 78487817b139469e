#!/usr/bin/env bash
# Reference and memory leak hunt on CPython's debug interpreter.
#
#   bash tools/refleak.sh [refleak.py options, e.g. -k "reader:"]
#
# Gets python3.14d (tools/python314.sh --dbg), builds the module for it into
# build/dbg (debug ABI, unoptimised, assertions on) and runs tools/refleak.py
# with that build first on PYTHONPATH. Exits non-zero when a kind of call
# leaks references, memory blocks, C heap memory or file descriptors.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

say() { echo "refleak: $*"; }

pyd=$(bash tools/python314.sh --dbg | tail -n 1)
say "interpreter: $pyd"

# Debian's include folder of the debug interpreter holds its own pyconfig.h
# (which defines Py_DEBUG) beside symbolic links to the release headers. GCC
# resolves the links of headers found in a system include folder (-isystem,
# CMake's default for imported targets), so Python.h would pick up the release
# pyconfig.h beside its target and the module would silently get the release
# ABI. Hence the folder is passed with -I; refleak.py refuses a build without
# Py_DEBUG.
say "building into build/dbg"
mkdir -p build
cmake -S . -B build/dbg -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE="$pyd" \
  -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON >build/dbg.log 2>&1 ||
  { cat build/dbg.log; exit 1; }
cmake --build build/dbg -j 2 >>build/dbg.log 2>&1 || { cat build/dbg.log; exit 1; }

PYTHONPATH="$PWD/build/dbg${PYTHONPATH:+:$PYTHONPATH}" exec "$pyd" tools/refleak.py "$@"
