#!/usr/bin/env bash
# Every text tarvolo_updater writes must stand in its man page and in the operators' README
# exactly as written: a text changed in the code and not in the document fails here.
# - Its messages and prompts (MSG_ and PROMPT_ constants): on a line of their own (in the README
#   also in double quotes within a sentence).
# - The man page only: the reasons it gives on standard error (REASON_ constants), within the
#   text, and, when UPDATER is given, its banner as that program writes it, line by line.
# Placeholders of the document (n, nnn, xx) or sample numbers stand for the formats.
#   tests/package/man_messages.sh MAN_PAGE(.1 or .1.gz) SOURCE_DIR [UPDATER [LAUNCHER...]]
#   tests/package/man_messages.sh OPERATOR_README.txt SOURCE_DIR
set -euo pipefail
page=$1
source_dir=$2
updater=${3:-}
launcher=("${@:4}")

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
  # Wide lines, so that no message is broken; no bold or underline, which would hide the bytes;
  # no hyphenation, which would break a reason's words.
  rendered=$(gzip -dcf "$page" | groff -man -Tutf8 -P-cbou -rLL=300n -rHY=0)
  ;;
esac
# The constants' texts, printf's PRI macros of <cinttypes> read as %d.
constants() {
  (cd "$source_dir" && cat app/*.cpp image/*.cpp protocol/*.cpp serial/*.cpp |
    sed -E 's/%" PRI[a-zA-Z0-9]+ "/%d/g; s/%" PRI[a-zA-Z0-9]+;/%d";/g' |
    sed -nE 's/^\s*(constexpr |extern )?(const )?char ('"$1"')_[A-Z_0-9]*\[\] = "(.*)";.*/\4/p')
}
# A text as an extended regular expression, its formats standing for the document's placeholders.
pattern_of() {
  printf '%s' "$1" | sed -E 's/[][\.*^$(){}+?|]/\\&/g;
    s/%\\\.3d/(nnn|[0-9]{3})/g; s/%\\\.2x/(xx|[0-9a-f]{2})/g; s/%3d/ *[0-9]{1,3}/g; s/%d/(n|[0-9]+)/g'
}
mapfile -t messages < <(constants 'MSG|PROMPT')
[ "${#messages[@]}" -ge 20 ] || { echo "FAIL: only ${#messages[@]} messages found in $source_dir" >&2; exit 1; }

missing=0
for message in "${messages[@]}"; do
  text=$(printf '%s' "$message" | sed -E 's/\\[nr]//g; s/^ +//; s/ +$//')
  pattern=$(pattern_of "$text")
  if ! grep -qE "^ *${pattern} *$" <<<"$rendered" &&
    ! { [ "$quoted" = yes ] && grep -qE "\"${pattern}\"" <<<"$rendered"; }; then
    echo "not in $(basename "$page") as written: \"$text\"" >&2
    missing=$((missing + 1))
  fi
done
checked="all ${#messages[@]} messages"

if [ "$quoted" = no ]; then
  # A reason stands within a sentence, and may run on to the next line of the page.
  flat=$(tr -s ' \n' '  ' <<<"$rendered")
  mapfile -t reasons < <(constants REASON)
  [ "${#reasons[@]}" -ge 10 ] || { echo "FAIL: only ${#reasons[@]} reasons found in $source_dir" >&2; exit 1; }
  for reason in "${reasons[@]}"; do
    if ! grep -qE "$(pattern_of "$reason")" <<<"$flat"; then
      echo "not in $(basename "$page") as written: the reason \"$reason\"" >&2
      missing=$((missing + 1))
    fi
  done
  checked+=", ${#reasons[@]} reasons"
fi

if [ -n "$updater" ]; then
  # The banner as the program writes it: its lines of stars, before the first question. Without a
  # terminal and with no input the program asks once and ends.
  mapfile -t banner < <(setsid -w "${launcher[@]}" "$updater" </dev/null 2>/dev/null | tr -d '\r' | grep '^\*' || true)
  [ "${#banner[@]}" -eq 5 ] || { echo "FAIL: $updater wrote ${#banner[@]} banner lines, not 5" >&2; exit 1; }
  unindented=$(sed -E 's/^ +//' <<<"$rendered")
  for line in "${banner[@]}"; do
    if ! grep -qxF "$line" <<<"$unindented"; then
      echo "not in $(basename "$page") as written: the banner line \"$line\"" >&2
      missing=$((missing + 1))
    fi
  done
  checked+=", the banner"
fi

[ "$missing" -eq 0 ] || { echo "FAIL: $missing texts missing from $(basename "$page") ($checked checked)" >&2; exit 1; }
echo "$(basename "$page"): $checked of the program quoted as written"
