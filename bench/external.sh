#!/usr/bin/env bash
# The external pass against the in-memory pass and GNU sort on one file:
# 32,000,000 integer records of 128 bytes (4.1 GB), arranged in memory, with
# ZELTO_MEMORY=1G, and as text lines by `LC_ALL=C sort -S 1G -n`. Prints wall
# time (min / median / max), peak RSS and the ratios of medians, and checks
# that both zelto outputs are identical. Called by bench/run.sh; runs alone
# too. The generated files live in a directory under /tmp (or --data-dir)
# that is removed at the end.
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
COUNT=32000000
MEMORY=1G
RUNS=3
BUILD_DIR="$REPO/build-bench"
DATA_PARENT=${TMPDIR:-/tmp}
BUILD=1
OUT=""
REFERENCE=""

usage() {
  cat <<'EOF2'
usage: bench/external.sh [options]
  --count=N         records of 128 bytes (default 32000000)
  --memory=SIZE     ZELTO_MEMORY of the external runs (default 1G); also sort's -S
  --runs=N          timed runs of each command (default 3)
  --build-dir=DIR   Release build directory (default build-bench)
  --data-dir=DIR    where the temporary data directory goes (default $TMPDIR or /tmp)
  --no-build        use the binaries already in the build directory
  --out=FILE        also write the table to FILE
  --reference=BIN   also time another zelto (an earlier build) at the same budget
EOF2
}

for arg in "$@"; do
  case "$arg" in
    --count=*) COUNT=${arg#*=} ;;
    --memory=*) MEMORY=${arg#*=} ;;
    --runs=*) RUNS=${arg#*=} ;;
    --build-dir=*) BUILD_DIR=${arg#*=} ;;
    --data-dir=*) DATA_PARENT=${arg#*=} ;;
    --no-build) BUILD=0 ;;
    --out=*) OUT=${arg#*=} ;;
    --reference=*) REFERENCE=$(realpath "${arg#*=}") ;;
    -h | --help) usage; exit 0 ;;
    *) echo "external.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
  esac
done

say() { echo "external.sh: $*" >&2; }
die() { say "$*"; exit 1; }

command -v /usr/bin/time >/dev/null || die "GNU time is needed (Debian package time)"
if [ "$BUILD" = 1 ]; then
  say "building (Release) in $BUILD_DIR"
  cmake -S "$REPO" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DZELTO_BUILD_TESTS=OFF \
    -DZELTO_BUILD_BENCH=ON >/dev/null
  cmake --build "$BUILD_DIR" -j2 --target zelto zelto_make_records >/dev/null
fi
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
ZELTO="$BUILD_DIR/zelto"
MAKE_RECORDS="$BUILD_DIR/tests/support/zelto_make_records"
for b in "$ZELTO" "$MAKE_RECORDS" ${REFERENCE:+"$REFERENCE"}; do [ -x "$b" ] || die "missing $b"; done

DIR=$(mktemp -d "$DATA_PARENT/zelto-external-XXXXXX")
trap 'rm -rf "$DIR"' EXIT
mkdir "$DIR/tmp"

say "generating $COUNT records in $DIR"
"$MAKE_RECORDS" --kind=int --count="$COUNT" --size=128 --dir="$DIR" --lines="$DIR/lines.txt" >/dev/null
# The new files reach the disk before any timed run, whose temporary files
# would otherwise wait behind their write-back.
sync
cat "$DIR/binary.tmp" "$DIR/lines.txt" >/dev/null

declare -A WALLS RSS OPENS
seconds() { awk -v us=$(($2 - $1)) 'BEGIN { printf "%.2f", us / 1e6 }'; }
# run NAME OUTPUT COMMAND...: one timed run in the data directory. zelto
# opens its output once the records are sorted (in memory) or the runs are
# stored (on disk): the time until OUTPUT appears is noted too.
run() {
  local name=$1 output=$2
  shift 2
  rm -f "$DIR/$output"
  local t0 t1 topen="" status=0 pid
  cd "$DIR"
  t0=$EPOCHREALTIME
  /usr/bin/time -v -o "$DIR/time.txt" "$@" >/dev/null &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    if [ -z "$topen" ] && [ -e "$DIR/$output" ]; then topen=$EPOCHREALTIME; fi
    sleep 0.01
  done
  wait "$pid" || status=$?
  t1=$EPOCHREALTIME
  cd "$REPO"
  [ "$status" = 0 ] || die "$name failed (status $status)"
  local wall rss
  wall=$(seconds "${t0/./}" "${t1/./}")
  [ -z "$topen" ] || OPENS[$name]+="$(seconds "${t0/./}" "${topen/./}") "
  rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$DIR/time.txt")
  WALLS[$name]+="$wall "
  [ "${RSS[$name]:-0}" -gt "$rss" ] || RSS[$name]=$rss
  say "  $name: $wall s, peak RSS $((rss / 1024)) MiB"
}

