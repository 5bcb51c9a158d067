#!/usr/bin/env bash
# wine-prefix.sh start|stop PREFIX
# Gives a test run a Wine prefix of its own: a fresh folder, a persistent
# server, and a booted prefix, so each test pays only for its own programs.
# Everything runs detached from our stdio: a Wine service that inherited the
# test runner's pipes would keep it waiting for ever.
set -eu
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=ja_JP.UTF-8

case $action in
start)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1
    wine cmd /c exit </dev/null >/dev/null 2>&1
    test -d "$WINEPREFIX/drive_c/windows" || { echo "wine prefix did not boot" >&2; exit 1; }
    ;;
stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: wine-prefix.sh start|stop PREFIX" >&2
    exit 2
    ;;
esac
