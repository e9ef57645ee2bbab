#!/usr/bin/env bash
# Differential test of zelto-sort against the system's sort in the C locale:
# for every case of the tables below, both programs run with the same
# arguments in the same directory on the same generated files, and their
# standard output (bytes), exit status and standard error (but for the
# words around an unreadable key's reason and key, see key_words) must
# agree. Cases marked @ run in two fresh copies of the small files, and
# every file left behind must agree too (-o, -o onto an input, errors that
# must leave no output). -R cannot give sort's order: its cases
# check that the output is a permutation of what the plain sort gives, that
# lines with equal keys are adjacent, and that a --random-source run repeats.
# After the tables come option sets drawn from a fixed seed, and the larger
# cases again with one and three threads and a small memory budget, against
# the same expected bytes. sort -g orders NaNs by chance (see below): no -g
# case reads a NaN.
#
#   differential_test.sh ZELTO_SORT MAKE_INPUTS [--quick] [--minimize] [--keep]
#                        [--only=REGEX] [--combinations=N] [--seed=S]
#                        [--combinations-only]
#
# MAKE_INPUTS is zelto_make_sort_inputs. --quick leaves out the thread and
# memory variants; --minimize shrinks the input of each failing case that
# reads one generated file to the fewest lines that still fail, and prints
# them; --keep leaves the working directory; --only runs the cases whose
# arguments match the extended regular expression; --combinations and
# --seed set how many option sets are drawn, and from which seed (default
# 120 from 20261210), and --combinations-only runs nothing else.
# ZELTO_SORT_MISMATCHES=FILE appends every mismatch's report to FILE. Exits
# 77 (skipped) when the system's sort is not GNU sort.
set -u
export LC_ALL=C
unset POSIXLY_CORRECT _POSIX2_VERSION ZELTO_THREADS ZELTO_MEMORY

if [ $# -lt 2 ]; then
  echo "usage: differential_test.sh ZELTO_SORT MAKE_INPUTS [--quick] [--minimize] [--keep]" >&2
  exit 2
fi
ZELTO_SORT=$(realpath "$1")
MAKE_INPUTS=$(realpath "$2")
shift 2
QUICK=0 MINIMIZE=0 KEEP=0 ONLY="" COMBINATIONS=120 SEED=20261210
COMBINATIONS_ONLY=0 DRAWN=0
for arg in "$@"; do
  case "$arg" in
    --quick) QUICK=1 ;;
    --minimize) MINIMIZE=1 ;;
    --keep) KEEP=1 ;;
    --only=*) ONLY=${arg#*=} ;;
    --combinations=*) COMBINATIONS=${arg#*=} ;;
    --seed=*) SEED=${arg#*=} ;;
    --combinations-only) COMBINATIONS_ONLY=1 ;;
    *) echo "differential_test.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
if ! sort --version 2>/dev/null | head -n 1 | grep -q 'GNU coreutils'; then
  echo "the system's sort is not GNU sort: nothing to compare with"
  exit 77
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zelto-sort-diff-XXXXXX")
[ "$KEEP" = 1 ] || trap 'rm -rf "$WORK"' EXIT
# An interruption, or a reader that stops reading the report, goes through
# the exit and its clean-up.
trap 'exit 1' INT TERM HUP PIPE
IN="$WORK/in"
RES="$WORK/res"
mkdir -p "$IN" "$RES" "$WORK/tmp" "$WORK/bin"
# zelto-sort runs under sort's name, as a copy installed in sort's place
# would: its messages must then be sort's to the byte.
ln -s "$ZELTO_SORT" "$WORK/bin/sort"
ZELTO_SORT="$WORK/bin/sort"
"$MAKE_INPUTS" "$IN" 1 || { echo "cannot generate the inputs"; exit 1; }

# Inputs derived with the reference itself: sorted files for -m and -c, and
# lists of names for --files0-from.
(
  cd "$IN" || exit 1
  sort words.txt >words.sorted
  sort dups.txt >dups.sorted
  sort paths.txt >paths.sorted
  sort bytes.txt >bytes.sorted
  sort -u dups.txt >dups.unique
  # sort -g orders NaNs by the bytes of its long doubles, padding included,
  # which differ from run to run: the -g cases read their files without
  # them (nor "nan" inside a word, which a key may start in).
  for f in numbers general words colons csv dups bytes months versions paths human crlf; do
    grep -aiv nan "$f.txt" >"$f-g.txt"
  done
  sort -r words.txt >words.reversed
  sort -n numbers.txt >numbers.n
  sort -t: -k3,3n colons.txt >colons.k3n
  sort -z zero.txt >zero.sorted
  sort -M months.txt >months.M
  sort bulk.txt >bulk.sorted
  # Thirty sorted parts of one file, for merges of many inputs.
  for i in $(seq 0 29); do
    awk -v i="$i" 'NR % 30 == i' paths.txt | sort >"part-$i.sorted"
  done
  printf 'words.txt\0dups.txt\0' >list0
  printf 'words.txt\0dups.txt' >list0-unterminated
  printf 'words.txt\0\0dups.txt\0' >list0-empty-name
  printf 'words.txt\0missing.txt\0' >list0-missing
  printf -- '-\0' >list0-stdin
  mkdir small
  for f in *.txt *.sorted *.unique *.reversed *.n *.k3n *.M list0*; do
    case "$f" in bulk.* | long.*) ;; *) cp "$f" small/ ;; esac
  done
)

