#!/usr/bin/env bash
# Checks what a user installs: builds the Debian package from a configured
# build directory, installs into a temporary prefix with `cmake --install`,
# compares both file lists with the expected one, runs the installed and the
# packaged commands once, lints the manual pages and completions, and runs
# lintian, Debian's package checker, which must report no error.
#
# Usage: packaging/check-package.sh BUILD_DIR
# Needs cmake/cpack, dpkg-deb, groff (groff-base), gzip and lintian.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "check-package: $*" >&2
    exit 1
}
step() { echo "== $*"; }

for tool in cmake cpack dpkg-deb groff gzip lintian; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done

# The files both ways of installing must put in place, relative to the prefix.
expected_files="bin/zelto
bin/zelto-pack
bin/zelto-sort
share/bash-completion/completions/zelto
share/bash-completion/completions/zelto-pack
share/bash-completion/completions/zelto-sort
share/doc/zelto/README.md
share/doc/zelto/changelog.gz
share/doc/zelto/copyright
share/man/man1/zelto-pack.1.gz
share/man/man1/zelto-sort.1.gz
share/man/man1/zelto.1.gz"

# Runs zelto-pack and zelto, then zelto-sort, from BIN_DIR on three numbers in
# a fresh directory and checks they come out sorted.
smoke_test() {
    local bin_dir=$1 dir
    dir=$(mktemp -d "$work/smoke.XXXXXX")
    [ "$("$bin_dir/zelto-pack" --version)" = "zelto-pack 1.022" ] ||
        fail "$bin_dir/zelto-pack --version is wrong"
    local sorted
    sorted=$(cd "$dir" && printf '30 c\n-2 a\n7 b\n' |
        "$bin_dir/zelto-pack" --key=int && "$bin_dir/zelto")
    [ "$sorted" = "$(printf -- '-2 a\n7 b\n30 c')" ] ||
        fail "$bin_dir: zelto-pack | zelto gave: $sorted"
    "$bin_dir/zelto-sort" --version | grep -q '1\.022' ||
        fail "$bin_dir/zelto-sort --version is wrong"
    sorted=$(printf '30 c\n-2 a\n7 b\n' | "$bin_dir/zelto-sort" -n)
    [ "$sorted" = "$(printf -- '-2 a\n7 b\n30 c')" ] ||
        fail "$bin_dir: zelto-sort -n gave: $sorted"
}

# Lints one manual page (plain or gzip-compressed): no formatter warnings.
lint_page() {
    local page=$1 text warnings
    if [[ $page == *.gz ]]; then text=$(gzip -dc "$page"); else text=$(cat "$page"); fi
    warnings=$(printf '%s\n' "$text" | groff -t -man -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
    warnings=$(printf '%s\n' "$text" | groff -man -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
    if command -v man >/dev/null; then
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$page: $warnings"
    fi
}

step "build"
cmake --build "$build_dir" -j2 --target zelto zelto-pack zelto-sort zelto_man_pages zelto_changelog

step "cmake --install into a temporary prefix"
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
installed=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
[ "$installed" = "$expected_files" ] ||
    fail "installed files differ:
$(diff <(echo "$expected_files") <(echo "$installed") || true)"
for program in zelto zelto-pack zelto-sort; do
    [ -x "$prefix/bin/$program" ] || fail "bin/$program is not executable"
done
smoke_test "$prefix/bin"

step "cpack -G DEB"
(cd "$build_dir" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(find "$work/deb" -maxdepth 1 -name 'zelto_1.022_*.deb')
[ -n "$deb" ] && [ "$(echo "$deb" | wc -l)" -eq 1 ] || fail "no single zelto_1.022_*.deb"
echo "built $(basename "$deb")"

step "dpkg-deb: file list and control fields"
listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./usr/||' |
    LC_ALL=C sort)
[ "$listed" = "$expected_files" ] ||
    fail "package files differ:
$(diff <(echo "$expected_files") <(echo "$listed") || true)"
dpkg-deb -c "$deb" | awk '$6 ~ /\/bin\/zelto/ && $1 !~ /x/ { bad = 1 } END { exit bad }' ||
    fail "a packaged command is not executable"
[ "$(dpkg-deb -f "$deb" Package)" = "zelto" ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "1.022" ] || fail "package version"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no maintainer"
[ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no description"
dpkg-deb -f "$deb" Package Version Architecture Maintainer Depends

step "lintian"
# Errors fail the check; warnings and notes are shown.
lintian --fail-on error --allow-root "$deb" || fail "lintian reports errors for $(basename "$deb")"

step "the packaged commands run"
dpkg-deb -x "$deb" "$work/root"
smoke_test "$work/root/usr/bin"

step "manual pages and completions"
for page in "$source_dir"/man/*.1 "$prefix"/share/man/man1/*.1.gz; do
    lint_page "$page"
done
for completion in "$source_dir"/completion/*; do
    bash -n "$completion" || fail "$completion: syntax error"
done

echo "check-package: all checks passed"
