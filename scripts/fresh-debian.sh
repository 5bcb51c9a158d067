#!/usr/bin/env bash
# Shows that a fresh Debian 12 goes from a clone to a passing test run with
# the README's commands alone, as CI's machine, which keeps what earlier runs
# installed, cannot: a minimal Debian 12 (debootstrap's minbase, plus git)
# in a scratch folder, this repository's committed main cloned into it, and
# .ci/run run there as CI runs it. Uses the mirror this machine's apt uses.
# Needs root, some 6 GB of disk and most of an hour.
#
#   scripts/fresh-debian.sh [FOLDER]     # default: /var/tmp/grelm-fresh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-/var/tmp/grelm-fresh}

if [ "$(id -u)" != 0 ]; then
    echo "fresh-debian: run as root (debootstrap and chroot need it)" >&2
    exit 1
fi
if ! command -v debootstrap >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
fi

# The first Debian mirror apt is set up with, in either format.
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.sources; do
    if [ -f "$f" ]; then sources+=("$f"); fi
done
mirror=$(awk '$1 == "URIs:" && $2 !~ /-security/ { print $2; exit }
              $1 == "deb" && $0 ~ / bookworm / { for (i = 2; i <= NF; i++)
                  if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' "${sources[@]}" </dev/null)
if [ -z "$mirror" ]; then
    echo "fresh-debian: no Debian mirror found in apt's sources" >&2
    exit 1
fi

mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -l "${mounted[$i]}" 2>/dev/null || true
    done
}
trap cleanup EXIT
bind() {
    mkdir -p "$root$1"
    mount --bind "$1" "$root$1"
    mounted+=("$root$1")
}

rm -rf "$root"
mkdir -p "$root"
debootstrap --variant=minbase --include=git,ca-certificates bookworm "$root" "$mirror"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
bind /sys
bind /dev
bind /dev/pts
mount -t tmpfs tmpfs "$root/dev/shm" && mounted+=("$root/dev/shm")

# Where a root user clones: in root's home, which no other user may enter
# (mode 700), with shared/ beside the clone, read-only, as CI lays it out.
clone=root/project
git clone -q --branch main "$here" "$root/$clone"
if [ -d "$here/../shared" ]; then
    cp -r "$here/../shared" "$root/root/shared"
    chmod -R a-w "$root/root/shared"
fi
chmod 700 "$root/root"
echo "fresh-debian: running .ci/run on $(git -C "$root/$clone" rev-parse --short HEAD) in /$clone"
start=$(date +%s)
status=0
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    CI=true bash -c "cd /$clone && bash .ci/run" </dev/null || status=$?
echo "fresh-debian: .ci/run exited $status after $(( $(date +%s) - start )) s"
exit $status
