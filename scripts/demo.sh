#!/usr/bin/env bash
# The main job: builds the release programs, packs the sample product into
# build/demo/setup.exe, and runs that installer under Wine in this terminal.
# Answer its questions as a user would (a Japanese folder name typed here in
# UTF-8 reaches it in Shift_JIS); without a terminal it answers with the
# defaults ("\grelm", then "y"). Then it shows what was installed, wherever
# that was.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
# The programs as users run them: the release build, whose mkinstaller packs
# the Windows stub and extractor that the same build makes beside it.
cmake --preset release >/dev/null
cmake --build --preset release --target mkinstaller windows_programs
cmake -S demo -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DMKINSTALLER="$root/build/release/mkinstaller" >/dev/null
cmake --build build/demo
build/release/mkinstaller --check build/demo/setup.exe

# A Wine prefix of the demo's own; C:\demo is where the installer starts,
# so the default "\grelm" is C:\grelm inside that prefix.
# Wine runs in the Japanese locale (code page 932); only Wine's processes
# get it: this shell started before install-deps.sh may have made the
# locale, and would warn that it cannot switch to it.
export WINEPREFIX=$root/build/demo/wineprefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
ja=(env LC_ALL=ja_JP.UTF-8)
"${ja[@]}" tests/e2e/wine-prefix.sh start "$WINEPREFIX"
trap '"${ja[@]}" "$root"/tests/e2e/wine-prefix.sh stop "$WINEPREFIX"' EXIT
mkdir -p "$WINEPREFIX/drive_c/demo"
cp build/demo/setup.exe "$WINEPREFIX/drive_c/demo/"
cd "$WINEPREFIX/drive_c/demo"

touch "$root/build/demo/started"
echo
echo "=== setup.exe (what you type goes in as Shift_JIS; what it writes is shown through a converter) ==="
if [ -t 0 ]; then
    "$root/scripts/sjis-type.py" | "${ja[@]}" wine setup.exe | "$root/scripts/sjis-view.py"
else
    printf '\r\ny\r\n' | "${ja[@]}" wine setup.exe | "$root/scripts/sjis-view.py"
fi

# Wherever the answer put it: every grelm.exe written during this run (the
# extractor gives files their stored times, so it is the change time that
# tells).
found=0
while IFS= read -r -d '' exe; do
    found=1
    dir=$(dirname "$exe")
    shown=${dir#"$WINEPREFIX"/drive_c/}
    echo
    echo "=== installed in C:\\${shown//\//\\} ==="
    (cd "$dir" && find . -type f -cnewer "$root/build/demo/started" | sort)
    echo
    echo "=== the installed product, run from there ==="
    (cd "$dir" && "${ja[@]}" wine grelm.exe | "$root/scripts/sjis-view.py")
done < <(find "$WINEPREFIX/drive_c" -name grelm.exe -cnewer "$root/build/demo/started" -print0)
if [ "$found" = 0 ]; then
    echo
    echo "=== nothing was installed ==="
fi
