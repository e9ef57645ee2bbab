#!/usr/bin/env bash
# Times zelto against its baseline, GNU sort, an earlier build of zelto, cp and
# cat on generated record files, in one run on the same files, and plots how
# the time grows with the number of records. See bench/README.md.
set -euo pipefail
# Numbers are read and printed with a decimal point whatever the caller's locale.
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
BENCH="$REPO/bench"

RUNS=5
BASELINE_LARGE_RUNS=3          # baseline runs on files of LARGE_COUNT records or more
SORT_LARGE_RUNS=""             # GNU sort runs there (default: RUNS)
REFERENCE=""                   # another zelto binary timed beside this one (column "ref")
REFERENCE_COMMIT=""            # or a commit of this repository, built for that
BASELINE_RUNS=1                # 0: the baseline is not timed (--no-baseline)
LARGE_COUNT=10000000
KINDS="int,phrase,double"
COUNTS="1000000,10000000"      # 128-byte records, every tool
WIDE_COUNTS="1000000"          # 512-byte records, every tool
FULL_SCALING_COUNTS="100000,300000,1000000,3000000,10000000"
SCALING_COUNTS="$FULL_SCALING_COUNTS"  # 128-byte integer records, plot
SEED=1
DATA_DIR="$BENCH/data"
BUILD_DIR="$REPO/build-bench"
RESULTS_ROOT="$BENCH/results"
PLOT=1
PLOT_OUT=""
KEEP_DATA=0
BUILD=1
UNIQUE_CHECK=1
REPORT_ONLY=""
EXTERNAL=1
EXTERNAL_COUNT=32000000        # records of the external-pass rows (bench/external.sh)
EXTERNAL_MEMORY=1G

usage() {
  cat <<'EOF'
usage: bench/run.sh [options]
  --quick                 1e5 and 1e6 records only (plot over 1e5, 3e5, 1e6 into the results)
  --runs=N                timed runs of each command (default 5), after one untimed warm run
  --baseline-large-runs=N timed baseline runs on files of 1e7 records or more (default 3)
  --sort-large-runs=N     timed GNU sort runs there, without the untimed warm run
                          (default: as --runs, with it)
  --reference=BINARY      also time this zelto (e.g. an older commit's build) as "ref"
  --reference-commit=REV  build commit REV of this repository in BUILD_DIR-ref and time it as "ref"
  --no-baseline           do not time the baseline (nor compare outputs with it)
  --kinds=LIST            subset of int,phrase,double (default all three)
  --counts=LIST           record counts of the 128-byte files (default 1000000,10000000)
  --wide-counts=LIST      record counts of the 512-byte files (default 1000000; "" for none)
  --scaling-counts=LIST   record counts of the plot (default 1e5,3e5,1e6,3e6,1e7)
  --seed=S                generator seed (default 1)
  --data-dir=DIR          where the generated files go (default bench/data)
  --build-dir=DIR         Release build directory (default build-bench)
  --no-build              use the binaries already in the build directory
  --no-plot               skip the scaling plot
  --plot-out=FILE         where the plot goes (default docs/bench-scaling.png, or the
                          results directory with --quick or other counts)
  --no-unique-check       skip the untimed baseline -u run that checks zelto -u's output
  --keep-data             keep the generated files (default: each is deleted once measured)
  --report=DIR            print the table of an earlier run's results again and exit
  --no-external           skip the external-pass rows (bench/external.sh: 32e6 records,
                          ZELTO_MEMORY=1G; 1e6 records and 32M with --quick)
EOF
}

QUICK=0
for arg in "$@"; do
  case "$arg" in
    --quick) QUICK=1 ;;
    --runs=*) RUNS=${arg#*=} ;;
    --baseline-large-runs=*) BASELINE_LARGE_RUNS=${arg#*=} ;;
    --sort-large-runs=*) SORT_LARGE_RUNS=${arg#*=} ;;
    --reference=*) REFERENCE=${arg#*=} ;;
    --reference-commit=*) REFERENCE_COMMIT=${arg#*=} ;;
    --no-baseline) BASELINE_RUNS=0 ;;
    --kinds=*) KINDS=${arg#*=} ;;
    --counts=*) COUNTS=${arg#*=} ;;
    --wide-counts=*) WIDE_COUNTS=${arg#*=} ;;
    --scaling-counts=*) SCALING_COUNTS=${arg#*=} ;;
    --seed=*) SEED=${arg#*=} ;;
    --data-dir=*) DATA_DIR=${arg#*=} ;;
    --build-dir=*) BUILD_DIR=${arg#*=} ;;
    --no-build) BUILD=0 ;;
    --no-plot) PLOT=0 ;;
    --plot-out=*) PLOT_OUT=${arg#*=} ;;
    --no-unique-check) UNIQUE_CHECK=0 ;;
    --keep-data) KEEP_DATA=1 ;;
    --report=*) REPORT_ONLY=${arg#*=} ;;
    --no-external) EXTERNAL=0 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
  esac
