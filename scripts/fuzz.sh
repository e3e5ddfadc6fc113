#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang, build/fuzz) and runs
# each for SECONDS seconds (default 20), starting from a temporary copy of
# its committed seed corpus in tests/fuzz/corpus/<name>, so that the inputs
# libFuzzer adds never land in the repository.  A crash, a sanitizer report
# or a failed check in any target fails the run; its reproducer is kept in
# build/fuzz/artifacts and its log in build/fuzz/logs.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(decoder_fuzz line_parser_fuzz convar_fuzz format_fuzz recv_fuzz)
fi
case "$seconds" in
  ''|*[!0-9]*) echo "fuzz: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

build=build/fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

mkdir -p "$build/artifacts" "$build/logs"
work=$(mktemp -d "${TMPDIR:-/tmp}/qg-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

failed=()
for target in "${targets[@]}"; do
  corpus=tests/fuzz/corpus/${target%_fuzz}
  cp -r "$corpus" "$work/$target"
  log=$build/logs/$target.log
  # -max_total_time bounds the run (0 seconds only replays the seeds, as
  # libFuzzer would read 0 as no bound); -timeout catches one slow input;
  # -rss_limit_mb keeps a runaway within the machine.
  if [ "$seconds" -eq 0 ]; then bound=-runs=0; else bound=-max_total_time=$seconds; fi
  if "$build/bin/$target" "$work/$target" \
      "$bound" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
      >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "fuzz: $target passed (${seconds}s, ${runs:-?} runs)"
  else
    echo "fuzz: $target FAILED; log $log:" >&2
    tail -40 "$log" >&2
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: ${#failed[@]} failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} passed, 0 failed"