CASES=0
FAILURES=0
REPORT="$WORK/mismatches.txt"
: >"$REPORT"

# Shows at most 300 bytes of each of the first differing lines of two files.
show_difference() {
  diff -a "$1" "$2" | head -n 8 | cut -c 1-300 | cat -v
}

# run DIR OUTPUT_PREFIX COMMAND ARGUMENTS: runs the command with the case's
# arguments (shell words, redirections allowed) in DIR, into PREFIX.out,
# PREFIX.err and PREFIX.status.
run() {
  local dir=$1 prefix=$2 command=$3 arguments=$4
  (cd "$dir" && eval "$command $arguments") >"$prefix.out" 2>"$prefix.err" </dev/null
  echo $? >"$prefix.status"
}

# Appends a mismatch's report (case, variant, what differs) and counts it.
mismatch() {
  local what=$1 variant=$2 arguments=$3 details=$4
  FAILURES=$((FAILURES + 1))
  {
    echo "MISMATCH ($what)${variant:+ [$variant]}: zelto-sort $arguments"
    printf '%s\n' "$details"
    echo
  } | tee -a "$REPORT"
  [ -z "${ZELTO_SORT_MISMATCHES:-}" ] || {
    echo "MISMATCH ($what)${variant:+ [$variant]}: zelto-sort $arguments"
    printf '%s\n' "$details"
    echo
  } >>"$ZELTO_SORT_MISMATCHES"
}

# Standard error with the words that zelto-sort and sort each choose for a
# key that cannot be read made the same: the reason and the key shown
# must still agree.
key_words() {
  sed -E "s/^([^:]*: )(field number is zero|character offset is zero|stray character in)[a-z ]*: invalid [a-z ]+ ('.*')\$/\1\2: invalid key \3/" "$1"
}

# compare EXPECTED_PREFIX GOT_PREFIX: prints what differs (nothing if the
# runs agree).
compare() {
  local e=$1 g=$2
  if [ "$(cat "$e.status")" != "$(cat "$g.status")" ]; then
    echo "status: expected $(cat "$e.status"), got $(cat "$g.status")"
  fi
  if ! cmp -s "$e.out" "$g.out"; then
    echo "standard output: $(cmp "$e.out" "$g.out" 2>&1 | head -n 1)"
    echo "  sizes: expected $(wc -c <"$e.out"), got $(wc -c <"$g.out")"
    show_difference "$e.out" "$g.out" | sed 's/^/  /'
  fi
  if ! cmp -s <(key_words "$e.err") <(key_words "$g.err"); then
    echo "standard error differs:"
    show_difference "$e.err" "$g.err" | sed 's/^/  /'
  fi
}

# True when the case's arguments match --only (or there is none), and it
# is a drawn one if --combinations-only asks for those alone.
selected() {
  [ "$COMBINATIONS_ONLY" = 0 ] || [ "$DRAWN" = 1 ] || return 1
  [ -z "$ONLY" ] || [[ $1 =~ $ONLY ]]
}

# The reference command, with the same temporary directory and the variant
# when it is one sort reads as well (a locale, the rules of the command line).
reference_command() { printf "env %s TMPDIR=%q sort" "$(shared_variant "${1:-}")" "$WORK/tmp"; }
shared_variant() { case "$1" in LC_*=* | POSIXLY_CORRECT=* | _POSIX2_VERSION=*) printf '%s' "$1" ;; esac; }

# The zelto-sort command of a variant: VARIABLE=VALUE, or empty.
zelto_command() {
  if [ -n "$1" ]; then printf 'env %s TMPDIR=%q %q' "$1" "$WORK/tmp" "$ZELTO_SORT"
  else printf 'env TMPDIR=%q %q' "$WORK/tmp" "$ZELTO_SORT"; fi
}