done

if [ "$QUICK" = 1 ]; then
  EXTERNAL_COUNT=1000000
  EXTERNAL_MEMORY=32M
  COUNTS="100000,1000000"
  WIDE_COUNTS="100000"
  SCALING_COUNTS="100000,300000,1000000"
fi

say() { printf '%s\n' "$*" >&2; }
die() { say "run.sh: $*"; exit 1; }

# Prints the table and the targets of the results in directory $1.
report() {
  awk -F'\t' -f "$BENCH/report.awk" "$1/summary.tsv" "$1/checks.tsv"
}

if [ -n "$REPORT_ONLY" ]; then
  report "$REPORT_ONLY"
  exit 0
fi

# Installs the Debian packages that provide the given commands, if missing.
ensure_packages() {
  local missing=()
  while [ $# -gt 0 ]; do
    command -v "$1" >/dev/null 2>&1 || missing+=("$2")
    shift 2
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

ensure_packages cmake cmake g++ g++ make make /usr/bin/time time
[ "$PLOT" = 1 ] && ensure_packages gnuplot gnuplot-nox

if [ "$BUILD" = 1 ]; then
  say "building (Release) in $BUILD_DIR"
  cmake -S "$REPO" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DZELTO_BUILD_TESTS=OFF \
    -DZELTO_BUILD_BENCH=ON >/dev/null
  cmake --build "$BUILD_DIR" -j2 --target zelto zelto_baseline zelto_make_records \
    zelto_peak_memory >/dev/null
fi
if [ -n "$REFERENCE_COMMIT" ]; then
  REFERENCE_SOURCE="$BUILD_DIR-ref/source"
  say "building the reference, commit $REFERENCE_COMMIT, in $BUILD_DIR-ref"
  rm -rf "$REFERENCE_SOURCE"
  mkdir -p "$REFERENCE_SOURCE"
  git -C "$REPO" archive "$REFERENCE_COMMIT" | tar -x -C "$REFERENCE_SOURCE"
  cmake -S "$REFERENCE_SOURCE" -B "$BUILD_DIR-ref/build" -DCMAKE_BUILD_TYPE=Release \
    -DZELTO_BUILD_TESTS=OFF >/dev/null
  cmake --build "$BUILD_DIR-ref/build" -j2 --target zelto >/dev/null
  REFERENCE="$BUILD_DIR-ref/build/zelto"
fi
ZELTO="$BUILD_DIR/zelto"
BASELINE="$BUILD_DIR/bench/zelto_baseline"
MAKE_RECORDS="$BUILD_DIR/tests/support/zelto_make_records"
PEAK_MEMORY="$BUILD_DIR/bench/zelto_peak_memory"
[ -z "$REFERENCE" ] || REFERENCE=$(realpath "$REFERENCE")
for b in "$ZELTO" "$BASELINE" "$MAKE_RECORDS" "$PEAK_MEMORY" $REFERENCE; do [ -x "$b" ] || die "missing $b"; done

RESULTS="$RESULTS_ROOT/$(date +%Y%m%d-%H%M%S)"
mkdir -p "$RESULTS" "$DATA_DIR"
RAW="$RESULTS/raw.tsv"
SUMMARY="$RESULTS/summary.tsv"
CHECKS="$RESULTS/checks.tsv"
TIMES="$RESULTS/time-v.txt"
printf 'kind\tcount\tsize\ttool\trun\twall_s\tcpu_s\trss_kb\n' >"$RAW"
printf 'kind\tcount\tsize\ttool\truns\twall_median\twall_min\twall_max\tcpu_median\trss_max_kb\tfile_bytes\tfirst_s\tanon_kb\n' >"$SUMMARY"
printf 'kind\tcount\tsize\tcheck\tresult\n' >"$CHECKS"
{
  echo "date: $(date -Is)"
  echo "commit: $(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "uncommitted changes in src/: $(git -C "$REPO" status --short -- src 2>/dev/null | wc -l) files"
  echo "host: $(uname -srm), $(nproc) cores, $(awk '/MemTotal/ {print $2 " kB"}' /proc/meminfo)"
  echo "cpu: $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)"
  echo "sort: $(sort --version | head -1)"
  echo "runs: $RUNS (baseline at >= $LARGE_COUNT records: $BASELINE_LARGE_RUNS), seed $SEED"
  echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
} >"$RESULTS/environment.txt"

# Median of the numbers on standard input.
median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# measure TOOL RUNS DIR OUTPUT COMMAND...: runs COMMAND in DIR once under
# zelto_peak_memory (its wall time is the "first run" column: for the first
# tool of a set, the first run after the data file was written; its peak
# RssAnon the private memory; skipped when WARM is 0), then RUNS times under
# /usr/bin/time -v, deleting OUTPUT before every run; appends each run to
# raw.tsv and the median wall time, median CPU time, largest peak RSS, first
# run and peak RssAnon to summary.tsv.
measure() {
  local tool=$1 runs=$2 dir=$3 output=$4
  shift 4
  local walls=() cpus=() rss_max=0 run t0 t1 wall cpu rss status first=- anon=-
  rm -f "$dir/$output"
  if [ "${WARM:-1}" = 1 ]; then
    (cd "$dir" && "$PEAK_MEMORY" "$RESULTS/first.tmp" "$@" >/dev/null) || die "$tool failed in $dir"
    read -r first anon <"$RESULTS/first.tmp"
  fi
  for run in $(seq 1 "$runs"); do
    rm -f "$dir/$output"
    # No subshell and no date process inside the timed span: cd here, read
    # the clock from the shell itself.
    cd "$dir"
    status=0
    t0=$EPOCHREALTIME
    /usr/bin/time -v -o "$RESULTS/time.tmp" "$@" >/dev/null || status=$?
    t1=$EPOCHREALTIME
    cd "$REPO"
    [ "$status" = 0 ] || die "$tool failed in $dir (status $status)"
    { echo "== $KIND $COUNT $SIZE $tool run $run"; cat "$RESULTS/time.tmp"; } >>"$TIMES"
    wall=$(awk -v us=$((${t1/./} - ${t0/./})) 'BEGIN { printf "%.4f", us / 1e6 }')
    cpu=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.2f", s }' "$RESULTS/time.tmp")
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$RESULTS/time.tmp")
    walls+=("$wall")
    cpus+=("$cpu")
    [ "$rss" -gt "$rss_max" ] && rss_max=$rss
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$KIND" "$COUNT" "$SIZE" "$tool" "$run" "$wall" "$cpu" "$rss" >>"$RAW"
  done
  local med lo hi cpu_med
  med=$(printf '%s\n' "${walls[@]}" | median)
  lo=$(printf '%s\n' "${walls[@]}" | sort -g | head -1)
  hi=$(printf '%s\n' "${walls[@]}" | sort -g | tail -1)
  cpu_med=$(printf '%s\n' "${cpus[@]}" | median)
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$KIND" "$COUNT" "$SIZE" "$tool" "$runs" \
    "$med" "$lo" "$hi" "$cpu_med" "$rss_max" "$FILE_BYTES" "$first" "$anon" >>"$SUMMARY"
  say "  $tool: median $med s (min $lo, max $hi, first run $first), cpu $cpu_med s," \
    "peak RSS $((rss_max / 1024)) MiB, peak RssAnon $anon kB"
}

check() {
  printf '%s\t%s\t%s\t%s\t%s\n' "$KIND" "$COUNT" "$SIZE" "$1" "$2" >>"$CHECKS"
  say "  check $1: $2"
}

# Compares two output files of the current data set.
check_same() {
  local name=$1 a=$2 b=$3
  if cmp -s "$DIR/$a" "$DIR/$b"; then check "$name" identical; else check "$name" DIFFERENT; fi
}

# Makes sure the data directory has room for a file of $1 bytes, its copy,
# the outputs and the text lines.
check_room() {
  local need=$(($1 * 3 + (1 << 30)))
  local avail
  avail=$(df --output=avail -B1 "$DATA_DIR" | tail -1)
  [ "$avail" -gt "$need" ] || die "not enough room in $DATA_DIR: $avail bytes free, $need needed"
}

# run_set KIND COUNT SIZE ROLE: generates one data set and measures it, with
# every tool (ROLE all) or only what the plot needs (ROLE scaling).
run_set() {
  KIND=$1 COUNT=$2 SIZE=$3
  local role=$4
  FILE_BYTES=$((COUNT * SIZE))
  DIR="$DATA_DIR/$KIND-$COUNT-$SIZE"
  local numeric=()
  case "$KIND" in
    int) numeric=(-n) ;;
    double) numeric=(-g) ;;
  esac
  check_room "$FILE_BYTES"
  say "== $KIND keys, $COUNT records of $SIZE bytes ($role)"
  rm -rf "$DIR"
  "$MAKE_RECORDS" --kind="$KIND" --count="$COUNT" --size="$SIZE" --dir="$DIR" --seed="$SEED" \
    --lines="$DIR/lines.txt"
  cat "$DIR/binary.tmp" "$DIR/lines.txt" >/dev/null

  local sort_default=(env LC_ALL=C sort -S 4G "${numeric[@]}" -o sorted.txt lines.txt)
  local baseline_runs=$RUNS sort_runs=$RUNS sort_warm=1
  if [ "$COUNT" -ge "$LARGE_COUNT" ]; then
    baseline_runs=$BASELINE_LARGE_RUNS
    [ -n "$SORT_LARGE_RUNS" ] && sort_runs=$SORT_LARGE_RUNS sort_warm=0
  fi

  # zelto with the thread count it chooses, and on one thread.
  measure zelto "$RUNS" "$DIR" out.txt env -u ZELTO_THREADS "$ZELTO"
  measure zelto-t1 "$RUNS" "$DIR" out-t1.txt env ZELTO_THREADS=1 "$ZELTO" -o out-t1.txt
  [ -n "$REFERENCE" ] && measure ref "$RUNS" "$DIR" out-ref.txt "$REFERENCE" -o out-ref.txt
  if [ "$role" = all ]; then
    measure zelto-u "$RUNS" "$DIR" out-u.txt env -u ZELTO_THREADS "$ZELTO" -u -o out-u.txt
    if [ "$BASELINE_RUNS" != 0 ]; then
      WARM=$sort_warm measure baseline "$baseline_runs" "$DIR" base.txt "$BASELINE" -o base.txt
    fi
  fi
  # GNU sort as a user runs it: its default threads.
  WARM=$sort_warm measure sort "$sort_runs" "$DIR" sorted.txt "${sort_default[@]}"
  measure cp "$RUNS" "$DIR" copy.tmp cp binary.tmp copy.tmp
  measure cat "$RUNS" "$DIR" none cat binary.tmp

  local lines
  lines=$(wc -l <"$DIR/out.txt")
  if [ "$lines" = "$COUNT" ]; then check lines "$lines"; else check lines "WRONG: $lines"; fi
  if [ "$role" = all ]; then
    [ "$BASELINE_RUNS" != 0 ] && check_same baseline out.txt base.txt
    check_same one-thread out.txt out-t1.txt
    [ -n "$REFERENCE" ] && check_same reference out.txt out-ref.txt
    if [ -n "$REFERENCE" ]; then
      (cd "$DIR" && "$REFERENCE" -u -o out-ref-u.txt) || die "reference -u failed in $DIR"
      check_same reference-u out-u.txt out-ref-u.txt
    fi
    if [ "$UNIQUE_CHECK" = 1 ] && [ "$BASELINE_RUNS" != 0 ]; then
      (cd "$DIR" && "$BASELINE" -u -o base-u.txt) || die "baseline -u failed in $DIR"
      check_same baseline-u out-u.txt base-u.txt
    fi
  fi
  [ "$KEEP_DATA" = 1 ] || rm -rf "$DIR"
}

