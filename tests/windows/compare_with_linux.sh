#!/usr/bin/env bash
# zelto.exe and zelto-pack.exe under wine against the Linux build on the same
# input: for every key kind, ascending and descending, unique, ignoring case
# (phrases), in memory and with ZELTO_MEMORY=4M (sorted runs on disk), the
# output files must be byte-identical and the messages the same once the
# text streams' CR LF is read as LF. The same for text files sorted by each
# zelto-pack --sort, into a file and to standard output. After a default
# run binary.tmp must be gone.
#
# usage: tests/windows/compare_with_linux.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
set -euo pipefail
[ $# = 2 ] || { echo "usage: $0 LINUX_BUILD_DIR WINDOWS_BUILD_DIR" >&2; exit 2; }
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
export WINEPREFIX="$windows/wine" WINEDEBUG=-all
wine=$(command -v wine64 || command -v wine)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

# same LABEL: the two systems' outputs and messages in $dir must agree.
same() {
  local label=$1
  tr -d '\r' <"$dir/windows.err" >"$dir/windows.err.lf"
  if cmp -s "$dir/linux.txt" "$dir/windows.txt" && cmp -s "$dir/linux.err" "$dir/windows.err.lf"; then
    echo "same: $label"
  else
    echo "DIFFERENT: $label"
    failures=$((failures + 1))
  fi
}

# both ARGUMENTS...: runs zelto of each system in $dir (ZELTO_MEMORY from $memory).
both() {
  local budget=(-u ZELTO_MEMORY)
  [ -z "$memory" ] || budget=("ZELTO_MEMORY=$memory")
  (cd "$dir" && env "${budget[@]}" "$linux/zelto" -y "$@" -o linux.txt >/dev/null 2>linux.err)
  (cd "$dir" && env "${budget[@]}" "$wine" "$windows/zelto.exe" -y "$@" -o windows.txt \
    >/dev/null 2>windows.err)
}

for kind in int phrase double; do
  "$linux/tests/support/zelto_make_records" --kind=$kind --count=400000 --size=128 \
    --dir="$dir" >/dev/null
  options=("" "-r" "-u" "-u -r")
  [ "$kind" != phrase ] || options+=("-f" "-f -u -r")
  for words in "${options[@]}"; do
    for memory in "" 4M; do
      # shellcheck disable=SC2086 # the options are words
      both $words
      same "$kind ${words:-(plain)} ${memory:+ZELTO_MEMORY=$memory}"
    done
  done
done

# A CR LF text, packed and arranged by each pair.
"$linux/tests/support/zelto_make_records" --kind=int --count=20000 --size=128 --dir="$dir" \
  --lines="$dir/lines.txt" >/dev/null
sed 's/$/\r/' "$dir/lines.txt" >"$dir/crlf.txt"
for words in "-n" "-f -u" "-k2,2n -r"; do
  # shellcheck disable=SC2086
  (cd "$dir" && "$linux/zelto-pack" $words --sort -o linux.txt crlf.txt 2>linux.err)
  # shellcheck disable=SC2086
  (cd "$dir" && "$wine" "$windows/zelto-pack.exe" $words --sort -o windows.txt crlf.txt \
    2>windows.err)
  same "zelto-pack $words --sort on CR LF text"
done
# To standard output, from LF text.
(cd "$dir" && "$linux/zelto-pack" -n --sort lines.txt >linux.txt 2>linux.err)
(cd "$dir" && "$wine" "$windows/zelto-pack.exe" -n --sort lines.txt >windows.txt 2>windows.err)
same "zelto-pack -n --sort on LF text to standard output"

# A default run removes binary.tmp.
(cd "$dir" && "$linux/zelto-pack" crlf.txt && "$wine" "$windows/zelto.exe" >/dev/null)
if [ -e "$dir/binary.tmp" ]; then
  echo "DIFFERENT: binary.tmp left after a default run"
  failures=$((failures + 1))
fi

[ "$failures" = 0 ] && echo "zelto.exe and zelto-pack.exe wrote what the Linux build wrote"
exit $((failures != 0))