in_memory=(env -u ZELTO_MEMORY "TMPDIR=$DIR/tmp" "$ZELTO" -y -o out-memory.txt)
external=(env "ZELTO_MEMORY=$MEMORY" "TMPDIR=$DIR/tmp" "$ZELTO" -y -o out-external.txt)
gnu_sort=(env "TMPDIR=$DIR/tmp" sort -S "$MEMORY" -n -o sorted.txt lines.txt)
reference=(env "ZELTO_MEMORY=$MEMORY" "TMPDIR=$DIR/tmp" "$REFERENCE" -y -o out-reference.txt)
# The external pass and the reference, when given, run one right after the
# other, each first in every other round: each may meet what the run before
# it left to the file system (the freeing of its temporary file).
run_external_pair() {
  if [ -z "$REFERENCE" ] || [ $(($1 % 2)) = 1 ]; then
    run external out-external.txt "${external[@]}"
    [ -z "$REFERENCE" ] || run reference out-reference.txt "${reference[@]}"
  else
    run reference out-reference.txt "${reference[@]}"
    run external out-external.txt "${external[@]}"
  fi
}
for i in $(seq 1 "$RUNS"); do
  say "round $i of $RUNS"
  # The order changes each round, so that no command always runs first.
  case $((i % 3)) in
    1) run memory out-memory.txt "${in_memory[@]}"; run_external_pair "$i"
       run sort sorted.txt "${gnu_sort[@]}" ;;
    2) run_external_pair "$i"; run sort sorted.txt "${gnu_sort[@]}"
       run memory out-memory.txt "${in_memory[@]}" ;;
    0) run sort sorted.txt "${gnu_sort[@]}"; run memory out-memory.txt "${in_memory[@]}"
       run_external_pair "$i" ;;
  esac
done

same=identical
for other in out-external.txt ${REFERENCE:+out-reference.txt}; do
  cmp -s "$DIR/out-memory.txt" "$DIR/$other" || same=DIFFERENT
done
[ -z "$(ls -A "$DIR/tmp")" ] || same="$same (temporary files left!)"

stats() {  # min median max of the words given
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%s %s %s", v[1], m, v[NR] }'
}
read -r mem_lo mem_med mem_hi <<<"$(stats ${WALLS[memory]})"
read -r ext_lo ext_med ext_hi <<<"$(stats ${WALLS[external]})"
read -r srt_lo srt_med srt_hi <<<"$(stats ${WALLS[sort]})"
{
  echo "external pass: $COUNT integer records of 128 bytes, ZELTO_MEMORY=$MEMORY, $RUNS runs each"
  printf '%-34s %8s %8s %8s %10s\n' command "min s" "median s" "max s" "peak RSS"
  printf '%-34s %8s %8s %8s %7s MiB\n' "zelto (in memory)" "$mem_lo" "$mem_med" "$mem_hi" $((RSS[memory] / 1024))
  printf '%-34s %8s %8s %8s %7s MiB\n' "zelto, ZELTO_MEMORY=$MEMORY" "$ext_lo" "$ext_med" "$ext_hi" $((RSS[external] / 1024))
  if [ -n "$REFERENCE" ]; then
    read -r ref_lo ref_med ref_hi <<<"$(stats ${WALLS[reference]})"
    printf '%-34s %8s %8s %8s %7s MiB\n' "reference, ZELTO_MEMORY=$MEMORY" "$ref_lo" "$ref_med" "$ref_hi" $((RSS[reference] / 1024))
  fi
  printf '%-34s %8s %8s %8s %7s MiB\n' "LC_ALL=C sort -S $MEMORY -n (text)" "$srt_lo" "$srt_med" "$srt_hi" $((RSS[sort] / 1024))
  awk -v m="$mem_med" -v e="$ext_med" -v s="$srt_med" \
    'BEGIN { printf "external / in memory: %.2fx   sort / external: %.2fx\n", e / m, s / e }'
  [ -z "$REFERENCE" ] || awk -v e="$ext_med" -v r="$ref_med" \
    'BEGIN { printf "reference / external: %.2fx\n", r / e }'
  for name in memory external ${REFERENCE:+reference}; do
    [ -n "${OPENS[$name]:-}" ] || continue
    read -r open_lo open_med open_hi <<<"$(stats ${OPENS[$name]})"
    printf 'until %s opens its output: %s / %s / %s s (min / median / max)\n' \
      "$name" "$open_lo" "$open_med" "$open_hi"
  done
  echo "outputs of the zelto runs: $same"
} | tee ${OUT:+"$OUT"}