# True when the comma-separated list $1 holds $2.
holds() { case ",$1," in *",$2,"*) return 0 ;; *) return 1 ;; esac; }

IFS=, read -r -a kind_list <<<"$KINDS"
IFS=, read -r -a count_list <<<"$COUNTS"
IFS=, read -r -a wide_list <<<"$WIDE_COUNTS"
IFS=, read -r -a scaling_list <<<"$SCALING_COUNTS"
for kind in "${kind_list[@]}"; do
  case "$kind" in int | phrase | double) ;; *) die "unknown kind $kind" ;; esac
done

# The plot's integer files that the table does not already measure.
if [ "$PLOT" = 1 ]; then
  for count in "${scaling_list[@]}"; do
    holds "$KINDS" int && holds "$COUNTS" "$count" && continue
    run_set int "$count" 128 scaling
  done
fi
for kind in "${kind_list[@]}"; do
  for count in "${count_list[@]}"; do run_set "$kind" "$count" 128 all; done
  for count in "${wide_list[@]}"; do
    if [ -n "$count" ]; then run_set "$kind" "$count" 512 all; fi
  done
done
rm -f "$RESULTS/time.tmp"
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$RESULTS/environment.txt"

if [ "$PLOT" = 1 ]; then
  if [ -z "$PLOT_OUT" ]; then
    # The committed plot is only replaced by a run over the full set of counts.
    if [ "$SCALING_COUNTS" = "$FULL_SCALING_COUNTS" ]; then
      PLOT_OUT="$REPO/docs/bench-scaling.png"
    else
      PLOT_OUT="$RESULTS/bench-scaling.png"
    fi
  fi
  # count, then the median seconds of zelto, sort and cp.
  awk -F'\t' -v counts="$SCALING_COUNTS" '
    BEGIN { n = split(counts, c, ",") }
    $1 == "int" && $3 == 128 { t[$2, $4] = $6 }
    function v(x) { return x == "" ? "?" : x }
    END {
      for (i = 1; i <= n; i++) {
        print c[i], v(t[c[i], "zelto"]), v(t[c[i], "sort"]), v(t[c[i], "cp"]), v(t[c[i], "zelto-t1"]),
          v(t[c[i], "ref"]), v(t[c[i], "cat"])
      }
    }
  ' "$SUMMARY" >"$RESULTS/scaling.dat"
  gnuplot <<EOF
