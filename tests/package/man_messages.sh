#!/usr/bin/env bash
# Every text tarvolo_updater writes (its MSG_ and PROMPT_ constants) must stand in its man page
# and in the operators' README exactly as written, on a line of its own (in the README also in
# double quotes within a sentence): a message changed in the code and not in the document fails
# here. Placeholders of the document (n, nnn, xx) or sample numbers stand for the formats.
#   tests/package/man_messages.sh MAN_PAGE(.1 or .1.gz) SOURCE_DIR
#   tests/package/man_messages.sh OPERATOR_README.txt SOURCE_DIR
set -euo pipefail
page=$1
source_dir=$2

quoted=no
case "$page" in
*.txt)
  # Plain text as operators read it; the zip's copy has CR LF line ends.
  rendered=$(tr -d '\r' <"$page")
  quoted=yes
  ;;
*)
  for tool in groff gzip; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed" >&2; exit 1; }
  done
  # Wide lines, so that no message is broken; no bold or underline, which would hide the bytes.
  rendered=$(gzip -dcf "$page" | groff -man -Tutf8 -P-cbou -rLL=300n)
  ;;
esac
mapfile -t messages < <(cd "$source_dir" && cat app/*.cpp image/*.cpp protocol/*.cpp |
  sed -nE 's/^\s*(constexpr |extern )?(const )?char (MSG|PROMPT)_[A-Z_0-9]*\[\] = "(.*)";.*/\4/p')
[ "${#messages[@]}" -ge 20 ] || { echo "FAIL: only ${#messages[@]} messages found in $source_dir" >&2; exit 1; }

missing=0
for message in "${messages[@]}"; do
  text=$(printf '%s' "$message" | sed -E 's/\\[nr]//g; s/^ +//; s/ +$//')
  pattern=$(printf '%s' "$text" | sed -E 's/[][\.*^$(){}+?|]/\\&/g;
    s/%\\\.3d/(nnn|[0-9]{3})/g; s/%\\\.2x/(xx|[0-9a-f]{2})/g; s/%3d/ *[0-9]{1,3}/g; s/%d/(n|[0-9]+)/g')
  if ! grep -qE "^ *${pattern} *$" <<<"$rendered" &&
    ! { [ "$quoted" = yes ] && grep -qE "\"${pattern}\"" <<<"$rendered"; }; then
    echo "not in $(basename "$page") as written: \"$text\"" >&2
    missing=$((missing + 1))
  fi
done
[ "$missing" -eq 0 ] || { echo "FAIL: $missing of ${#messages[@]} messages missing from $(basename "$page")" >&2; exit 1; }
echo "$(basename "$page"): all ${#messages[@]} messages of the program quoted as written"