# exact ARGUMENTS [VARIANT]: sort and zelto-sort must agree. A case whose
# arguments start with "@ " runs in fresh copies of the small files, and the
# files left in them must agree as well.
exact() {
  local arguments=$1 variant=${2:-} dir=$IN tag
  selected "$arguments" || return 0
  CASES=$((CASES + 1))
  tag=$(printf '%s' "$(shared_variant "$variant")$arguments" | cksum | cut -d' ' -f1)
  local e="$RES/$tag.sort" g="$RES/$tag.zelto"
  if [ "${arguments:0:2}" = "@ " ]; then
    arguments=${arguments:2}
    rm -rf "$WORK/sort-dir" "$WORK/zelto-dir"
    cp -r "$IN/small" "$WORK/sort-dir"
    cp -r "$IN/small" "$WORK/zelto-dir"
    run "$WORK/sort-dir" "$e" "$(reference_command "$variant")" "$arguments"
    run "$WORK/zelto-dir" "$g" "$(zelto_command "$variant")" "$arguments"
    local files
    files=$(diff -r "$WORK/sort-dir" "$WORK/zelto-dir" 2>&1 | sed 's/^/  /')
    local details
    details=$(compare "$e" "$g"; [ -z "$files" ] || printf 'files left:\n%s\n' "$files")
    [ -z "$details" ] || mismatch exact "$variant" "@ $arguments" "$details"
    return
  fi
  # The reference's result does not depend on the variant: it runs once.
  [ -e "$e.status" ] || run "$dir" "$e" "$(reference_command "$variant")" "$arguments"
  run "$dir" "$g" "$(zelto_command "$variant")" "$arguments"
  local details
  details=$(compare "$e" "$g")
  if [ -n "$details" ]; then
    mismatch exact "$variant" "$arguments" "$details"
    [ "$MINIMIZE" = 0 ] || minimize "$arguments" "$variant"
  fi
}

# fails_on ARGUMENTS VARIANT FILE: true when the case, with FILE as its one
# generated input, still shows a mismatch.
fails_on() {
  local arguments=$1 variant=$2 file=$3
  local d="$WORK/minimize"
  run "$d" "$d/r.sort" "$(reference_command "$variant")" "$arguments"
  run "$d" "$d/r.zelto" "$(zelto_command "$variant")" "$arguments"
  [ -n "$(compare "$d/r.sort" "$d/r.zelto")" ]
}

# minimize ARGUMENTS VARIANT: when the case names one generated file of at
# most 1000 lines, drops lines of it (halves, then quarters... then single
# lines) while the mismatch stays, and prints the lines left.
minimize() {
  local arguments=$1 variant=$2 file="" word count=0
  for word in $arguments; do
    if [ -f "$IN/$word" ]; then file=$word; count=$((count + 1)); fi
  done
  [ "$count" = 1 ] || return 0
  local d="$WORK/minimize"
  rm -rf "$d" && mkdir -p "$d"
  cp "$IN/$file" "$d/$file"
  local lines chunk start kept
  lines=$(awk 'END { print NR }' "$d/$file")
  [ "$lines" -le 1000 ] || return 0
  chunk=$(((lines + 1) / 2))
  while [ "$chunk" -ge 1 ]; do
    start=1
    while [ "$start" -le "$(awk 'END { print NR }' "$d/$file")" ]; do
      cp "$d/$file" "$d/keep"
      awk -v s="$start" -v n="$chunk" 'NR < s || NR >= s + n' "$d/keep" >"$d/$file"
      if [ -s "$d/$file" ] && fails_on "$arguments" "$variant" "$file"; then
        :
      else
        cp "$d/keep" "$d/$file"
        start=$((start + chunk))
      fi
    done
    chunk=$((chunk / 2))
  done
  kept=$(cat -v "$d/$file" | head -c 2000)
  fails_on "$arguments" "$variant" "$file"
  {
    echo "  smallest $file found ($(awk 'END { print NR }' "$d/$file") lines; ^@ is NUL, ^M CR):"
    printf '%s\n' "$kept" | sed 's/^/    | /'
    echo "  expected:"
    cat -v "$d/r.sort.out" "$d/r.sort.err" | head -n 10 | cut -c 1-200 | sed 's/^/    | /'
    echo "  got (status $(cat "$d/r.zelto.status"), expected $(cat "$d/r.sort.status")):"
    cat -v "$d/r.zelto.out" "$d/r.zelto.err" | head -n 10 | cut -c 1-200 | sed 's/^/    | /'
    echo
  } | tee -a "$REPORT" ${ZELTO_SORT_MISMATCHES:+"$ZELTO_SORT_MISMATCHES"}
}

