#!/bin/sh
# Inside a private mount namespace (unshare -m --propagation private): makes ROOT a tmpfs root
# with the machine's /usr, /etc and /proc, the pty devices, and the board's device paths as
# places to bind or answer from (files "/dev/ttyS1" and "/dev/aw9110_1_dev", the FIFO
# "/data/led_pipe", the folder "/sys/class/gpio"), binds each DIR at its own path in it, then
# runs COMMAND, which chroots into ROOT itself. The machine's /dev, /sys and /data are never
# touched. Usage: private_root.sh ROOT DIR... -- COMMAND [ARGS...]
set -eu
root=$1
shift
mount -t tmpfs none "$root"
mkdir -p "$root/usr" "$root/etc" "$root/proc" "$root/dev/pts" "$root/data" "$root/sys/class/gpio"
# Debian's merged /usr: /bin (so /bin/sh), /lib and the others are links into it.
for d in bin lib lib64 sbin; do [ -L /$d ] && ln -s "$(readlink /$d)" "$root/$d"; done
mount --bind /usr "$root/usr"; mount --bind /etc "$root/etc"; mount --bind /proc "$root/proc"
mount --bind /dev/pts "$root/dev/pts"
touch "$root/dev/ptmx" "$root/dev/ttyS1" "$root/dev/aw9110_1_dev" "$root/dev/null"
mount --bind /dev/pts/ptmx "$root/dev/ptmx"; mount --bind /dev/null "$root/dev/null"
mkfifo "$root/data/led_pipe"
while [ "$1" != -- ]; do
    mkdir -p "$root$1"
    mount --bind "$1" "$root$1"
    shift
done
shift
exec "$@"
