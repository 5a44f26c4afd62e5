#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds with clang, AddressSanitizer and UndefinedBehaviorSanitizer into
# ./build-sanitize (or $SANITIZE_BUILD_DIR), runs the unit tests there, and runs
# every fuzz target for $FUZZ_SECONDS (20) seconds on its committed corpus and
# the real test data. The committed corpora are not changed; what a run finds is
# left in the build directory. Exits non-zero on any failure or finding.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SANITIZE_BUILD_DIR:-$top/build-sanitize}
seconds=${FUZZ_SECONDS:-20}
CC=clang CXX=clang++ cmake -S "$top" -B "$build" $("$top/tools/qt-option.sh") -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DKIV_FUZZING=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$top/tools/lsan.supp
(cd "$build" && ctest --output-on-failure -L unit)

# Each fuzzer with its corpus (copied: libFuzzer adds what it finds to the first
# directory) and the real data it parses.
fuzz() {
    name=$1
    shift
    work="$build/fuzz-corpus/$name"
    rm -rf "$work"
    mkdir -p "$work"
    cp -r "$top/fuzz/corpus/$name/." "$work/"
    echo "== $name: ${seconds} s"
    "$build/bin/${name}fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=300000 \
        -artifact_prefix="$build/fuzz-corpus/$name-" -print_final_stats=1 "$work" "$@" 2>"$build/fuzz-corpus/$name.log" \
        || { tail -50 "$build/fuzz-corpus/$name.log"; exit 1; }
    grep -E "stat::number_of_executed_units|stat::new_units_added" "$build/fuzz-corpus/$name.log" | tr '\n' ' '
    echo
}
fuzz xorglog "$top/tests/data/xorg-logs"
fuzz modinfo
fuzz modulefile
fuzz appstream
fuzz modulename
fuzz modalias
fuzz controlfield "$top/tests/data/packages-files"
fuzz modprobe
fuzz request
fuzz signature
