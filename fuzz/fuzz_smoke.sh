#!/usr/bin/env bash
# make fuzz-smoke: installs clang and its fuzzer runtime when missing, builds the fuzz targets
# in build-fuzz/, makes the seed corpora from the golden inputs, and runs each target for
# FUZZ_SECONDS (default 60). Any finding (crash, leak, timeout, sanitizer report, broken
# invariant) fails it; the reproducer is left in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${FUZZ_BUILD:-build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
JOBS=${JOBS:-2}
TARGETS=(fuzz_lexer fuzz_preprocessor fuzz_if)

runtime_present() {
    command -v clang++ >/dev/null 2>&1 || return 1
    local dir
    dir=$(clang++ -print-resource-dir 2>/dev/null) || return 1
    ls "$dir"/lib/linux/libclang_rt.fuzzer-x86_64.a "$dir"/lib/*/libclang_rt.fuzzer*.a \
        >/dev/null 2>&1
}

if ! runtime_present; then
    export DEBIAN_FRONTEND=noninteractive
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -y
    $sudo apt-get install -y --no-install-recommends clang libclang-rt-14-dev
    runtime_present || { echo "fuzz-smoke: libFuzzer runtime still missing" >&2; exit 1; }
fi

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DTFPP_FUZZ=ON
fi
cmake --build "$BUILD" -j "$JOBS" --target "${TARGETS[@]}"

rm -rf "$BUILD/seeds"
python3 fuzz/make_seeds.py "$BUILD/seeds"
mkdir -p "$BUILD/artifacts"
status=0
for target in "${TARGETS[@]}"; do
    corpus="$BUILD/corpus/$target"
    mkdir -p "$corpus"
    log="$BUILD/$target.log"
    echo "fuzz-smoke: $target for ${SECONDS_EACH}s (log $log)"
    if "$BUILD/fuzz/$target" -max_total_time="$SECONDS_EACH" -timeout=25 -rss_limit_mb=2048 \
        -close_fd_mask=3 -dict=fuzz/tfpp.dict -artifact_prefix="$BUILD/artifacts/$target-" \
        -print_final_stats=1 "$corpus" "$BUILD/seeds/$target" >"$log" 2>&1; then
        grep -a "DONE\|stat::number_of_executed_units\|stat::average_exec_per_sec" "$log" || true
    else
        status=1
        echo "fuzz-smoke: $target found a fault:" >&2
        tail -n 60 "$log" >&2
    fi
done
exit $status
