#!/usr/bin/env bash
# The .exe is handed out on its own and must start on every Windows from XP on: it may import
# from the system's own KERNEL32.dll and msvcrt.dll only, never from a runtime DLL that would have
# to be shipped beside it (libstdc++, libgcc, libwinpthread) or from a newer system DLL.
#   tests/package/exe_imports.sh OBJDUMP EXE
set -euo pipefail
objdump=$1
exe=$2
imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
  echo "FAIL: $exe imports from: $imports" >&2
  exit 1
fi
echo "PASS: $exe imports from $imports"
