#!/usr/bin/env bash
# Finds the CPython 3.13 the module is built and tested with: $PY313 when set, else python3.13 on PATH, else
# pyenv's newest 3.13.x (under `pyenv root` when pyenv is on PATH, else $PYENV_ROOT or ~/.pyenv). A python3.13
# that does not run as 3.13 (a pyenv shim with no 3.13 selected) is passed over; a $PY313 that is not 3.13 is an
# error, not a hint to look elsewhere.
#
#   . scripts/find-python.sh && find_python313 || exit 1    sets and exports PY313
#   bash scripts/find-python.sh                             prints the path (CMakeLists.txt uses this)

# is_python313 EXE: true when EXE runs and is CPython 3.13.
is_python313() {
  "$1" -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info[:2] != (3, 13))' \
    >/dev/null 2>&1
}

find_python313() {
  if [ -n "${PY313:-}" ]; then
    if is_python313 "$PY313"; then
      export PY313
      return 0
    fi
    echo "CPython 3.13 not found: PY313=$PY313 is not a CPython 3.13 interpreter" >&2
    return 1
  fi
  local candidate root
  candidate=$(command -v python3.13 || true)
  if [ -n "$candidate" ] && is_python313 "$candidate"; then
    export PY313=$candidate
    return 0
  fi
  if ! command -v pyenv >/dev/null 2>&1 || ! root=$(pyenv root 2>/dev/null); then
    root=${PYENV_ROOT:-$HOME/.pyenv}
  fi
  # Releases only (3.13.N), newest first: not 3.13-dev, release candidates or the free-threaded 3.13.Nt.
  while read -r candidate; do
    candidate="$root/versions/$candidate/bin/python3.13"
    if is_python313 "$candidate"; then
      export PY313=$candidate
      return 0
    fi
  done < <(ls "$root/versions" 2>/dev/null | grep -E '^3\.13\.[0-9]+$' | sort -rV)
  echo "CPython 3.13 not found: set PY313 to its python3.13, put python3.13 on PATH or install it with pyenv" \
    "(looked in $root/versions)" >&2
  return 1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  find_python313 && printf '%s\n' "$PY313"
fi
