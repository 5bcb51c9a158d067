#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, as root. Packages that
# are already present are skipped, so running it again costs a few seconds.
set -euo pipefail

need=(cmake ninja-build g++ libgtest-dev g++-mingw-w64-i686 wine wine32:i386
      locales lhasa jlha-utils python3 time file clang libclang-rt-14-dev g++-multilib 7zip
      osslsigncode openssl libssl-dev dpkg-dev groff-base gettext tmux icoutils python3-pefile
      libxml2-utils liblzma-dev liblzma-dev:i386 strace)

if [ "$(id -u)" != 0 ]; then
    echo "install-deps: run as root (apt-get needs it)" >&2
    exit 1
fi

missing=()
for p in "${need[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' \
        || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    # wine32 lives in the i386 architecture, which a fresh machine lacks.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    # A mirror in the middle of a sync serves an index of the wrong size and
    # update fails; the other indexes still load, so try again, then go on
    # with what loaded and let the install say what it cannot find.
    for try in 1 2 3; do
        apt-get update -qq && break
        echo "install-deps: apt-get update failed (try $try of 3)" >&2
        sleep $((try * 10))
    done
    # Without the security suite's i386 index, its newer amd64 libraries have
    # no i386 twin of the same version, which wine32's Multi-Arch: same
    # libraries need; the release's own suite has both, so fall back to it.
    if ! apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
        codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
        echo "install-deps: retrying from $codename alone, where both architectures agree" >&2
        apt-get install -y -qq --no-install-recommends -t "$codename" "${missing[@]}"
    fi
fi

# Wine maps ja_JP.UTF-8 to code page 932, which Shift_JIS paths need, and
# en_US.UTF-8 to 1252, where the Windows programs must work as well; a
# terminal's text is only UTF-8 in a locale that exists.
for loc in ja_JP en_US; do
    if ! locale -a 2>/dev/null | grep -qi "^$loc\.utf-\?8\$"; then
        sed -i "s/^# *\($loc.UTF-8 UTF-8\)/\1/" /etc/locale.gen
        grep -q "^$loc.UTF-8 UTF-8" /etc/locale.gen || echo "$loc.UTF-8 UTF-8" >> /etc/locale.gen
        regenerate=1
    fi
done
if [ -n "${regenerate:-}" ]; then
    locale-gen >/dev/null
fi

# liblzma for mkinstaller.exe, the solid method's encoder: Debian's own
# source of it (xz-utils, the version the native tools link), which the
# Windows build compiles for MinGW (cmake/liblzma_mingw.cmake). apt-get
# source needs a deb-src entry for the same suite.
deps="$(cd "$(dirname "$0")/.." && pwd)/build/deps"
if [ ! -f "$deps/xz-utils/configure" ]; then
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    if ! grep -rqs "^Types: deb-src" /etc/apt/sources.list.d/ &&
       ! grep -qs "^deb-src .* $codename " /etc/apt/sources.list; then
        # The mirror apt already uses for the release, in either format.
        lists=()
        for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.sources; do
            if [ -f "$f" ]; then lists+=("$f"); fi
        done
        mirror=$(awk '$1 == "URIs:" && $2 !~ /-security/ { print $2; exit }
                      $1 == "deb" && $0 !~ /-security/ { for (i = 2; i <= NF; i++)
                          if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' "${lists[@]}" </dev/null)
        cat > /etc/apt/sources.list.d/grelm-deb-src.sources <<SOURCES
Types: deb-src
URIs: ${mirror:-http://deb.debian.org/debian}
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    fi
    # An index another suite fails to load does not matter here: whether
    # the source comes is what counts.
    apt-get update -qq || true
    rm -rf "$deps/unpack" && mkdir -p "$deps/unpack"
    (cd "$deps/unpack" && apt-get source -qq xz-utils >/dev/null 2>&1)
    source_dir=$(find "$deps/unpack" -mindepth 1 -maxdepth 1 -type d -name 'xz-utils-*' | head -n 1)
    if [ -z "$source_dir" ]; then
        echo "install-deps: apt-get source xz-utils failed" >&2
        exit 1
    fi
    rm -rf "$deps/xz-utils" && mv "$source_dir" "$deps/xz-utils" && rm -rf "$deps/unpack"
fi
