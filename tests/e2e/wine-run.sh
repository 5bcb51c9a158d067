#!/bin/sh
# Runs a Windows program under Wine in the test run's prefix (WINEPREFIX, set
# by the tests), with code page 932 as on a Japanese Windows.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=ja_JP.UTF-8
exec wine "$@"
