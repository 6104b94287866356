#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset: clang-14, libFuzzer, ASan and
# UBSan) and runs each for SECONDS (default 60), one after the other.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Starting inputs: the committed corpus (fuzz/corpus/<target>/), the crash
# reproducers, the demo tunes in samples/ (for the targets that read VGM
# files) and the seeds the project's encoders write (fuzz_make_seeds). New
# inputs collect in build-fuzz/work/<target>/. With ../shared/vgm-samples/
# present its files seed the VGM targets too; the inputs grown from them
# collect in build-fuzz/work-shared/<target>/ instead, because nothing of
# those files may go into the repository.
#
#   KLINK_FUZZ_SHARED=0   leave ../shared alone
#   KLINK_FUZZ_JOBS=N     run N targets at once (default 1)
#   KLINK_FUZZ_RUNS=N     stop a target after N executions (SECONDS still caps it)
#   bash scripts/fuzz.sh --minimise [TARGET...]
#                         rewrite fuzz/corpus/<target>/ as the -merge=1
#                         minimum of itself and build-fuzz/work/<target>/
#
# A crash leaves its input as build-fuzz/crash-<target>-*; after the fix,
# copy it to fuzz/crashes/<target>/ so that the tests replay it.
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(vgm_file vgm_commands frame_decoder capability_pages kl2_records session adpcm_source kl2_dac_source)
minimise=0
seconds=60
if [ "${1:-}" = "--minimise" ]; then
  minimise=1
  shift
elif [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=("${all_targets[@]}"); fi

bash scripts/setup.sh --fuzz
cmake --preset fuzz >/dev/null
nice cmake --build --preset fuzz -j 2 --target fuzz_make_seeds $(printf 'fuzz_%s ' "${targets[@]}")
bin=build-fuzz/fuzz
seeds=build-fuzz/seeds
rm -rf "$seeds"
"$bin/fuzz_make_seeds" "$seeds"

# Longest input per target: VGM files are cut at 16 KiB (a shared file's
# header and first commands; the rest only slows the search down).
max_len() {
  case "$1" in
    vgm_file | vgm_commands | adpcm_source | kl2_dac_source) echo 16384 ;;
    frame_decoder | capability_pages) echo 4096 ;;
    *) echo 1024 ;;
  esac
}
reads_vgm() {
  case "$1" in vgm_file | adpcm_source | kl2_dac_source) return 0 ;; *) return 1 ;; esac
}

if [ "$minimise" = 1 ]; then
  for t in "${targets[@]}"; do
    mkdir -p "fuzz/corpus/$t" "build-fuzz/work/$t" "$seeds/$t"
    old=$(mktemp -d)
    cp -a "fuzz/corpus/$t/." "$old/"
    find "fuzz/corpus/$t" -type f ! -name '.*' -delete
    extra=()
    if reads_vgm "$t"; then extra+=(samples); fi
    "$bin/fuzz_$t" -merge=1 -max_len="$(max_len "$t")" "fuzz/corpus/$t" "$old" "$seeds/$t" "${extra[@]}" \
      "build-fuzz/work/$t" 2>&1 | grep -E '^MERGE-OUTER: [0-9]+ new files' || true
    rm -rf "$old"
    echo "$t: $(find "fuzz/corpus/$t" -type f ! -name '.*' | wc -l) files, $(du -sk "fuzz/corpus/$t" | cut -f1) KiB"
  done
  exit 0
fi

use_shared=0
if [ "${KLINK_FUZZ_SHARED:-1}" != 0 ] && [ -d ../shared/vgm-samples ]; then use_shared=1; fi

run_one() {
  local t=$1
  local work="build-fuzz/work/$t"
  local inputs=("fuzz/corpus/$t" "fuzz/crashes/$t" "$seeds/$t")
  if reads_vgm "$t"; then
    inputs+=(samples)
    if [ "$use_shared" = 1 ]; then
      work="build-fuzz/work-shared/$t"
      inputs+=(../shared/vgm-samples)
    fi
  fi
  mkdir -p "$work" "fuzz/crashes/$t" "$seeds/$t"
  echo "== $t: ${seconds} s"
  nice "$bin/fuzz_$t" "$work" "${inputs[@]}" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
    ${KLINK_FUZZ_RUNS:+-runs=$KLINK_FUZZ_RUNS} -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="build-fuzz/crash-$t-" \
    >"build-fuzz/fuzz-$t.log" 2>&1 || {
    echo "$t: FAILED, see build-fuzz/fuzz-$t.log"
    return 1
  }
  grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units|stat::average_exec_per_sec' "build-fuzz/fuzz-$t.log" || true
}

status=0
jobs=${KLINK_FUZZ_JOBS:-1}
running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
