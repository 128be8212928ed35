#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own build directory and runs each of them.
#
#   tools/fuzz.sh [seconds per target] [target...]
#
# Every target starts from its seeds in fuzz/corpus/<target>/ and from what earlier runs found
# (kept in <build>/corpus/<target>/, outside the repository). Inputs that once broke a target
# are replayed first from fuzz/regressions/<target>/. A finding leaves its input in
# <build>/findings/ and makes the script fail. 0 seconds only builds.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLET_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-20}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_nativemessagereader fuzz_nativemessages fuzz_quilletconfig fuzz_httpresponse
             fuzz_version fuzz_processinfo fuzz_sockdiag fuzz_websocketframereader)
fi

# The clang of this Debian release, as tools/setup.sh installed it.
clang=$("$root/tools/debian-packages.sh" | sed -n 's/^clang-\([0-9]*\)$/clang++-\1/p')
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$clang" -DCMAKE_C_COMPILER="${clang/++/}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g" -DQUILLET_FUZZ=ON -DQUILLET_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}"
if [ "$seconds" -eq 0 ]; then
    exit 0
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen
mkdir -p "$build/findings"
status=0
for target in "${targets[@]}"; do
    exe=$build/bin/$target
    regressions=("$root/fuzz/regressions/$target"/*)
    if [ -e "${regressions[0]}" ]; then
        "$exe" "${regressions[@]}" >"$build/$target-regressions.log" 2>&1 || {
            echo "$target: a kept regression input fails again, see $build/$target-regressions.log"
            status=1
        }
    fi
    mkdir -p "$build/corpus/$target"
    if "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$target-" \
        "$build/corpus/$target" "$root/fuzz/corpus/$target" >"$build/$target.log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$target.log")
        echo "$target: $runs executions in ${seconds}s, nothing found"
    else
        echo "$target: FINDING, see $build/$target.log and $build/findings/"
        status=1
    fi
done
exit $status
