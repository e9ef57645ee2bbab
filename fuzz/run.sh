#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14 (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS seconds on a working
# copy of its seed corpus, so the committed seeds in fuzz/corpus/ stay small.
#
#   bash fuzz/run.sh SECONDS [TARGET...]     (default: every target)
#
# Build outputs, the working corpora, logs and crash inputs go to build-fuzz/
# (FUZZ_BUILD_DIR overrides it). Exits non-zero when a target finds a crash,
# after running all of them; the crash report and the input's path are shown.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -lt 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS [TARGET...]" >&2
  exit 2
fi
seconds="$1"
shift
all_targets=(fuzz_parameters fuzz_arguments fuzz_arrange fuzz_run_length)
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=("${all_targets[@]}")
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"

# The compiler and libFuzzer's runtime (libclang-rt-14-dev) from Debian.
packages=(cmake clang-14 libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

echo "== building the fuzz targets in $build"
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

# Longest input each target is given: two key areas for the pattern coder,
# past the thirteen parameter lines (3329 bytes) for the parameter reader.
max_len() {
  case "$1" in
    fuzz_run_length) echo 161 ;;
    fuzz_arguments) echo 2048 ;;
    fuzz_parameters) echo 4096 ;;
    fuzz_arrange) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failures=0
for t in "${targets[@]}"; do
  work="$build/corpus-work/$t"
  artifacts="$build/artifacts/$t"
  log="$build/logs/$t.log"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  # New seeds join the working corpus; what earlier runs found stays.
  cp -n "$root/fuzz/corpus/$t/"* "$work/" 2>/dev/null || true
  echo "== $t for ${seconds}s (log: $log)"
  status=0
  "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$(max_len "$t")" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" >"$log" 2>&1 || status=$?
  runs="$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || true)"
  last="$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)"
  cov="$(grep -o 'cov: [0-9]*' <<<"$last" | grep -o '[0-9]*' || true)"
  ft="$(grep -o 'ft: [0-9]*' <<<"$last" | grep -o '[0-9]*' || true)"
  corpus="$(grep -o 'corp: [0-9]*' <<<"$last" | grep -o '[0-9]*' || true)"
  if [ "$status" -eq 0 ]; then
    echo "$t: ${runs:-?} runs, cov ${cov:-?}, ft ${ft:-?}, corpus ${corpus:-?}, no crash"
  else
    failures=$((failures + 1))
    echo "$t: FAILED (status $status) after ${runs:-?} runs; the end of its log:"
    tail -n 60 "$log"
    echo "crash inputs (rerun one with: $build/$t FILE):"
    ls -1d "$artifacts"/* 2>/dev/null || true
  fi
done

if [ "$failures" -gt 0 ]; then
  echo "fuzzing: $failures of ${#targets[@]} targets found a crash"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets ran ${seconds}s each without a crash"
