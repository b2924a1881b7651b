#!/usr/bin/env bash
# start PREFIX: a fresh wine prefix with its server running, for the end-to-end cases to share.
# stop PREFIX: ends that server.
# The server is started here, detached from every pipe, because a server started by the first
# case would keep that case's output pipe open and take the emulator's terminal as its own.
set -euo pipefail
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
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
    wineserver -k </dev/null >/dev/null 2>&1 || true
    echo "wine server stopped"
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
