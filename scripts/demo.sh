#!/usr/bin/env bash
# The main job: builds everything, packs the sample product into
# build/demo/setup.exe, and runs that installer under Wine in this terminal.
# Answer its questions as a user would; without a terminal it answers with
# the defaults ("\grelm", then "y").
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
# The programs as users run them: the release build's mkinstaller, and the
# Windows stub and extractor.
cmake --preset release >/dev/null
cmake --build --preset release --target mkinstaller
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target stub sfx
cmake -S demo -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DMKINSTALLER="$root/build/release/mkinstaller" \
    -DINSTALLER_STUB="$root/build/win32/stub.exe" \
    -DINSTALLER_SFX="$root/build/win32/sfx.exe" >/dev/null
cmake --build build/demo
build/release/mkinstaller --stub build/win32/stub.exe --sfx build/win32/sfx.exe \
    --check build/demo/setup.exe

# A Wine prefix of the demo's own; C:\demo is where the installer starts,
# so the default "\grelm" is C:\grelm inside that prefix.
export WINEPREFIX=$root/build/demo/wineprefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=ja_JP.UTF-8
tests/e2e/wine-prefix.sh start "$WINEPREFIX"
trap '"$root"/tests/e2e/wine-prefix.sh stop "$WINEPREFIX"' EXIT
mkdir -p "$WINEPREFIX/drive_c/demo"
cp build/demo/setup.exe "$WINEPREFIX/drive_c/demo/"
cd "$WINEPREFIX/drive_c/demo"

echo
echo "=== setup.exe (Shift_JIS output shown through a converter) ==="
if [ -t 0 ]; then
    wine setup.exe | "$root/scripts/sjis-view.py"
else
    printf '\r\ny\r\n' | wine setup.exe | "$root/scripts/sjis-view.py"
fi
echo
echo "=== installed files ==="
for dir in "$WINEPREFIX"/drive_c/grelm "$WINEPREFIX"/drive_c/demo/*/; do
    [ -e "$dir/grelm.exe" ] || continue
    (cd "$dir" && find . -type f | sort)
    echo
    echo "=== the installed product, run from there ==="
    (cd "$dir" && wine grelm.exe | "$root/scripts/sjis-view.py")
done
