#!/usr/bin/env bash
# The .exe is handed out on its own and must start on every Windows from XP on: it may import
# from the system's own KERNEL32.dll and msvcrt.dll only, never from a runtime DLL that would have
# to be shipped beside it (libstdc++, libgcc, libwinpthread) or from a newer system DLL; and of
# those two only functions that Windows XP has (windows_floor_imports.txt), or it fails to start
# there with "The procedure entry point ... could not be located".
#   tests/package/exe_imports.sh OBJDUMP EXE
set -euo pipefail
objdump=$1
exe=$2
floor=$(dirname "$0")/windows_floor_imports.txt
table=$("$objdump" -p "$exe")
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$table" | sort | tr '\n' ' ')
if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
  echo "FAIL: $exe imports from: $imports" >&2
  exit 1
fi
# "DLL function" for every function imported by name, from the import tables' member lines.
functions=$(awk '/^[[:space:]]*DLL Name:/ { dll = $3; next }
  dll != "" && /^[[:space:]]*[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+$/ { print dll, $3; next }
  /^[[:space:]]*$/ { dll = "" }' <<<"$table" | sort -u)
if [ -z "$functions" ]; then
  echo "FAIL: no imported function found in $exe" >&2
  exit 1
fi
newer=$(comm -23 <(printf '%s\n' "$functions") <(grep -v '^#' "$floor" | sort -u))
if [ -n "$newer" ]; then
  echo "FAIL: $exe imports functions that Windows XP lacks (or not yet checked in $floor):" >&2
  sed 's/^/  /' <<<"$newer" >&2
  exit 1
fi
echo "PASS: $exe imports $(wc -l <<<"$functions") functions of Windows XP from $imports"
