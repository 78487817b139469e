#!/usr/bin/env bash
# Print the path of a usable CPython 3.14 interpreter as the last line of stdout:
# tools/debian-python.sh for 3.14, the development interpreter of the project.
#
#   bash tools/python314.sh          -> path of python3.14
#   bash tools/python314.sh --dbg    -> path of python3.14d (debug build)
#
# Root folder: TOLVIK_PY314_ROOT (default ~/.cache/tolvik/py314-root); see
# tools/debian-python.sh --help.
exec bash "$(dirname "${BASH_SOURCE[0]}")/debian-python.sh" 3.14 "$@"
