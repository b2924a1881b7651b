#!/usr/bin/env bash
# The floor check itself must fail where Windows XP would refuse the .exe: faults planted in a
# copy of the built .exe (its subsystem version raised, as a toolchain default of 6.0 would) and
# in its import table as objdump shows it (a function added), each row with the verdict it must
# get. A row that passes where it must fail is a check that cannot fail.
#   tests/package/exe_imports_test.sh OBJDUMP OBJCOPY EXE
set -euo pipefail
objdump=$1
objcopy=$2
exe=$3
check=$(dirname "$0")/exe_imports.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/exe-imports.XXXXXX")
trap 'rm -rf "$work"' EXIT
case "$("$objdump" -f "$exe")" in
*pei-x86-64*) arch=x64 ;;
*) arch=i686 ;;
esac

# An objdump that shows one more KERNEL32 function than the .exe imports: the first member line
# of its table, written again under the name in PLANTED.
cat >"$work/objdump" <<SCRIPT
#!/usr/bin/env bash
"$objdump" "\$@" | awk -v planted="\$PLANTED" '
  /DLL Name: KERNEL32.dll/ { in_kernel32 = 1 }
  { print }
  in_kernel32 && planted != "" && /^[[:space:]]*[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+\$/ {
    sub(/[^[:space:]]+\$/, planted); print; in_kernel32 = 0 }'
SCRIPT
chmod +x "$work/objdump"

# name | subsystem version set | function planted | verdict on x64 | verdict on i686
rows=(
  "as built|||PASS|PASS"
  "subsystem 6.0|console:6.0||FAIL|FAIL"
  "subsystem 5.2|console:5.2||PASS|FAIL"
  "an x64 unwinding function||RtlVirtualUnwind|PASS|FAIL"
  "an x64 exception handler||__C_specific_handler|PASS|FAIL"
  "a Vista function||GetTickCount64|FAIL|FAIL"
)
failed=0
for row in "${rows[@]}"; do
  IFS="|" read -r what subsystem planted on_x64 on_i686 <<<"$row"
  [ "$arch" = x64 ] && want=$on_x64 || want=$on_i686
  copy=$exe
  if [ -n "$subsystem" ]; then
    copy="$work/planted.exe"
    "$objcopy" --subsystem "$subsystem" "$exe" "$copy"
  fi
  if PLANTED=$planted "$check" "$work/objdump" "$copy" >"$work/out" 2>&1; then got=PASS; else got=FAIL; fi
  if [ "$got" != "$want" ]; then
    echo "FAIL: $what ($arch): the check says $got, where it must say $want:" >&2
    sed 's/^/  /' "$work/out" >&2
    failed=$((failed + 1))
  fi
done
[ "$failed" -eq 0 ] || exit 1
echo "PASS: the floor check's verdicts on ${#rows[@]} planted faults in the $arch .exe"