# random KEY_PROGRAM ARGUMENTS: -R cases. Both runs must succeed silently;
# zelto-sort's lines must be those of the plain sort of the same inputs with
# the same options, in another order where there is more than one key;
# KEY_PROGRAM (awk) gives the key of a line, and equal keys must be
# adjacent. With --random-source, runs must agree, whatever the threads and
# the memory.
random() {
  local key=$1 arguments=$2
  selected "$arguments" || return 0
  CASES=$((CASES + 1))
  local e="$RES/random.sort" g="$RES/random.zelto" details=""
  run "$IN" "$e" "$(reference_command)" "$arguments"
  run "$IN" "$g" "$(zelto_command "")" "$arguments"
  [ "$(cat "$g.status")" = 0 ] && [ ! -s "$g.err" ] ||
    details+="status $(cat "$g.status"), standard error: $(head -c 300 "$g.err")"$'\n'
  sort "$e.out" >"$e.lines"
  sort "$g.out" >"$g.lines"
  cmp -s "$e.lines" "$g.lines" ||
    details+="the lines are not those of sort -R: $(cmp "$e.lines" "$g.lines" 2>&1 | head -n 1)"$'\n'
  local scattered
  scattered=$(awk "$key" "$g.out" | uniq | sort | uniq -d | head -n 3)
  [ -z "$scattered" ] || details+="lines of these keys are not adjacent: $scattered"$'\n'
  # Where there are many keys, a shuffle never comes out in byte order.
  if [ "$(awk "$key" "$g.out" | uniq | wc -l)" -gt 20 ] && sort -c "$g.out" 2>/dev/null; then
    details+="the output is in byte order"$'\n'
  fi
  if [[ "$arguments" == *--random-source* ]]; then
    local variant
    for variant in "" ZELTO_THREADS=1 ZELTO_THREADS=3 ZELTO_MEMORY=1M; do
      run "$IN" "$RES/random.again" "$(zelto_command "$variant")" "$arguments"
      cmp -s "$g.out" "$RES/random.again.out" ||
        details+="a run${variant:+ with $variant} with the same random source differs"$'\n'
    done
  fi
  [ -z "$details" ] || mismatch random "" "$arguments" "$details"
}

# Cases: one per line, the arguments as shell words (redirections allowed);
# lines starting with # are comments.
each_case() {
  local line
  while IFS= read -r line; do
    case "$line" in '' | '#'*) continue ;; esac
    "$1" "$line" "${@:2}"
  done
}

# Orderings, each on the file made for it, globally.
each_case exact <<'EOF'
bytes.txt
-r bytes.txt
-f bytes.txt
-d bytes.txt
-i bytes.txt
-b bytes.txt
-n bytes.txt
-g bytes.txt
-M bytes.txt
-V bytes.txt
-h bytes.txt
-u bytes.txt
-s -f bytes.txt
-fd bytes.txt
-fi bytes.txt
-bfr bytes.txt
-di words.txt
-f words.txt
-b words.txt
-bf words.txt
-fu words.txt
-fsu words.txt
-r -s -f words.txt
-d dups.txt
-u dups.txt
-bu dups.txt
-du dups.txt
-iu dups.txt
-fu dups.txt
-fur dups.txt
-nu dups.txt
-gu dups.txt
-ru dups.txt
-fsu dups.txt
-n numbers.txt
-nr numbers.txt
-ns numbers.txt
-nsr numbers.txt
-nu numbers.txt
-nsu numbers.txt
-nb numbers.txt
-g numbers-g.txt
-gr numbers-g.txt
-gu numbers-g.txt
-h numbers.txt
-hu numbers.txt
-V numbers.txt
-M numbers.txt
-h human.txt
-hr human.txt
-hu human.txt
-hs human.txt
-n human.txt
-g general-g.txt
-gs general-g.txt
-gsr general-g.txt
-gu general-g.txt
-n general.txt
-h general.txt
-M months.txt
-Mr months.txt
-Mu months.txt
-Ms months.txt
-Mf months.txt
-V versions.txt
-Vr versions.txt
-Vu versions.txt
-Vs versions.txt
-Vf versions.txt
-n versions.txt
-V paths.txt
-f paths.txt
-u paths.txt
-r paths.txt
-d paths.txt
crlf.txt
-b crlf.txt
-n crlf.txt
-u crlf.txt
empty.txt
-u empty.txt
nonl.txt
nonl.txt nonl.txt
-u nonl.txt nonl.txt
empty.txt nonl.txt
blanks.txt
-b blanks.txt
-bu blanks.txt
-u blanks.txt
words.txt dups.txt numbers.txt
--sort=numeric numbers.txt
--sort=general-numeric general-g.txt
--sort=human-numeric human.txt
--sort=month months.txt
--sort=version versions.txt
--reverse --ignore-case --stable words.txt
--numeric-sort --unique numbers.txt
--ignore-leading-blanks --dictionary-order words.txt
--ignore-nonprinting --general-numeric-sort general-g.txt
--month-sort --version-sort months.txt
EOF

