#!/usr/bin/env bash
# What putting the lines on stable storage costs a run that removes its
# record file: times `zelto` (the lines of 1e7 records of 128 bytes written
# to out.txt, then binary.tmp removed) beside a reference build that does the
# same without the flush, in turns, on the same data.
#
#   bench/flush_cost.sh ZELTO REFERENCE_ZELTO [RUNS] [DATA_DIR]
#
# The record file is copied back before every run and the copy synced, so
# that its write-back does not fall into the timed run. Prints each run's
# seconds and the min/median/max of each.
set -euo pipefail
zelto=$(realpath "$1")
reference=$(realpath "$2")
runs=${3:-5}
data=${4:-bench/data/flush}
here=$(dirname "$(realpath "$0")")
makes="$here/../build-bench/tests/support/zelto_make_records"
[ -x "$makes" ] || makes="$here/../build/tests/support/zelto_make_records"

mkdir -p "$data"
cd "$data"
if [ ! -f master.bin ]; then
  "$makes" --kind=int --count=10000000 --size=128 --dir=.
  mv binary.tmp master.bin
fi
# Line 12 of the parameter file: 0 lets the run remove the record file.
sed -i '12s/.*/0/' manager.txt

declare -A times
for ((i = 1; i <= runs; ++i)); do
  for which in zelto reference; do
    program=$zelto
    [ "$which" = reference ] && program=$reference
    cp master.bin binary.tmp
    rm -f out.txt
    sync
    start=$(date +%s.%N)
    "$program"
    end=$(date +%s.%N)
    [ ! -e binary.tmp ] || { echo "the record file was kept" >&2; exit 1; }
    seconds=$(echo "$end - $start" | bc)
    echo "$which $seconds"
    times[$which]+="$seconds "
  done
done
for which in zelto reference; do
  echo -n "$which min/median/max: "
  tr ' ' '\n' <<<"${times[$which]}" | grep . | sort -n |
    awk '{ v[NR] = $1 } END { printf "%.2f / %.2f / %.2f s\n", v[1], v[int((NR + 1) / 2)], v[NR] }'
done
