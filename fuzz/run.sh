#!/usr/bin/env bash
# fuzz/run.sh [SECONDS] [TARGET...]
# Builds the libFuzzer targets twice (64-bit, and 32-bit where a long is 32
# bits, as on Windows), replays every saved regression input, then fuzzes
# each target for SECONDS (20 by default), two at a time, from the seeds in
# fuzz/corpus. Prints executions and findings per target; exits 1 if any
# target found something (the inputs are kept under build/fuzz/findings, or
# FUZZ_OUT/findings).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(header decode_lh1 decode_lh2 decode_lh3 decode_lh4 decode_lh5 decode_lh6 decode_lh7 decode_lhx decode_lz5 decode_lzs decode_pm1 decode_pm2 extract pe names roundtrip xz)
out=${FUZZ_OUT:-$root/build/fuzz}
mkdir -p "$out/findings" "$out/logs"

for arch in 64 32; do
    flags=()
    [ "$arch" = 32 ] && flags=(-DCMAKE_CXX_FLAGS=-m32 -DCMAKE_EXE_LINKER_FLAGS=-m32)
    # Quiet, but a failed build says why: ninja prints its errors on stdout.
    cmake -S fuzz -B "$out/$arch" -G Ninja -DCMAKE_CXX_COMPILER=clang++ "${flags[@]}" >/dev/null
    if ! cmake --build "$out/$arch" >"$out/logs/build-$arch.log" 2>&1; then
        cat "$out/logs/build-$arch.log" >&2
        echo "fuzz: the $arch-bit build failed" >&2
        exit 1
    fi
done

# One run: replay the regressions, then fuzz from a scratch copy of the seeds
# (the tree keeps its small corpus; what the run learns stays in build/).
fuzz_one() {
    local arch=$1 target=$2 seconds=$3 root=$4 out=$5
    local bin=$out/$arch/fuzz_$target log=$out/logs/$arch-$target.log
    local corpus=$out/corpus/$arch-$target
    mkdir -p "$corpus"
    cp -n "$root"/fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
    local regressions=("$root"/fuzz/regressions/"$target"/*)
    local status=0
    if [ -e "${regressions[0]}" ]; then
        "$bin" -timeout=10 "${regressions[@]}" >"$log.replay" 2>&1 || status=1
    fi
    (cd "$out" && "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -dict="$root/fuzz/lzh.dict" -artifact_prefix="$out/findings/$arch-$target-" \
        -print_final_stats=1 "$corpus" >"$log" 2>&1) || status=1
    local execs findings
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    findings=$(ls "$out/findings" | grep -c "^$arch-$target-" || true)
    [ "$status" = 0 ] || [ "$findings" -gt 0 ] || findings="1 (see $log)"
    printf '%-12s %s-bit  %12s executions  %s findings\n' "$target" "$arch" "${execs:-0}" "$findings"
    [ "$status" = 0 ]
}
export -f fuzz_one

rm -f "$out"/findings/*
status=0
for t in "${targets[@]}"; do
    for arch in 64 32; do
        echo "$arch $t"
    done
done | xargs -P 2 -L 1 bash -c 'fuzz_one "$0" "$1" '"$seconds $root $out" | sort > "$out/summary.txt" || status=1
cat "$out/summary.txt"
total=$(awk '{s += $3} END {print s + 0}' "$out/summary.txt")
runs=$(wc -l < "$out/summary.txt")
failed=$(grep -cv ' 0 findings$' "$out/summary.txt" || true)
echo "total: $total executions"
echo "fuzz: $((runs - failed)) passed, $failed failed"
if [ "$status" != 0 ] || [ "$failed" != 0 ]; then
    echo "fuzz: findings; inputs in $out/findings, logs in $out/logs" >&2
    exit 1
fi
