#!/usr/bin/env bash
# Completes zelto-pack and zelto-sort command lines in a real interactive bash inside tmux,
# as a user's Tab does: without the bash-completion package, with it when it
# is installed, and with "=" taken out of COMP_WORDBREAKS. Each case types
# the start of a line, presses Tab and compares the line that results.
# SETUP is "plain" (the first and last way) or "bash-completion"; a way that
# cannot run here ends with status 77, which CTest reports as skipped.
set -u
source_dir=${1:?usage: completion_terminal_test.sh SOURCE_DIR plain|bash-completion}
setup=${2:-plain}
command -v tmux >/dev/null || { echo "tmux is not installed: skipped"; exit 77; }
package=/usr/share/bash-completion/bash_completion
if [ "$setup" = bash-completion ] && [ ! -r "$package" ]; then
    echo "the bash-completion package is not installed: skipped"
    exit 77
fi

work=$(mktemp -d)
# A tmux server of its own for each mode, its socket in the work directory.
socket=
trap 'for s in "$work"/socket.*; do tmux -S "$s" kill-server 2>/dev/null; done; rm -rf "$work"' EXIT
mkdir "$work/subdir" && touch "$work/data.txt" "$work/notes.txt"

failed=0
passed=0

# The line under the cursor, without the prompt and trailing blanks.
current_line() {
    tmux -S "$socket" capture-pane -p -t completion | grep -v '^$' | tail -n 1 |
        sed -e 's/^\$ \{0,1\}//' -e 's/ *$//'
}

# Waits until the line under the cursor is $1, for at most two seconds.
wait_for_line() {
    local tries=0
    until [[ $(current_line) == "$1" ]] || ((++tries > 40)); do sleep 0.05; done
}

# expect TYPED EXPECTED: types TYPED, presses Tab, compares the line.
expect() {
    tmux -S "$socket" send-keys -t completion -l "$1"
    tmux -S "$socket" send-keys -t completion Tab
    wait_for_line "$2"
    local got
    got=$(current_line)
    tmux -S "$socket" send-keys -t completion C-u
    wait_for_line ""
    if [[ $got == "$2" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED ($mode): typed [$1] gave [$got], expected [$2]"
    fi
}

run_cases() {
    local mode=$1 setup=$2
    {
        echo "PS1='\$ '"
        echo "$setup"
        echo "source $(printf '%q' "$source_dir/completion/zelto-pack")"
        echo "source $(printf '%q' "$source_dir/completion/zelto-sort")"
    } > "$work/rc.$mode"
    socket=$work/socket.$mode
    tmux -S "$socket" new-session -d -s completion -x 200 -y 20 \
        "cd $(printf '%q' "$work") && bash --noprofile --rcfile $(printf '%q' "$work/rc.$mode") -i"
    # The prompt shows once the completion is loaded.
    local tries=0
    until tmux -S "$socket" capture-pane -p -t completion | grep -q '^\$' || ((++tries > 100)); do
        sleep 0.05
    done
    expect "zelto-pack --out" "zelto-pack --output="
    expect "zelto-pack --output=d" "zelto-pack --output=data.txt"
    expect "zelto-pack --key=i" "zelto-pack --key=int"
    expect "zelto-pack --key=do" "zelto-pack --key=double"
    expect "zelto-pack -o n" "zelto-pack -o notes.txt"
    expect "zelto-pack --so" "zelto-pack --sort"
    expect "zelto-pack --rev" "zelto-pack --reverse"
    expect "zelto-pack -n --ign" "zelto-pack -n --ignore-case"
    expect "zelto-pack -C su" "zelto-pack -C subdir/"
    expect "zelto-pack --directory=su" "zelto-pack --directory=subdir/"
    expect "zelto-pack -u no" "zelto-pack -u notes.txt"
    expect "zelto-sort --so" "zelto-sort --sort="
    expect "zelto-sort --sort=nu" "zelto-sort --sort=numeric"
    expect "zelto-sort --check=q" "zelto-sort --check=quiet"
    expect "zelto-sort -o d" "zelto-sort -o data.txt"
    expect "zelto-sort --output=d" "zelto-sort --output=data.txt"
    expect "zelto-sort -T su" "zelto-sort -T subdir/"
    expect "zelto-sort --temporary-directory=su" "zelto-sort --temporary-directory=subdir/"
    expect "zelto-sort -k2,2n no" "zelto-sort -k2,2n notes.txt"
    tmux -S "$socket" kill-server 2>/dev/null
}

if [ "$setup" = bash-completion ]; then
    mode=bash-completion
    run_cases bash-completion "source $package"
else
    mode=plain
    run_cases plain ""
    mode=one-word
    run_cases one-word 'COMP_WORDBREAKS=${COMP_WORDBREAKS//=}'
fi

echo "$passed passed, $failed failed"
((failed == 0))