# Keys: fields and characters, with and without b, per-key letters, several
# keys, separators.
each_case exact <<'EOF'
-k2 words.txt
-k2,2 words.txt
-k2b words.txt
-k2,2b words.txt
-b -k2,2 words.txt
-k2.2 words.txt
-k2.2b words.txt
-k2.2,2.3 words.txt
-k2.2b,2.3b words.txt
-k2b,2.3 words.txt
-k2,2.3b words.txt
-k2.3,2.2 words.txt
-k2,1 words.txt
-k1.10 words.txt
-k1.3,1.3 words.txt
-k2,3.0 words.txt
-k2,2f -k1,1r words.txt
-k3,3 -k1,1 words.txt
-k5 words.txt
-k5,5 -k1,1 words.txt
-k9,9 words.txt
-k2,2d words.txt
-k2,2i words.txt
-k2,2fd words.txt
-k2,2 -u words.txt
-k2,2 -su words.txt
-k2,2 -s words.txt
-k2,2 -r words.txt
-k2,2r -k1,1 words.txt
-f -k2,2 -k3,3r words.txt
-k1,1 -k1,1r words.txt
-k1 bytes.txt
-k2,2 bytes.txt
-k1.2,1.4 bytes.txt
-k1.2b,1.4 -r bytes.txt
-k2,2n numbers.txt
-k2n numbers.txt
-k2,2g numbers-g.txt
-k2,2h numbers.txt
-k1,1n -k2,2 numbers.txt
-k1,1nr -k2,2g numbers-g.txt
-k2,2 -n numbers.txt
-k2,2 -nr numbers.txt
-r -k2,2n numbers.txt
-k2,2n -u numbers.txt
-k2,2n -su numbers.txt
-k1.2n numbers.txt
-k1,1bn numbers.txt
-k1,1h -k2,2h human.txt
-k2 human.txt
-k1,1g -u general-g.txt
-k1,1M months.txt
-k2,2n -k1,1M months.txt
-k1bM months.txt
-k1,1Mr -s months.txt
-k1.2,1.3M months.txt
-k1,1V versions.txt
-k2,2n -k1,1V versions.txt
-k1.3V versions.txt
-t: -k3,3n colons.txt
-t: -k3n colons.txt
-t: -k2,2 -k1,1 colons.txt
-t: -k2 colons.txt
-t: -k2.2,2.2 colons.txt
-t: -k2b colons.txt
-t: -k2,2b colons.txt
-t: -k4,4g -k3,3nr colons.txt
-t: -u -k3,3n colons.txt
-t: -s -k3,3n colons.txt
-t: -k3,3n -u -s colons.txt
-t: -k3,3n -ur colons.txt
-t: -k3,3nr -k1,1 -u colons.txt
-t: -k7 colons.txt
-t: -k1,1 -k7,7r colons.txt
-t: -u colons.txt
-t: -n colons.txt
-t '\0' -k2,2n nulsep.txt
-t '\0' -k3 nulsep.txt
-t '\0' -k2,2 -k1,1r nulsep.txt
-t '\0' -u -k1,1 nulsep.txt
-t, -k2,2n csv.txt
-t, -k3,3g csv.txt
-t, -k4,4h csv.txt
-t, -k4,4hr -k1,1 csv.txt
-t , -k2n csv.txt
-t, -k2,2n -u csv.txt
-t, -k4,4n csv.txt
-t, -k1,1f -k2,2nr csv.txt
-t ' ' -k2 words.txt
-t ' ' -k3,3 words.txt
-t "$(printf '\t')" -k2 words.txt
-t a -k2 words.txt
-t / -k5 paths.txt
-t / -k6,6 -k5,5V paths.txt
-t. -k2n paths.txt
-t - -k2,2n paths.txt
--key=2,2 --field-separator=: colons.txt
--key 2,2n -t: colons.txt
EOF

# Obsolete +POS1 -POS2 keys.
each_case exact <<'EOF'
+1 words.txt
+1 -2 words.txt
+0 -1 +2 words.txt
+1.2 -1.4 words.txt
+1n numbers.txt
-n +1 numbers.txt
+1 -2 -t: colons.txt
-t: +2n -3 colons.txt
+0.1b words.txt
+1b -2b words.txt
+1 -2r +0 -1 words.txt
EOF

