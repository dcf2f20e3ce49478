#!/bin/sh
# The installed tree, made by `cmake --install` into a temporary prefix (MODE install) or by
# cpack's Debian package unpacked into a temporary root (MODE package): it holds exactly the
# programs, boardsim, its preloads and man page, and the installed boardsim runs the installed
# programs with the preloads of that tree (seen in a process's memory map), not the build's.
#   install_test.sh install CMAKE BUILD_DIR VERSION MAN(yes|no) KLOG(yes|no)
#   install_test.sh package CPACK BUILD_DIR VERSION MAN(yes|no) KLOG(yes|no)
set -u
mode=$1 tool=$2 build=$3 version=$4 man=$5 klog=$6
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
work=$(pwd -P)  # as the memory map names the files
fail() {
    printf 'FAIL %s: %s\n' "$mode" "$*"
    for f in out err; do [ -f $f ] && { printf -- '--- %s\n' $f; cat $f; }; done
    exit 1
}
mkdir tmp
export TMPDIR="$work/tmp"
if [ "$mode" = install ]; then
    prefix=$work/prefix
    "$tool" --install "$build" --prefix "$prefix" >out 2>err || fail "cmake --install failed"
else
    command -v dpkg-deb >/dev/null || { echo "no dpkg-deb: the Debian package is not tried"; exit 77; }
    "$tool" -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >out 2>err || fail "cpack failed"
    deb=$(ls pkg/boardsim_"$version"_*.deb) || fail "no package boardsim_$version"
    # What dpkg-shlibdeps finds, and umockdev (its preload is loaded by name, not linked).
    depends=$(dpkg-deb -f "$deb" Depends)
    for p in umockdev libumockdev0 libglib2.0-0 libstdc++6 libc6 android-liblog; do
        echo ", $depends," | grep -q ", $p[ ,]" || fail "Depends lacks $p: $depends"
    done
    dpkg-deb -x "$deb" root || fail "dpkg-deb -x failed"
    prefix=$work/root/usr
fi

# Every installed file (the armhf build's preloads, when given, aside).
expected="bin/boardsim bin/coprocflash bin/lumend bin/sensorflash"
[ "$klog" = yes ] && expected="$expected lib/boardsim/libcutils_klog.so"
expected="$expected lib/boardsim/libtestbed_arm.so lib/boardsim/libtestbed_clock.so lib/boardsim/libtestbed_preload.so lib/boardsim/libtestbed_trace.so"
[ "$man" = yes ] && expected="$expected share/man/man1/boardsim.1.gz"
files=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | grep -v '^lib/boardsim/armhf/' | sort | tr '\n' ' ')
[ "$files" = "$expected " ] || fail "installed: $files; expected: $expected"

# Only the installed tree on the search path, as on a machine with the package.
PATH="$prefix/bin:/usr/bin:/bin"
export PATH
[ "$(boardsim --version)" = "boardsim $version" ] || fail "boardsim --version: $(boardsim --version)"

# Whatever COMMAND starts gets the prefix's preloads (with --trace, the trace's too).
boardsim leds --fast --trace trace -- cat /proc/self/maps >out 2>err || fail "the memory map run failed"
own=$(grep -o '/[^ ]*/lib\(testbed\|boardsim\)[^ /]*\.so$' out | sort -u | tr '\n' ' ')
[ "$own" = "$prefix/lib/boardsim/libtestbed_arm.so $prefix/lib/boardsim/libtestbed_clock.so $prefix/lib/boardsim/libtestbed_preload.so $prefix/lib/boardsim/libtestbed_trace.so " ] ||
    fail "preloads: $own"

# A touch update from version 11 to 12: four packets into rows 0-2 and the last row.
head -c $((4 * 129)) /dev/zero | tr '\0' '\132' >touch.bin
timeout 60 boardsim touch --version 11 -- sensorflash touch.bin 1.0.12 >out 2>err || fail "touch update: status $?"
[ "$(sed -n '2p;$p' out)" = "ver=11, new_ver=12
TOUCH PROGRAM UPDATE SUCCESSFULLY" ] || fail "sensorflash did not update from 11 to 12"
# The daemon, with its library of the prefix, takes command 3 and ends on 255.
timeout 60 boardsim leds --fast --send 3 --every 1 -- lumend >out 2>err || fail "lumend: status $?"
grep -qx 'kavo : touch led recieve command : 3' out || fail "lumend took no command 3"

# The page's title line names the version, its NAME section what boardsim does.
if [ "$man" = yes ]; then
    gzip -dc "$prefix/share/man/man1/boardsim.1.gz" | sed -n '/^\.TH/p;/^\.SH NAME/{n;p}' >out
    [ "$(sed 's/"[A-Z][a-z]* [0-9]*"/"DATE"/' out)" = '.TH BOARDSIM "1" "DATE" "boardsim '"$version"'" "User Commands"
boardsim \- run programs on a simulated board and report what the hardware saw' ] || fail "man page: $(cat out)"
fi
[ -z "$(ls tmp)" ] || fail "left behind: $(ls tmp)"
echo "$mode: $files"
