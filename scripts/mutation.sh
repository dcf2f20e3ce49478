#!/usr/bin/env bash
# Mutation check: puts each fault listed in tests/mutations/<program>.txt into a copy of the
# tree, one at a time, rebuilds, runs that program's tests (unit tests first, end-to-end only
# if they all pass) and prints whether the tests caught the fault ("killed") or not.
#
#   bash scripts/mutation.sh [lumend|sensorflash|coprocflash]...   (default: all three)
#
# A list entry is three lines: "= what the fault is", "file: path", then "- old" and "+ new"
# (the exact text that occurs once in the file, and what replaces it; \n stands for a newline).
# The tests run are those labelled with the list's name, or, when the list has a line
# "labels: A B ...", those with any of these labels (lists of the board, bed and boardsim).
# Run scripts/install-deps.sh first on a fresh machine. Set MUTATION_KEEP=1 to keep the copy.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=(lumend sensorflash coprocflash)

work=$(mktemp -d /tmp/mutation.XXXXXX)
[ "${MUTATION_KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src"
(cd "$root" && git ls-files -co --exclude-standard -z | tar --null -T - -cf -) | tar -xf - -C "$work/src"
echo "copy of the tree: $work/src"
# AddressSanitizer and UndefinedBehaviorSanitizer, as in the debug preset: an overrun counts.
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address >/dev/null
cmake --build "$work/build" >/dev/null

# apply FILE OLD NEW: replaces the one occurrence of OLD; fails when there is not exactly one.
apply() {
    OLD=$2 NEW=$3 perl -0pi -e '
        my ($old, $new) = ($ENV{OLD}, $ENV{NEW});
        s/\\n/\n/g for ($old, $new);
        my $n = () = /\Q$old\E/g;
        die "occurs $n times\n" unless $n == 1;
        s/\Q$old\E/$new/;' "$work/src/$1"
}

# tests_catch LABELS: 0 when a test with one of LABELS (a regex alternation) fails, 1 when all pass.
tests_catch() {
    local label
    for label in unit e2e; do
        # -LE armhf: the armhf build's programs are not the mutated ones.
        (cd "$work/build" && ctest -L "^($1)\$" -L "^$label\$" -LE '^armhf$' -j "$(nproc)" --stop-on-failure \
            >"$work/ctest.log" 2>&1) || return 0
    done
    return 1
}

total=0
killed=0
for prog in "${programs[@]}"; do
    list="$root/tests/mutations/$prog.txt"
    [ -f "$list" ] || { echo "no list $list" >&2; exit 2; }
    what="" file="" old=""
    labels=$(sed -n 's/^labels: *//p' "$list" | head -n 1)
    labels=${labels:-$prog}
    labels=${labels// /|}
    while IFS= read -r line || [ -n "$line" ]; do
        case "$line" in
        "= "*) what=${line#= } ;;
        "file: "*) file=${line#file: } ;;
        "- "*) old=${line#- } ;;
        "+ "* | "+")
            new=${line#+}
            new=${new# }
            total=$((total + 1))
            cp "$work/src/$file" "$work/original"
            if ! err=$(apply "$file" "$old" "$new" 2>&1); then
                echo "ERROR    $prog: $what ($file: $err)"
            elif ! cmake --build "$work/build" >"$work/build.log" 2>&1; then
                # A fault that does not build proves nothing about the tests.
                echo "ERROR    $prog: $what (does not build: see a copy kept with MUTATION_KEEP=1)"
            elif tests_catch "$labels"; then
                killed=$((killed + 1))
                echo "killed   $prog: $what"
            else
                echo "SURVIVED $prog: $what"
            fi
            cp "$work/original" "$work/src/$file"
            ;;
        esac
    done <"$list"
done
cmake --build "$work/build" >/dev/null
echo "mutation: $killed killed of $total"