# Standard input, -z, -c and -C, -m.
each_case exact <<'EOF'
< words.txt
-n < numbers.txt
- < words.txt
words.txt - < dups.txt
-c < words.txt
-u - < dups.txt
-z zero.txt
-z -r zero.txt
-z -n zero.txt
-z -k2 zero.txt
-z -k1,1 -t $'\n' zero.txt
-z -u zero.txt
-z -b zero.txt
-z bytes.txt
-z words.txt
-z -c zero.txt
-z -c zero.sorted
-z -m zero.sorted zero.sorted
-z < nulsep.txt
-c words.txt
-C words.txt
-c words.sorted
-C words.sorted
-c -r words.reversed
-c -r words.sorted
-c -n numbers.n
-c -n numbers.txt
-c -u dups.sorted
-c -u dups.unique
-C -u dups.sorted
-c -s dups.sorted
-c -f dups.sorted
-c -t: -k3,3n colons.k3n
-c -t: -k3,3n -u colons.k3n
-c -M months.M
-c empty.txt
-c nonl.txt
-c bytes.txt
-c -k2,2n numbers.txt
--check=quiet words.txt
--check=silent words.txt
--check=diagnose-first words.txt
--check words.sorted
-c words.txt dups.txt
-m words.sorted dups.sorted paths.sorted
-m words.sorted words.sorted
-mu words.sorted dups.sorted
-mu dups.sorted dups.sorted
-m -n numbers.n numbers.n
-m -nu numbers.n numbers.n
-m -t: -k3,3n colons.k3n colons.k3n
-m -t: -k3,3n -s colons.k3n colons.k3n
-m -r words.reversed words.reversed
-m empty.txt words.sorted
-m nonl.txt nonl.txt
-m -M months.M months.M
-m bytes.sorted dups.sorted
-m --batch-size=2 words.sorted dups.sorted paths.sorted bytes.sorted
-m words.sorted - < dups.sorted
-m words.txt dups.txt
-m part-*.sorted
-m --batch-size=3 part-*.sorted
-mu --batch-size=2 part-*.sorted
part-*.sorted
-S 64K part-*.sorted
-c part-*.sorted
EOF

# -o (the files left are compared), --files0-from.
each_case exact <<'EOF'
@ -o out.txt words.txt
@ -o words.txt words.txt
@ -n -o numbers.txt numbers.txt
@ --output=out.txt words.txt
@ -m -o words.sorted words.sorted dups.sorted
@ -u -o dups.txt dups.txt
@ -o out.txt empty.txt
@ -c -o out.txt words.txt
@ -o out.txt -o out2.txt words.txt
@ -o out.txt -o out.txt words.txt
@ -o nodir/out.txt words.txt
@ -o out.txt missing.txt
@ -o . words.txt
@ -o out.txt -C words.txt
@ -o words.txt words.txt dups.txt words.txt
@ -o out.txt < words.txt
@ -S 64K -o paths.txt paths.txt
@ -m --batch-size=2 -o part-3.sorted part-*.sorted
@ -o /dev/stdout words.txt nonl.txt >&-
@ -m -o /dev/stdout words.sorted nonl.txt >&-
@ -o /dev/stdin words.txt <&-
--files0-from=list0
--files0-from=list0 -n
--files0-from=list0 -u -k1,1
--files0-from=- < list0
--files0-from=list0-unterminated
--files0-from=list0 words.txt
--files0-from=list0-empty-name
--files0-from=list0-missing
--files0-from=.
--files0-from=missing.list
--files0-from=list0-stdin < words.txt
--files0-from=- < list0-stdin
--files0-from=empty.txt
EOF

# Errors: messages and statuses.
each_case exact <<'EOF'
-k0 words.txt
-k0,1 words.txt
-k1.0 words.txt
-k1,0 words.txt
-k1,1.0 words.txt
-k a words.txt
-k1,x words.txt
-k1.2.3 words.txt
-k '' words.txt
-k1x words.txt
-k 1,2,3 words.txt
-k -1 words.txt
-k 99999999999999999999999 words.txt
-t ab words.txt
-t '' words.txt
-t : -t , words.txt
-t : -t : -k2 colons.txt
-t '\n' words.txt
-t '\t' words.txt
-nM words.txt
-gn words.txt
-hn words.txt
-Rn words.txt
-Vn words.txt
-dn words.txt
-in words.txt
-k1,1nM words.txt
-k1,1dg words.txt
-di words.txt
-c -m words.txt
-cC words.txt
-c --check=quiet words.txt
--check=foo words.txt
-S 0 words.txt
-S x words.txt
-S 10X words.txt
-S -1 words.txt
-S 1% words.txt
-S 10b words.txt
--parallel=0 words.txt
--parallel=x words.txt
--parallel=2 words.txt
--batch-size=1 words.txt
--batch-size=x words.txt
--batch-size=2x words.txt
--batch-size=99999999999999999999x words.txt
--batch-size=' +5' words.txt
--batch-size=+0 words.txt
--parallel=1.5 words.txt
--parallel=' +2' words.txt
--parallel=-0 words.txt
-S $'\t10K' bulk.txt
-S 2m bulk.txt
--buffer-size="1'" words.txt
-S 99999999999999999999b words.txt
-S 99999999999999999999g words.txt
--parallel="2'" words.txt
missing.txt
words.txt missing.txt
. missing.txt
-u . - missing.txt
-o no-such-dir/out.txt .
'missing:1' $'missing\xc3\xa9' 'missing}'
-c words.sorted "missing'1"
-c missing.txt
-m missing.txt words.sorted
.
-x words.txt
--foo words.txt
--=x words.txt
-k
-t
-o
--sort=foo words.txt
--sort words.txt
<&-
-u words.txt - <&-
-c <&-
--random-source=missing.txt -R words.txt
--random-source=missing.txt words.txt
--random-source=missing.txt -R -k1,1n numbers.txt
-c -o out.txt -R --random-source=missing.txt words.txt
-R --random-source=missing.txt -c words.txt words.txt
-T missing-dir -S 64K bulk.txt
--compress-program=gzip -S 64K bulk.txt
--compress-program=gzip -S 64K --batch-size=2 -u bulk.txt
--batch-size=2 -S 64K -k2 bulk.txt
-y words.txt
words.txt > /dev/full
-o /dev/full words.txt
-S 64K bulk.txt > /dev/full
-c words.sorted > /dev/full
nonl.txt > /dev/full
words.txt >&-
-u nonl.txt >&-
-u - < nonl.txt >&-
-S 64K bulk.txt >&-
-S 64K - < bulk.txt >&-
-c words.txt 2>&-
--debug words.txt 2>/dev/full
-S M words.txt
-S Kx words.txt
-S Z words.txt
EOF

