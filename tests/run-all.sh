#!/usr/bin/env bash
# Runs QBupdate's whole test suite on a fresh machine, installing what it needs.
# Must run as root: the end-to-end tests build their own network namespaces.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

need_packages=(cmake g++ make libgtest-dev googletest iproute2 python3)
# libcrypto for the image's SHA-256.
need_packages+=(libssl-dev)
# The package test: cpack DEB with dependencies, setcap/getcap, the manual page, a test user.
need_packages+=(dpkg-dev libcap2-bin man-db groff-base passwd util-linux)
# Real TFTP clients, the lossy path's nftables, and the valgrind runs.
need_packages+=(tftp-hpa atftp busybox curl nftables valgrind)
# The fuzz targets: clang with its libFuzzer and sanitizer runtimes.
need_packages+=(clang libclang-rt-14-dev)
# The benchmark's peer server (bench/run_bench.py).
need_packages+=(tftpd-hpa)
# U-Boot on emulated boards, the real boot loader of the uboot tests and the benchmark.
need_packages+=(u-boot-qemu qemu-system-arm qemu-system-x86)
# The Windows build (MinGW-w64, posix threads for GoogleTest), its installer (wixl, msitools)
# and Wine to run both.
need_packages+=(g++-mingw-w64-x86-64-posix wixl msitools wine wine64)
missing=()
for p in "${need_packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# Its package starts a TFTP daemon in this machine's own namespace; the benchmark runs its own.
if dpkg -s tftpd-hpa >/dev/null 2>&1; then
    service tftpd-hpa stop >/dev/null 2>&1 || true
fi

total_passed=0
total_failed=0
# Runs CTest in a build folder and adds its counts to the totals.
run_ctest() {
    local dir=$1; shift
    local log
    log=$(mktemp)
    ctest --test-dir "$dir" --output-on-failure "$@" 2>&1 | tee "$log"
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        echo "== no CTest summary from $dir"
        total_failed=$((total_failed + 1))
    else
        local failed all
        failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
        all=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
        total_passed=$((total_passed + all - failed))
        total_failed=$((total_failed + failed))
    fi
    rm -f "$log"
}

build() {
    local dir=$1; shift
    echo "== building $dir"
    cmake -S "$root" -B "$dir" "$@" >/dev/null && cmake --build "$dir" -j "$jobs" >/dev/null
}

# --- Linux build: unit, namespace and end-to-end tests ---
# Each lab is a namespace of its own, and most tests wait on the clock more than they use a CPU,
# so three run at once; valgrind and the emulated boards never two at once (RESOURCE_LOCK cpu).
# The benchmark's smoke runs are left to `ctest -L bench`.
if build build/ci-linux -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
    run_ctest build/ci-linux -LE bench -j 3
else
    echo "== the Linux build failed"; total_failed=$((total_failed + 1))
fi

# --- stage: sanitizers (ASan and UBSan) ---
# What a sanitizer can catch: the engine (unit), the front end (front), the socket layer and one
# whole update per kind of client, the virtual device and the real TFTP clients (sanitized).
# Leaks count as failures (LeakSanitizer). The real-time cases ran in the Linux stage.
if build build/ci-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_SANITIZE=ON; then
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
        run_ctest build/ci-asan -L "unit|front|sanitized" -j 2
else
    echo "== the sanitizer build failed"; total_failed=$((total_failed + 1))
fi

# --- stage: fuzzing (short bounded libFuzzer runs) ---
# The handlers and the loop under libFuzzer with ASan and UBSan, from the seeds in
# tests/fuzz/corpus, each for a fixed time with a fixed seed, side by side (25 s in all).
if cmake -S "$root" -B build/ci-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DQB_FUZZ=ON -DQB_FUZZ_SECONDS=25 >/dev/null &&
    cmake --build build/ci-fuzz -j "$jobs" --target fuzz_handlers fuzz_loop >/dev/null; then
    run_ctest build/ci-fuzz -L fuzz -V -j 2 # -V shows each run's execution count
else
    echo "== the fuzzing build failed"; total_failed=$((total_failed + 1))
fi

# --- stage: Windows (MinGW-w64 build, tests under Wine) ---
# A fresh Wine prefix for the run. Its server and helpers start before CTest, or they would hold
# CTest's output pipe open; the namespace tests copy the prefix and run servers of their own.
if build build/ci-windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"; then
    wine_home=$(mktemp -d /tmp/qb-win-ci-XXXXXX)
    wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
    export WINEPREFIX=$wine_home/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if wineboot -i </dev/null >/dev/null 2>&1 && "$wineserver" -k && "$wineserver" -w &&
        "$wineserver" -p && wine cmd /c exit </dev/null >/dev/null 2>&1; then
        run_ctest build/ci-windows -j 2
    else
        echo "== Wine could not set up a prefix in $WINEPREFIX"; total_failed=$((total_failed + 1))
    fi
    "$wineserver" -k 2>/dev/null; "$wineserver" -w
    rm -rf "$wine_home"
    unset WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
else
    echo "== the Windows build failed"; total_failed=$((total_failed + 1))
fi

echo
echo "total: $total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
