#!/usr/bin/env bash
# The two Debian packages as a user gets them: made by cpack from a configured and built tree,
# unpacked each into a root of its own, checked for their contents, by lintian and by groff, and
# then used for a complete update with nothing but the unpacked programs.
#   tests/package/deb_test.sh BUILD_DIR VERSION [ARCH [LAUNCHER...]]
# A cross build's packages are for ARCH (the host's by default); its unpacked programs run here
# through LAUNCHER (qemu-user).
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
version=$2
arch=${3:-$(dpkg --print-architecture)}
launcher=("${@:4}")

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# A missing tool is a failure, never a reason to skip a check.
for tool in cpack dpkg dpkg-deb lintian groff gzip cmp setsid timeout; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps installs it)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== cpack -G DEB"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
updater_deb=$work/out/tarvolo-updater_${version}_${arch}.deb
emulator_deb=$work/out/tarvolo-loader-emulator_${version}_${arch}.deb
for deb in "$updater_deb" "$emulator_deb"; do
  [ -f "$deb" ] || { ls -l "$work/out"; fail "no $(basename "$deb")"; }
done

# Contents: exactly these files, owned by root, 0755 for programs and directories, 0644 for the rest.
check_contents() {
  local deb=$1 package=$2 program=$3
  local listing expected actual
  listing=$(dpkg-deb -c "$deb")
  expected=$(printf '%s\n' "./usr/bin/$program" "./usr/share/doc/$package/changelog.gz" \
    "./usr/share/doc/$package/copyright" "./usr/share/man/man1/$program.1.gz" | sort)
  actual=$(awk '$1 ~ /^-/ { print $6 }' <<<"$listing" | sort)
  [ "$actual" = "$expected" ] || fail "$package holds other files than expected:"$'\n'"$listing"
  awk -v program="./usr/bin/$program" '
    $2 != "root/root" { print "not root/root: " $0; bad = 1 }
    $1 ~ /^d/ && $1 != "drwxr-xr-x" { print "directory not 0755: " $0; bad = 1 }
    $1 ~ /^-/ && $6 == program && $1 != "-rwxr-xr-x" { print "program not 0755: " $0; bad = 1 }
    $1 ~ /^-/ && $6 != program && $1 != "-rw-r--r--" { print "file not 0644: " $0; bad = 1 }
    END { exit bad }' <<<"$listing" || fail "$package: wrong owner or permissions"
  echo "$package: $(awk '$1 ~ /^-/' <<<"$listing" | wc -l) files, owners and permissions as expected"
  # dpkg-shlibdeps computed the dependencies: the C and C++ runtimes at least.
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  [[ "$depends" == *libc6* && "$depends" == *libstdc++6* ]] || fail "$package: Depends is '$depends'"
  echo "$package: Depends: $depends"
}
check_contents "$updater_deb" tarvolo-updater tarvolo_updater
check_contents "$emulator_deb" tarvolo-loader-emulator tarvolo_loader_emulator

echo "== lintian"
for deb in "$updater_deb" "$emulator_deb"; do
  status=0
  lintian --tag-display-limit 0 "$deb" >"$work/lintian.out" 2>&1 || status=$?
  cat "$work/lintian.out"
  if grep -qE '^(E|W): ' "$work/lintian.out"; then
    fail "lintian reports errors or warnings on $(basename "$deb")"
  fi
  # Anything else lintian itself failed on (it exits 1 on errors, 2 when it could not run).
  [ "$status" -eq 0 ] || [ "$status" -eq 1 ] || fail "lintian could not check $(basename "$deb") (status $status)"
done
echo "lintian: no errors, no warnings"

dpkg-deb -x "$updater_deb" "$work/updater-root"
dpkg-deb -x "$emulator_deb" "$work/emulator-root"

echo "== man pages"
for page in "$work/updater-root/usr/share/man/man1/tarvolo_updater.1.gz" \
  "$work/emulator-root/usr/share/man/man1/tarvolo_loader_emulator.1.gz"; do
  # gzip -n: no file name (flag byte 0) and no time stamp (bytes 4 to 7) in the header.
  header=$(od -An -tx1 -N8 "$page" | tr -d ' \n')
  [ "${header:6:10}" = "0000000000" ] || fail "$(basename "$page") carries a name or a time stamp: $header"
  warnings=$(gzip -dc "$page" | groff -man -ww -z 2>&1)
  [ -z "$warnings" ] || fail "groff -man -ww on $(basename "$page"):"$'\n'"$warnings"
  echo "$(basename "$page"): gzip -n, no groff warnings"
done
"$source_dir/tests/package/man_messages.sh" "$work/updater-root/usr/share/man/man1/tarvolo_updater.1.gz" "$source_dir" \
  "$work/updater-root/usr/bin/tarvolo_updater" "${launcher[@]}"

echo "== a complete update with the unpacked programs"
"$source_dir/scripts/update-against-emulator" --quiet --port 7 "$work/updater-root/usr/bin/tarvolo_updater" \
  "$work/emulator-root/usr/bin/tarvolo_loader_emulator" "$work" "${launcher[@]}" || fail "no complete update"
grep -q "Firmware successfully written to Tarvolo ... " "$work/updater.out" || fail "no success message"
grep -q "Pagecount : 120 of 120" "$work/updater.out" || fail "no page count up to 120"
echo "PASS: both packages install, pass lintian and groff, and update the emulated device"