# --debug: the annotations on standard output, the warnings on standard
# error.
each_case exact <<'EOF'
--debug words.txt
--debug -k2,2 words.txt
--debug -k2 words.txt
--debug -k2b words.txt
--debug -b -k2 words.txt
--debug -k2.2,2.3 words.txt
--debug -k2,1 words.txt
--debug -k1,1 -k2,2 -k5 words.txt
--debug -n numbers.txt
--debug -k2,2n -k1,1 numbers.txt
--debug -t: -k3,3n colons.txt
--debug -t: -k2 colons.txt
--debug -M months.txt
--debug -h human.txt
--debug -g general-g.txt
--debug -V versions.txt
--debug -s -u dups.txt
--debug -u dups.txt
--debug -fi dups.txt
--debug -d dups.txt
--debug -r words.txt
--debug -r -k2,2n numbers.txt
--debug -n -k2,2 numbers.txt
--debug -nr -k2,2 -k1,1f numbers.txt
--debug -z zero.txt
--debug bytes.txt
--debug -k1.2,1.4 bytes.txt
--debug -b bytes.txt
--debug -c words.txt
--debug -c words.sorted
--debug -m words.sorted dups.sorted
--debug -o out.txt words.txt
--debug -t '\0' -k2,2n nulsep.txt
--debug -S 64K -k1,1 bulk.txt
--debug -bn numbers.txt
--debug -k1bn numbers.txt
--debug -nb -k1,1 numbers.txt
--debug -s words.txt
--debug -R -k1,1n numbers.txt
--debug +1 words.txt
--debug crlf.txt
--debug empty.txt
EOF

# Lines of hundreds of kilobytes; megabytes through runs on disk (-S).
each_case exact <<'EOF'
long.txt
-r long.txt
-u long.txt
-k2n long.txt
-k1.400000 long.txt
-S 64K long.txt
-S 64K -u long.txt
bulk.txt
-n -k2,2 bulk.txt
-S 64K bulk.txt
-S 64K -n -k2,2 bulk.txt
-S 64K -u -k1,1 bulk.txt
-S 64K -s -k1,1 bulk.txt
-S 64K -r bulk.txt
--parallel=1 bulk.txt
--parallel=3 -S 64K bulk.txt
--parallel=2 -S 4M bulk.txt
--parallel=3 -S 4M -u -k1,1 bulk.txt
--parallel=2 -S 4M -r -k2,2n bulk.txt
--parallel=2 -S 4M --debug -k3,3h bulk.txt
--parallel=2 -S 4M long.txt
--batch-size=2 -S 64K -k2,2n bulk.txt
-S 64K -k1,1 < bulk.txt
-S 64K -u - < <(cat bulk.txt)
/proc/filesystems
-r -S 1K empty.txt /proc/filesystems empty.txt
-u /sys/devices/system/cpu/online /proc/filesystems
--parallel=2 -S 4M - long.txt < <(cat long.txt)
--parallel=1 -S 64K -k3,3g bulk.txt
-S 1M -k4,4 -k2,2nr bulk.txt
-k3,3h bulk.txt
-u bulk.txt
-u -k1,1 bulk.txt
-c bulk.sorted
-m bulk.sorted bulk.sorted
-m -S 64K --batch-size=2 bulk.sorted words.sorted dups.sorted paths.sorted
bulk.txt words.txt long.txt
EOF

