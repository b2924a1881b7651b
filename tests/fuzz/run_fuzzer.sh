#!/usr/bin/env bash
# Runs one libFuzzer binary of a TARVOLO_FUZZ=ON build for SECONDS (TARVOLO_FUZZ_SECONDS, 20 by
# default), starting from a copy of its corpus so that the inputs it finds never land in the work
# tree. Fails when the fuzzer finds a crash, a sanitizer report, a property violation or a timeout.
# CTest runs it once per target (fuzz_<target>_run, label fuzz).
#
#   tests/fuzz/run_fuzzer.sh BINARY CORPUS_DIR ARTIFACT_DIR
#
# A crash input is kept in ARTIFACT_DIR; each one found becomes a seed in CORPUS_DIR once the
# defect is mended.
set -euo pipefail

seconds=${TARVOLO_FUZZ_SECONDS:-20}
if [[ $# -ne 3 || ! $seconds =~ ^[0-9]+$ ]]; then
  echo "usage: [TARVOLO_FUZZ_SECONDS=N] $0 BINARY CORPUS_DIR ARTIFACT_DIR" >&2
  exit 2
fi
binary=$1 artifacts=$3
name=$(basename "$binary")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$2" "$work/corpus"
mkdir -p "$artifacts"
echo "== $name for ${seconds}s"
status=0
# -timeout: every target finishes an input in milliseconds; seconds mean a hang.
"$binary" "$work/corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" >"$work/log" 2>&1 || status=$?
grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$work/log" || true
if [[ $status -ne 0 ]]; then
  echo "$name FAILED (status $status); log tail:" >&2
  tail -n 40 "$work/log" >&2
  ls -1 "$artifacts" >&2 || true
  exit 1
fi
