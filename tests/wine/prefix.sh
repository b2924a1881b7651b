#!/usr/bin/env bash
# start PREFIX: a fresh wine prefix with its server running, for the end-to-end cases to share.
# stop PREFIX: ends that server and every wine process of the prefix, and fails if one is left.
# The server is started here, detached from every pipe, because a server started by the first
# case would keep that case's output pipe open and take the emulator's terminal as its own.
set -euo pipefail
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The processes started with this prefix in their environment (none of this script's commands
# carry it, or they would find themselves).
prefix_processes() {
  local environ
  for environ in /proc/[0-9]*/environ; do
    env -u WINEPREFIX grep -qzx "WINEPREFIX=$WINEPREFIX" "$environ" 2>/dev/null && echo "${environ//[^0-9]/}"
  done
  return 0
}
case "$action" in
  start)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    timeout 300 wineboot -i </dev/null >/dev/null 2>&1
    wineserver -k </dev/null >/dev/null 2>&1 || true
    setsid wineserver -p </dev/null >/dev/null 2>&1
    # The first program of a prefix starts wine's own services, whose start-up takes over COM
    # ports linked meanwhile (seen as XON bytes vanishing from the line): let that happen now.
    timeout 120 setsid -w wine cmd /c exit </dev/null >/dev/null 2>&1
    # Links from earlier runs would point at terminals that no longer exist.
    find "$WINEPREFIX/dosdevices" -maxdepth 1 -name 'com*' -delete
    echo "wine prefix ready: $WINEPREFIX"
    ;;
  stop)
    # A service of the prefix (winedevice.exe) caught starting up as the server ends starts a
    # server of its own and lives on: such processes are found by the prefix in their
    # environment and ended too, and the server once more.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    timeout 10 wineserver -w </dev/null >/dev/null 2>&1 || true
    left=$(prefix_processes)
    if [ -n "$left" ]; then
      kill -KILL $left 2>/dev/null || true
      wineserver -k </dev/null >/dev/null 2>&1 || true
      sleep 0.5
    fi
    left=$(prefix_processes)
    if [ -n "$left" ]; then
      ps -o pid,args -p "$(echo $left | tr ' ' ,)" >&2 || true
      echo "wine processes of $WINEPREFIX outlived the stop" >&2
      exit 1
    fi
    echo "wine server and every process of the prefix stopped"
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