while IFS='|' read -r key arguments; do
  case "$key" in '' | '#'*) continue ;; esac
  random "$key" "$arguments"
done <<'EOF'
{ print }|-R words.txt
{ print }|-R dups.txt
{ print }|-R paths.txt
{ print toupper($0) }|-Rf dups.txt
{ print $2 }|-R -k2b,2 words.txt
BEGIN { FS = ":" } { print $3 }|-t: -k3,3 -R colons.txt
{ print }|-Ru dups.txt
{ print }|--random-source=words.txt -R words.txt
{ print }|--random-source=words.txt -R -S 64K bulk.txt
{ print $1 }|--random-source=paths.txt -k1,1R bulk.txt
{ print }|-R -S 64K bulk.txt
{ print $1 }|-k1,1R -k2,2n bulk.txt
{ print }|--sort=random paths.txt
EOF

# Combinations no table lists: option sets drawn from a fixed seed (a
# Park-Miller sequence, the same in every awk), each with global letters,
# up to three keys with letters of their own, a separator, -s, -u, -r,
# --debug, -c, on one of the files. -g reads files without NaNs; -R has its own cases above.
combinations() {
  awk -v count="$1" -v seed="$2" 'BEGIN {
    state = seed
    split("words numbers colons csv dups bytes months versions paths human general crlf", files, " ")
    split("n g h M V", orders, " ")
    split("b d f i r", modifiers, " ")
    for (c = 0; c < count; c++) {
      line = ""
      general = 0
      if (draw(3) == 0) line = line " -" letters()
      if (draw(3) == 0) line = line " -t" substr(":, ", draw(3) + 1, 1) ""
      if (line ~ / -t $/) line = substr(line, 1, length(line) - 4) " -t'"'"' '"'"'"
      keys = draw(4)
      for (k = 0; k < keys; k++) {
        start = 1 + draw(4)
        key = " -k" start
        if (draw(3) == 0) key = key "." (1 + draw(4))
        if (draw(4) == 0) key = key "b"
        if (draw(3) > 0) {
          end = start + draw(2)
          key = key "," end
          if (draw(4) == 0) key = key "." draw(5)
        }
        if (draw(2) == 0) key = key letters()
        line = line key
      }
      if (draw(4) == 0) line = line " -s"
      if (draw(4) == 0) line = line " -u"
      if (draw(5) == 0) line = line " -r"
      if (draw(4) == 0) line = line " --debug"
      if (draw(8) == 0) line = line " -c"
      print substr(line, 2) (line == "" ? "" : " ") files[1 + draw(length(files))] (general ? "-g" : "") ".txt"
    }
  }
  function draw(n) { state = (state * 16807) % 2147483647; return state % n }
  function letters(   text, m) {
    text = draw(2) == 0 ? orders[1 + draw(5)] : ""
    if (text == "g") general = 1
    for (m = 1; m <= 5; m++) if (draw(4) == 0) text = text modifiers[m]
    return text == "" ? "f" : text
  }'
}
DRAWN=1
each_case exact < <(combinations "$COMBINATIONS" "$SEED")
DRAWN=0

# The larger cases and a few small ones again with one and three threads and
# a small memory budget: the same bytes every time.
if [ "$QUICK" = 0 ]; then
  for variant in ZELTO_THREADS=1 ZELTO_THREADS=3 ZELTO_MEMORY=1M; do
    each_case exact "$variant" <<'EOF'
bulk.txt
-n -k2,2 bulk.txt
-u -k1,1 bulk.txt
-s -k1,1 bulk.txt
-k3,3g -k2,2nr bulk.txt
-S 64K -n -k2,2 bulk.txt
-m bulk.sorted bulk.sorted
long.txt
-u long.txt
-n numbers.txt
-fu words.txt
-V versions.txt
@ -o words.txt words.txt
EOF
  done
fi

# A locale the environment names but the system lacks: --debug says so
# before its other warnings, and the order stays the C locale's.
each_case exact LC_ALL=no-such-locale <<'EOF'
--debug words.txt
-n --debug -k2,2 bulk.txt
-f words.txt
EOF

# The environment's rules for the command line: options end at the first
# operand, and "+POS" without "-POS" is a file name under the 2001 rules.
for variant in POSIXLY_CORRECT=1 _POSIX2_VERSION=200112 "POSIXLY_CORRECT= _POSIX2_VERSION=200112"; do
  each_case exact "$variant" <<'EOF'
words.txt -r
-r words.txt - -u < words.txt
-c words.sorted -r
+1 words.txt
+1 -2 words.txt
+0 +1 -2 bulk.txt
EOF
done

echo "$CASES cases, $FAILURES mismatches"
[ "$FAILURES" = 0 ] || { [ "$KEEP" = 0 ] || echo "reports in $REPORT"; exit 1; }
exit 0
