#!/usr/bin/env bash
# Runs every libFuzzer binary of a TARVOLO_FUZZ=ON build for SECONDS each, one after the other,
# starting from a copy of its corpus so that the inputs it finds never land in the work tree.
# Fails when any fuzzer finds a crash, a sanitizer report, a property violation or a timeout.
#
#   tests/fuzz/run_fuzzers.sh BUILD_DIR SECONDS
#
# Crash inputs are kept in BUILD_DIR/fuzz-artifacts/<target>/; each one found becomes a seed
# under corpus/<target>/ once the defect is mended.
set -euo pipefail

if [[ $# -ne 2 || ! $2 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
build_dir=$(cd "$1" && pwd)
seconds=$2
fuzz_dir=$(cd "$(dirname "$0")" && pwd)
targets=(dialogue update image)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=()
for target in "${targets[@]}"; do
  binary=$(find "$build_dir" -type f -name "fuzz_$target" -perm -u+x -print -quit)
  if [[ -z $binary ]]; then
    echo "fuzz_$target: no binary under $build_dir (configure with -DTARVOLO_FUZZ=ON and Clang)" >&2
    failed+=("$target")
    continue
  fi
  corpus="$work/corpus-$target"
  cp -r "$fuzz_dir/corpus/$target" "$corpus"
  artifacts="$build_dir/fuzz-artifacts/$target"
  mkdir -p "$artifacts"
  log="$work/$target.log"
  echo "== fuzz_$target for ${seconds}s"
  status=0
  # -timeout: every target finishes an input in milliseconds; seconds mean a hang.
  "$binary" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" || true
  if [[ $status -ne 0 ]]; then
    echo "fuzz_$target FAILED (status $status); log tail:" >&2
    tail -n 40 "$log" >&2
    ls -1 "$artifacts" >&2 || true
    failed+=("$target")
  fi
done

if [[ ${#failed[@]} -ne 0 ]]; then
  echo "failed: ${failed[*]}" >&2
  exit 1
fi
echo "all fuzzers ran clean"
