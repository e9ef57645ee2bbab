#!/usr/bin/env bash
# Runs the README's shell sessions as written and compares what they print.
#
# Every indented block whose first line starts with "$ " is a session: each
# "$ COMMAND" line runs in one bash (so `cd` and files carry over from block
# to block), and the indented lines up to the next "$ " are what it prints on
# standard output and standard error together. The commands run in a fresh
# temporary directory with the BIN_DIRs first on the PATH.
set -u
source_dir=${1:?usage: readme_test.sh SOURCE_DIR BIN_DIR...}
[ $# -ge 2 ] || { echo "usage: readme_test.sh SOURCE_DIR BIN_DIR..."; exit 2; }
search_path=
for dir in "${@:2}"; do
    dir=$(cd "$dir" && pwd) || exit 1
    search_path+=$dir:
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/run" "$work/tmp"

# Splits the sessions into $work/command.N and $work/expected.N.
awk -v dir="$work" '
    /^    \$ / { n++; sub(/^    \$ /, ""); print > (dir "/command." n);
                 printf "" > (dir "/expected." n); in_session = 1; next }
    in_session && /^    / { sub(/^    /, ""); print >> (dir "/expected." n); next }
    { in_session = 0 }
    END { print n > (dir "/count") }
' "$source_dir/README.md"
count=$(cat "$work/count")
[ "$count" -gt 0 ] || { echo "no sessions found in README.md"; exit 1; }

script=$work/script.sh
{
    echo "export PATH=$(printf '%q' "$search_path")\$PATH TMPDIR=$(printf '%q' "$work/tmp")"
    echo "cd $(printf '%q' "$work/run")"
    for ((i = 1; i <= count; i++)); do
        echo "{ $(cat "$work/command.$i")"
        echo "} > $(printf '%q' "$work/got.$i") 2>&1"
    done
} > "$script"
bash "$script" < /dev/null

failed=0
for ((i = 1; i <= count; i++)); do
    if ! cmp -s "$work/expected.$i" "$work/got.$i"; then
        failed=$((failed + 1))
        echo "FAILED: \$ $(cat "$work/command.$i")"
        diff "$work/expected.$i" "$work/got.$i"
    fi
done
echo "$((count - failed)) of $count README commands printed what the README shows"
((failed == 0))
