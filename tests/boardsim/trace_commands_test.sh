#!/bin/sh
# boardsim decode / compare from the binary: exit statuses, complete output into a pipe, and
# one line on stderr for bad input.   trace_commands_test.sh BOARDSIM TRACES_DIR
set -u
boardsim=$1 traces=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
fail() { printf 'FAIL: %s\n--- out\n' "$*"; cat out; printf -- '--- err\n'; cat err; exit 1; }
run() { timeout 30 "$boardsim" "$@" >out 2>err; status=$?; }
expect() { [ "$status" -eq "$1" ] || fail "$2: status $status, not $1"; }
one_line() { [ "$(wc -l <err)" -eq 1 ] && grep -qF -- "$1" err || fail "not the one line: $1"; }

mcu=$traces/mcu-update.trace
run decode "$mcu"
expect 0 decode
cmp -s out "$traces/mcu-update.decoded" || fail "decode output differs from mcu-update.decoded"
[ ! -s err ] || fail "decode wrote to stderr"
# Through a pipe that reads everything: every line arrives.
[ "$(timeout 30 "$boardsim" decode "$mcu" | wc -l)" -eq "$(wc -l <"$traces/mcu-update.decoded")" ] || fail "lines lost in a pipe"

run compare "$mcu" "$mcu"
expect 0 "compare with itself"
sed 's/0800010009$/0800020008/' "$mcu" >other.trace  # another image: its block goes elsewhere
run compare "$mcu" other.trace
expect 1 "compare with another image"
grep -qF "golden: 0.003200 -> Write Memory address 0x08000100 (checksum 0x09)" out || fail "no first Write Memory difference"
run compare --timing 0.0001 "$mcu" "$mcu"
expect 0 "compare --timing with itself"

run decode
expect 2 "decode without a file"
one_line "boardsim: decode takes one trace file"
run decode missing.trace
expect 2 "decode of a missing file"
one_line "boardsim: decode: missing.trace: No such file or directory"
printf 'hello\n' >bad.trace
run compare "$mcu" bad.trace
expect 2 "compare with no trace"
one_line "boardsim: compare: bad.trace: line 1: no trace"
run compare --timing -1 "$mcu" "$mcu"
expect 2 "a bad tolerance"
one_line "boardsim: compare: --timing takes a tolerance in seconds"
run compare "$mcu"
expect 2 "compare with one file"
one_line "boardsim: compare takes two trace files"
echo "trace commands: all checks passed"