set terminal pngcairo size 900,600 font "sans,11"
set output "$PLOT_OUT"
set title "Time to arrange 128-byte integer records (median of $RUNS runs, warm files)"
set xlabel "records"
set ylabel "wall time (s)"
set logscale xy
set datafile missing "?"
set format x "10^{%L}"
set grid
set key top left
plot "$RESULTS/scaling.dat" using 1:3 with linespoints lw 2 pt 7 title "LC_ALL=C sort -n, default threads (text lines)" noenhanced, \
     "" using 1:2 with linespoints lw 2 pt 5 title "zelto (default threads)", \
     "" using 1:5 with linespoints lw 2 pt 13 title "zelto, ZELTO_THREADS=1" noenhanced, \
     "" using 1:6 with linespoints lw 2 pt 11 title "previous release of zelto (--reference)", \
     "" using 1:4 with linespoints lw 2 pt 9 title "cp of the record file", \
     "" using 1:7 with linespoints lw 2 pt 3 title "cat of the record file >/dev/null"
EOF
  say "plot: $PLOT_OUT"
fi

report "$RESULTS" | tee "$RESULTS/table.txt"
if [ "$EXTERNAL" = 1 ]; then
  say "external pass: $EXTERNAL_COUNT records, ZELTO_MEMORY=$EXTERNAL_MEMORY"
  bash "$BENCH/external.sh" --no-build --build-dir="$BUILD_DIR" --count="$EXTERNAL_COUNT" \
    --memory="$EXTERNAL_MEMORY" --runs=3 --out="$RESULTS/external.txt"
fi
rm -f "$RESULTS_ROOT/latest"
ln -s "$(basename "$RESULTS")" "$RESULTS_ROOT/latest"
say "results: $RESULTS"
