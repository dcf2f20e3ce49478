#!/bin/sh
# Real strace output read as a trace: strace_subject (or CASE's program) runs under strace in a
# private mount namespace whose root holds the board's device paths, and `boardsim import`
# must give its device calls exactly. Usage: trace_strace_capture.sh CASE BOARDSIM SUBJECT.
# Exit 77 (skipped) without root, without private mount namespaces, or without strace.
set -eu
case=$1 boardsim=$2 subject=$3
here=$(dirname "$0")
[ "$(id -u)" -eq 0 ] || { echo "skip: needs root for a private mount namespace"; exit 77; }
command -v strace >/dev/null || { echo "skip: no strace (package strace)"; exit 77; }
unshare -m true 2>/dev/null || { echo "skip: no private mount namespace here"; exit 77; }

work=$(mktemp -d)
root=$work/root
trap 'rm -rf "$work"' EXIT
mkdir -p "$root" "$work/out"
# The example's trace set (pselect6: glibc's select() on this machine), and the one the README
# recommends, which adds the calls that copy descriptors, start processes and name programs.
example=open,openat,close,read,write,ioctl,select,_newselect,pselect6
full=$example,dup,dup2,dup3,fcntl,clone,clone3,fork,vfork,execve

# The subject's own folder and the output folder in the private root; strace runs chrooted.
capture() {  # SET SIZE OUT
    unshare -m --propagation private sh "$here/private_root.sh" "$root" "$(dirname "$subject")" "$work/out" -- \
        chroot "$root" strace -f -tt -xx -s "$2" -e trace="$1" -o "$work/out/$3" "$subject"
}

# The events without their times and pids, which differ run after run.
events() { "$boardsim" import "$work/out/$1" | awk 'NR == 1 || !/^#/ { if (NR == 1) print; else { $1 = ""; $2 = ""; print substr($0, 3) } }'; }

expect() {  # NAME, then the expected events on standard input
    events "$1" >"$work/got"
    if ! diff -u - "$work/got"; then echo "FAIL: $case: the import of $1 differs"; grep -v "ld.so\|lib" "$work/out/$1" | cut -c1-300; exit 1; fi
}

line_events() {  # PROGRAM SHELL
    cat <<LINES
$1 /dev/ttyS1 4 open O_RDWR|O_NOCTTY 4 -
$1 /dev/ttyS1 4 tcsetattr 115200,8,E,1,raw 0 -
$1 /dev/ttyS1 4 tcflush TCIOFLUSH 0 -
$1 /dev/ttyS1 4 write 1 1 7f
$1 /dev/aw9110_1_dev 5 open O_RDWR 5 -
$1 /dev/aw9110_1_dev 5 ioctl 0x6b80:- ENOTTY -
$1 /dev/aw9110_1_dev 5 write 2 2 0205
$1 /dev/aw9110_1_dev 5 close - 0 -
$1 /dev/ttyS1 4 read 16 1 79
$1 /dev/ttyS1 4 wait select:100 timeout -
$1 /dev/ttyS1 4 write 40 40 55555555555555555555555555555555555555555555555555555555555555555555555555555555
$1 /data/led_pipe 5 open O_RDONLY|O_NONBLOCK 5 -
$1 /data/led_pipe 6 open O_WRONLY 6 -
$1 /data/led_pipe 6 write 1 1 01
$1 /data/led_pipe 5 read 1 1 01
$2 /sys/class/gpio/export 6 open O_WRONLY|O_CREAT|O_TRUNC 6 -
$2 /sys/class/gpio/export 6 close - 0 -
$2 /sys/class/gpio/export 1 write 3 3 31330a
LINES
}

case $case in
example_set)
    # Without execve the programs are "?"; the shell's "echo 13 >" is followed through its
    # close of the unused descriptor (dash's dup2 onto 1 is not in the set).
    capture "$example" 65535 cap.txt
    grep -q 'resumed>' "$work/out/cap.txt" || { echo "FAIL: strace split no call"; exit 1; }
    { echo "boardsim-trace 1 board"; line_events '?' '?'; } | expect cap.txt
    ;;
full_set)
    # execve names the programs (the shell of system() too) and gives the command; dup2 and
    # fcntl are followed exactly.
    capture "$full" 65535 cap.txt
    { echo "boardsim-trace 1 board $subject"; line_events strace_subject sh; } | expect cap.txt
    ;;
small_s)
    # -s 16 cuts the 40-byte write: refused with the line and the size needed, status 2.
    capture "$example" 16 cap.txt
    set +e
    "$boardsim" import "$work/out/cap.txt" >/dev/null 2>"$work/err"
    status=$?
    set -e
    n=$(grep -n 'write([0-9]*, .*, 40)' "$work/out/cap.txt" | cut -d: -f1)
    echo "boardsim import: $work/out/cap.txt: line $n: write on /dev/ttyS1 shows 16 of its 40 bytes: capture with strace -s 40 or more" | diff -u - "$work/err"
    [ "$status" -eq 2 ] || { echo "FAIL: status $status, not 2"; exit 1; }
    ;;
*) echo "unknown case $case"; exit 2 ;;
esac
echo "ok: $case"
