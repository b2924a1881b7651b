#!/usr/bin/env bash
# The .exe is handed out on its own and must start on every Windows from XP on: it may import
# from the system's own KERNEL32.dll and msvcrt.dll only, never from a runtime DLL that would have
# to be shipped beside it (libstdc++, libgcc, libwinpthread) or from a newer system DLL; and of
# those two only functions that Windows XP has (windows_floor_imports.txt), for the .exe's own
# architecture, or it fails to start there with "The procedure entry point ... could not be
# located". Its PE subsystem version must be XP's too (5.2 for x64, 5.1 for i686): the loader
# refuses "not a valid Win32 application" for a higher one, which a toolchain's default can set.
#   tests/package/exe_imports.sh OBJDUMP EXE
set -euo pipefail
objdump=$1
exe=$2
floor=$(dirname "$0")/windows_floor_imports.txt
table=$("$objdump" -p "$exe")
case "$("$objdump" -f "$exe")" in
*pei-x86-64*) arch=x64 highest=5.2 ;;
*pei-i386*) arch=i686 highest=5.1 ;;
*) echo "FAIL: $exe is no PE image of x64 or i686" >&2; exit 1 ;;
esac
major=$(sed -n 's/^MajorSubsystemVersion[[:space:]]*//p' <<<"$table")
minor=$(sed -n 's/^MinorSubsystemVersion[[:space:]]*//p' <<<"$table")
if [ -z "$major" ] || [ -z "$minor" ] || [ $((major * 100 + minor)) -gt $((${highest%.*} * 100 + ${highest#*.})) ]; then
  echo "FAIL: $exe ($arch) needs subsystem version ${major:-?}.${minor:-?}; Windows XP runs up to $highest" >&2
  exit 1
fi
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
# Lines of two words hold for both architectures; of three, for the one named first.
allowed=$(awk -v arch="$arch" '!/^#/ && NF == 2 { print } !/^#/ && NF == 3 && $1 == arch { print $2, $3 }' "$floor" | sort -u)
newer=$(comm -23 <(printf '%s\n' "$functions") <(printf '%s\n' "$allowed"))
if [ -n "$newer" ]; then
  echo "FAIL: $exe imports functions that Windows XP ($arch) lacks (or not yet checked in $floor):" >&2
  sed 's/^/  /' <<<"$newer" >&2
  exit 1
fi
echo "PASS: $exe ($arch, subsystem $major.$minor) imports $(wc -l <<<"$functions") functions of Windows XP from $imports"
