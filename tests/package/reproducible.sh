#!/usr/bin/env bash
# Builds the release artefacts of HEAD twice (scripts/release), from clones in two directories
# whose paths differ in length, the second with another umask, time zone and locale, and compares them
# byte for byte: any build path, build time or local setting that leaks into an artefact shows.
# Uncommitted changes are not part of HEAD and so not part of the check.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
commit=$(git -C "$repo" rev-parse HEAD)
# Each clone takes its date from its own git history.
unset SOURCE_DATE_EPOCH

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvolo-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT
first=$work/a
second=$work/second-clone/in/a/longer/path
mkdir -p "$(dirname "$second")"

build() {
  local dir=$1
  git clone -q --no-checkout "$repo" "$dir"
  git -C "$dir" checkout -q --detach "$commit"
  echo "== release build of ${commit:0:12} in $dir"
  local start=$SECONDS
  (cd "$dir" && scripts/release) >"$dir.log" 2>&1 || { cat "$dir.log"; fail "release build in $dir"; }
  echo "   $((SECONDS - start)) s"
}
build "$first"
(umask 0002 && TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 build "$second")

a=$first/build/release-artifacts
b=$second/build/release-artifacts
cat "$a/SHA256SUMS"
mapfile -t names < <(cd "$a" && ls)
[ "${#names[@]}" -eq 10 ] || fail "expected the .exe, two zips (win64, win32), six .debs (amd64, arm64, armhf) and SHA256SUMS, found: ${names[*]}"
diff -u "$a/SHA256SUMS" "$b/SHA256SUMS" || fail "the two builds differ (SHA256SUMS above: - first, + second)"
for name in "${names[@]}"; do
  cmp "$a/$name" "$b/$name" || fail "$name differs"
done
(cd "$b" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
echo "PASS: ${#names[@]} files byte-identical from $first and $second"
