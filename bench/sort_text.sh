#!/usr/bin/env bash
# zelto-sort against `LC_ALL=C sort` on one generated text corpus: for each
# option set, both commands sort the same file N times (taking turns in
# running first), each with its default threads and memory, then again with
# `-S 100M` on both (runs on disk). Prints min / median / max wall time, the
# ratio of the medians (sort over zelto-sort: above 1, zelto-sort is faster)
# and the peak RSS of each, as a Markdown table, and checks that both
# outputs are byte-identical. The machine may be shared: compare the ratios,
# measured in one run, rather than the times of different runs. With
# --plot-out, the medians (with min and max) are also drawn as bars, one
# panel for each table (gnuplot, Debian package gnuplot-nox).
set -euo pipefail
export LC_ALL=C

REPO=$(cd "$(dirname "$0")/.." && pwd)
SIZE=600M
RUNS=5
SEED=1
BUILD_DIR="$REPO/build-bench"
DATA_PARENT=${TMPDIR:-/tmp}
BUILD=1
OUT=""
PLOT_OUT=""
BUFFER=100M
OPTION_SETS=("" "-n" "-k2" "-u" "-f" "-r -s -k2,2" "-t, -k3,3h" "-k1,1n -k2")

usage() {
  cat <<'EOF'
usage: bench/sort_text.sh [options]
  --size=SIZE       corpus size, bytes or with K, M or G (default 600M)
  --runs=N          timed runs of each command and option set (default 5)
  --seed=S          corpus seed (default 1)
  --buffer=SIZE     the -S of the second table, given to both (default 100M; "" skips it)
  --options=LIST    option sets separated by ";" (default: none;-n;-k2;-u;-f;-r -s -k2,2;
                    -t, -k3,3h;-k1,1n -k2)
  --build-dir=DIR   Release build directory (default build-bench)
  --data-dir=DIR    where the temporary data directory goes (default $TMPDIR or /tmp)
  --no-build        use the binaries already in the build directory
  --out=FILE        also write the tables to FILE
  --plot-out=FILE   also draw the medians as a PNG plot in FILE (docs/sort-text.png)
EOF
}

for arg in "$@"; do
  case "$arg" in
    --size=*) SIZE=${arg#*=} ;;
    --runs=*) RUNS=${arg#*=} ;;
    --seed=*) SEED=${arg#*=} ;;
    --buffer=*) BUFFER=${arg#*=} ;;
    --options=*)
      IFS=';' read -r -a OPTION_SETS <<<"${arg#*=}"
      for i in "${!OPTION_SETS[@]}"; do [ "${OPTION_SETS[$i]}" != none ] || OPTION_SETS[$i]=""; done
      ;;
    --build-dir=*) BUILD_DIR=${arg#*=} ;;
    --data-dir=*) DATA_PARENT=${arg#*=} ;;
    --no-build) BUILD=0 ;;
    --out=*) OUT=$(realpath "${arg#*=}") ;;
    --plot-out=*) PLOT_OUT=$(realpath "${arg#*=}") ;;
    -h | --help) usage; exit 0 ;;
    *) echo "sort_text.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
  esac
done

say() { echo "sort_text.sh: $*" >&2; }
die() { say "$*"; exit 1; }

command -v /usr/bin/time >/dev/null || die "GNU time is needed (Debian package time)"
[ -z "$PLOT_OUT" ] || command -v gnuplot >/dev/null ||
  die "--plot-out needs gnuplot (Debian package gnuplot-nox)"
if [ "$BUILD" = 1 ]; then
  say "building (Release) in $BUILD_DIR"
  cmake -S "$REPO" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DZELTO_BUILD_TESTS=OFF \
    -DZELTO_BUILD_BENCH=ON >/dev/null
  cmake --build "$BUILD_DIR" -j2 --target zelto-sort zelto_make_text >/dev/null
fi
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
# The build places the command beside zelto, where zelto-pack finds it.
ZELTO_SORT="$BUILD_DIR/zelto-sort"
[ -x "$ZELTO_SORT" ] || ZELTO_SORT=""
MAKE_TEXT="$BUILD_DIR/bench/zelto_make_text"
[ -n "$ZELTO_SORT" ] || die "no zelto-sort in $BUILD_DIR"
[ -x "$MAKE_TEXT" ] || die "missing $MAKE_TEXT"

DIR=$(mktemp -d "$DATA_PARENT/zelto-sort-text-XXXXXX")
trap 'rm -rf "$DIR"' EXIT
mkdir "$DIR/tmp"
say "generating $SIZE of text in $DIR"
"$MAKE_TEXT" --size="$SIZE" --seed="$SEED" --output="$DIR/corpus.txt"
sync
cat "$DIR/corpus.txt" >/dev/null

# One timed run: wall seconds and peak RSS (KiB) appended to the named lists.
declare -A WALLS RSS
run() {
  local name=$1 output=$2
  shift 2
  rm -f "$DIR/$output"
  local t0 t1 status=0
  t0=$EPOCHREALTIME
  (cd "$DIR" && /usr/bin/time -f %M -o "$DIR/rss.txt" env TMPDIR="$DIR/tmp" "$@" \
    -o "$output" corpus.txt) || status=$?
  t1=$EPOCHREALTIME
  [ "$status" = 0 ] || die "$name failed (status $status): $*"
  WALLS[$name]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }') "
  local rss
  rss=$(tail -n 1 "$DIR/rss.txt")
  [ "${RSS[$name]:-0}" -gt "$rss" ] || RSS[$name]=$rss
}

