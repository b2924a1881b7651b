#!/bin/busybox sh
# The guest's first process. Sets the guest up, runs the case in /case.sh and powers off. The
# console is the only channel back to the host: everything the host checks is a line
# "@@tarvolo KEY VALUE" written by report.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# Where programs put UUCP lock files on a line, as on Debian: /var/lock is a link to /run/lock.
mkdir -p /run/lock /var
ln -s /run/lock /var/lock
# Kernel messages would land in the middle of the report lines.
echo 1 >/proc/sys/kernel/printk

# The host test bounds every wait and kills QEMU, but a host that went away must not leave a
# guest running: it ends on its own well after the longest case's limit.
(sleep 300 && poweroff -f) &

report() { echo "@@tarvolo $*"; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }

report up "$(uptime_s)"
for module in $(cat /lib/modules/load-order); do
    insmod "/lib/modules/$module" || report insmod-failed "$module"
done

# wait_until WHAT COMMAND...: runs COMMAND every 0.1 s until it succeeds; after 30 s, reports WHAT
# missing.
wait_until() {
    what=$1
    shift
    tries=0
    until "$@"; do
        if [ $tries -ge 300 ]; then
            report missing "$what"
            return 1
        fi
        sleep 0.1
        tries=$((tries + 1))
    done
}

# wait_for PATH: a USB adapter's node appears some time after its driver is loaded.
wait_for() { wait_until "$1" test -e "$1"; }

# A console that comes with a module (virtio's, named by the host) takes the reports from here on;
# what was written before went nowhere, so the boot is reported again.
if [ -n "${tarvolo_console:-}" ]; then
    wait_for "/dev/$tarvolo_console"
    # The node can appear before the port behind it opens, and a plain exec whose redirection
    # fails ends init; through `command` it only fails, and is tried again.
    tries=0
    until command exec <"/dev/$tarvolo_console" >"/dev/$tarvolo_console" 2>&1; do
        [ $tries -lt 50 ] || break
        sleep 0.1
        tries=$((tries + 1))
    done
    report up "$(uptime_s)"
fi

# update NAME PORT [USER]: one run of the updater as USER (root by default), answering PORT and the
# sample image. Under setsid it has no controlling terminal, so both key waits end at once. Reports
# the identity it ran with, when it ended, its exit status and its console output (base64, so that
# every byte arrives as it was written).
update() {
    printf '%s\n/home/fw.bin\n' "$2" |
        su -s /bin/sh "${3:-root}" -c "id >/tmp/$1.id; exec setsid /bin/tarvolo_updater" >"/tmp/$1.out" 2>&1
    status=$?
    report "$1.end" "$(uptime_s)"
    report "$1.identity" "$(cat "/tmp/$1.id")"
    report "$1.status" "$status"
    report "$1.output" "$(base64 -w 0 "/tmp/$1.out")"
}

# has_open PID DEVICE: waits until process PID has DEVICE open; a program started in the
# background opens it some time later.
opens() { ls -l "/proc/$1/fd" 2>/dev/null | grep -q " -> $2\$"; }
has_open() { wait_until "$2 open in $1" opens "$1" "$2"; }

# binary_pid PID: the 4 bytes of a lock file that holds its PID as a binary int (little-endian on
# every guest).
binary_pid() {
    printf "\\$(printf %o $(($1 & 255)))\\$(printf %o $(($1 >> 8 & 255)))\\$(printf %o $(($1 >> 16 & 255)))\\000"
}

# acm_gadget: a CDC-ACM serial gadget on dummy_hcd, made through configfs; its host side is
# /dev/ttyACM0 (the cdc-acm driver, COM7 in /tmp/ports), its device side /dev/ttyGS0, relayed byte
# for byte both ways to the board's UART (the PL011 on an ARM board, else the second 16550), whose
# far end is the emulator.
gadget=/sys/kernel/config/usb_gadget/tarvolo
acm_gadget() {
    mount -t configfs configfs /sys/kernel/config
    mkdir $gadget $gadget/configs/c.1 $gadget/functions/acm.usb0
    echo 0x1d6b >$gadget/idVendor
    echo 0x0104 >$gadget/idProduct
    ln -s $gadget/functions/acm.usb0 $gadget/configs/c.1/
    echo dummy_udc.0 >$gadget/UDC
    wait_for /dev/ttyACM0 || return 1
    wait_for /dev/ttyGS0 || return 1
    uart=/dev/ttyS1
    [ -e /dev/ttyAMA0 ] && uart=/dev/ttyAMA0
    (stty raw -echo && exec cat >$uart) </dev/ttyGS0 &
    (stty raw -echo 115200 && exec cat >/dev/ttyGS0) <$uart &
    mkdir -p /tmp/ports
    ln -s /dev/ttyACM0 /tmp/ports/com7
    export TARVOLO_COM_DIR=/tmp/ports
}

# unbind_at_page PAGE OUTPUT: takes the gadget off its bus (the device side of a USB cable pulled)
# once OUTPUT, the updater's console, shows page PAGE's progress line; reports when.
unbind_at_page() {
    until grep -q "Pagecount : *$1 of 120" "$2" 2>/dev/null; do sleep 0.02; done
    at=$(uptime_s)
    echo "" >$gadget/UDC
    report unbound "$at"
}

# speed NAME DEVICE: the line speed the device was left at.
speed() { report "$1.speed" "$(stty -F "$2" speed)"; }

# sample_latency FILE OUTPUT: reports FILE's value and then OUTPUT's size, over and over until
# killed. A value read before a size belongs to a moment when the output was at most that long.
sample_latency() {
    while :; do
        read -r value <"$1"
        report latency.sample "$value $(stat -c %s "$2" 2>/dev/null || echo 0)"
        sleep 0.05
    done
}

. /case.sh
report done "$(uptime_s)"
poweroff -f
