#!/usr/bin/env bash
# Checks the bash completions of zelto, zelto-pack and zelto-sort: each case feeds the
# words of a command line to the completion function and compares the
# candidates it offers.
set -u
source_dir=${1:?usage: completion_test.sh SOURCE_DIR}
source "$source_dir/completion/zelto"
source "$source_dir/completion/zelto-pack"
source "$source_dir/completion/zelto-sort"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" && touch data.txt notes.txt && mkdir subdir

failed=0
passed=0
# expect FUNCTION "EXPECTED CANDIDATES" WORD...
expect() {
    local function=$1 expected=$2
    shift 2
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$function"
    local got="${COMPREPLY[*]}"
    if [[ $got == "$expected" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: [$*] gave [$got], expected [$expected]"
    fi
}

expect _zelto "-V -VC" zelto -V
expect _zelto "-L- -LF -L" zelto -L
expect _zelto "-o -o-" zelto -r -o
expect _zelto "data.txt" zelto -o d
expect _zelto "notes.txt" zelto -u n
expect _zelto "--help" zelto --
expect _zelto_pack "--key= --keep" zelto-pack --k
expect _zelto_pack "--reverse --record-size= --report-ties" zelto-pack --re
expect _zelto_pack "int" zelto-pack --key = i
expect _zelto_pack "phrase int double" zelto-pack --key =
expect _zelto_pack "double" zelto-pack --key d
expect _zelto_pack "--key=phrase" zelto-pack --key=p
expect _zelto_pack "data.txt" zelto-pack --output = d
expect _zelto_pack "" zelto-pack --record-size ""
expect _zelto_pack "data.txt" zelto-pack --unique d
expect _zelto_pack "--ignore-case" zelto-pack --ig
expect _zelto_pack "--lenient --lf" zelto-pack --l
expect _zelto_pack "--crlf" zelto-pack --c
expect _zelto_pack "--field= --field-separator=" zelto-pack --fi
expect _zelto_pack "--max-line=" zelto-pack --m
expect _zelto_pack "data.txt" zelto-pack -o d
expect _zelto_pack "" zelto-pack -k ""
expect _zelto_pack "" zelto-pack -t ""
expect _zelto_pack "" zelto-pack --max-line = ""
expect _zelto_pack "-k" zelto-pack -n -k
expect _zelto_pack "--sort" zelto-pack --so
expect _zelto_pack "subdir" zelto-pack -C su
expect _zelto_pack "--output=data.txt" zelto-pack --output=d
expect _zelto_sort "--sort=" zelto-sort --so
expect _zelto_sort "numeric" zelto-sort --sort = n
expect _zelto_sort "--sort=human-numeric" zelto-sort --sort=h
expect _zelto_sort "general-numeric human-numeric month numeric random version" zelto-sort --sort ""
expect _zelto_sort "quiet" zelto-sort --check = q
expect _zelto_sort "--check=diagnose-first" zelto-sort --check=d
expect _zelto_sort "data.txt" zelto-sort --check d
expect _zelto_sort "--check --check=" zelto-sort --ch
expect _zelto_sort "--ignore-leading-blanks --ignore-case --ignore-nonprinting" zelto-sort --ig
expect _zelto_sort "--numeric-sort" zelto-sort -r --nu
expect _zelto_sort "data.txt" zelto-sort -o d
expect _zelto_sort "notes.txt" zelto-sort --files0-from = n
expect _zelto_sort "--random-source=notes.txt" zelto-sort --random-source=n
expect _zelto_sort "subdir" zelto-sort -T su
expect _zelto_sort "--temporary-directory=subdir/" zelto-sort --temporary-directory=su
expect _zelto_sort "" zelto-sort -k ""
expect _zelto_sort "" zelto-sort -S ""
expect _zelto_sort "" zelto-sort --parallel = ""
expect _zelto_sort "data.txt" zelto-sort -n -k2 d

echo "$passed passed, $failed failed"
((failed == 0))