stats() {  # min median max of the words given
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.2f %.2f %.2f", v[1], m, v[NR] }'
}

TABLE="$DIR/table.md"
# For the plot: a block of lines "options sort-median min max zelto-median
# min max" for each table, blocks apart by two blank lines.
PLOT_DATA="$DIR/plot.dat"
: >"$PLOT_DATA"
{
  echo "corpus: $SIZE (seed $SEED), $(wc -l <"$DIR/corpus.txt") lines; $RUNS runs each"
  echo "host: $(uname -srm), $(nproc) cores; load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "sort: $(sort --version | head -n 1); zelto-sort: $("$ZELTO_SORT" --version | head -n 1)"
} >"$TABLE"

# measure BUFFER: every option set, both commands; BUFFER empty for their
# defaults, else the -S given to both.
measure() {
  local buffer=$1 options
  {
    echo
    if [ -z "$buffer" ]; then echo "Default threads and memory:"; else echo "Both with -S $buffer:"; fi
    echo
    echo "| options | sort min / median / max (s) | zelto-sort min / median / max (s) | sort / zelto-sort | peak RSS sort (MiB) | peak RSS zelto-sort (MiB) | outputs |"
    echo "|---|---|---|---|---|---|---|"
  } >>"$TABLE"
  [ ! -s "$PLOT_DATA" ] || printf '\n\n' >>"$PLOT_DATA"
  for options in "${OPTION_SETS[@]}"; do
    local -a words=()
    read -r -a words <<<"$options"
    [ -z "$buffer" ] || words=(-S "$buffer" "${words[@]}")
    say "options '${words[*]}'"
    WALLS=() RSS=()
    local i
    for i in $(seq 1 "$RUNS"); do
      if [ $((i % 2)) = 1 ]; then
        run sort sorted.txt sort "${words[@]}"
        run zelto zelto.txt "$ZELTO_SORT" "${words[@]}"
      else
        run zelto zelto.txt "$ZELTO_SORT" "${words[@]}"
        run sort sorted.txt sort "${words[@]}"
      fi
    done
    local same=identical
    cmp -s "$DIR/sorted.txt" "$DIR/zelto.txt" || same=DIFFERENT
    read -r s_lo s_med s_hi <<<"$(stats ${WALLS[sort]})"
    read -r z_lo z_med z_hi <<<"$(stats ${WALLS[zelto]})"
    local ratio
    ratio=$(awk -v s="$s_med" -v z="$z_med" 'BEGIN { printf "%.2f", (z > 0 ? s / z : 0) }')
    printf '| `%s` | %s / %s / %s | %s / %s / %s | %s | %d | %d | %s |\n' \
      "${options:-(none)}" "$s_lo" "$s_med" "$s_hi" "$z_lo" "$z_med" "$z_hi" "$ratio" \
      $((RSS[sort] / 1024)) $((RSS[zelto] / 1024)) "$same" >>"$TABLE"
    printf '"%s" %s %s %s %s %s %s\n' "${options:-(none)}" "$s_med" "$s_lo" "$s_hi" \
      "$z_med" "$z_lo" "$z_hi" >>"$PLOT_DATA"
  done
}

measure ""
[ -z "$BUFFER" ] || measure "$BUFFER"
echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$TABLE"
cat "$TABLE"
[ -z "$OUT" ] || cp "$TABLE" "$OUT"

# The gnuplot lines of one panel: the medians of block `block` as bars, each
# option set labelled with the ratio of the medians.
panel() {
  local title=$1 block=$2
  cat <<EOF
set title "$title"
plot "$PLOT_DATA" index $block \
       using 2:3:4:xtic(sprintf("%s\\n%.2fx", strcol(1), \$2 / \$5)) title "LC_ALL=C sort", \
     "" index $block using 5:6:7 title "zelto-sort"
EOF
}
if [ -n "$PLOT_OUT" ]; then
  panels=1
  [ -z "$BUFFER" ] || panels=2
  {
    cat <<EOF
set terminal pngcairo size $((520 * panels)),480 font "sans,10" noenhanced
set output "$PLOT_OUT"
set multiplot layout 1,$panels title "Sorting $SIZE of generated text: median wall time of $RUNS runs, bars from min to max"
set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.7 border -1
set ylabel "seconds"
set xlabel "options, then sort's median over zelto-sort's" offset 0,-1
set bmargin 5
set yrange [0:*]
set offsets 0, 0, graph 0.05, 0
set grid ytics
set key top left
EOF
    panel "default threads and memory" 0
    [ -z "$BUFFER" ] || panel "both with -S $BUFFER" 1
    echo "unset multiplot"
  } | gnuplot
  say "plot: $PLOT_OUT"
fi
! grep -q DIFFERENT "$TABLE" || die "outputs differ"
