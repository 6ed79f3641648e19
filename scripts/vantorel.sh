#!/usr/bin/env bash
# Installs what is missing, builds, and then runs the program or the tests.
#   scripts/vantorel.sh run    build and start Vantorel
#   scripts/vantorel.sh test   build and run every test (the plain build end to end, TSan on the
#                              engine, ASan+UBSan, a short fuzz run when clang is present)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
jobs=$(nproc 2>/dev/null || echo 2)

# What building and running the program takes; the test command adds the rest.
run_packages=(
    build-essential cmake ninja-build pkg-config lld libseccomp-dev libcap2-bin
    qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins qt6-wayland libgl-dev
    prometheus-cpp-dev fonts-dejavu-core fonts-open-sans
)
test_packages=(
    libgtest-dev libgmock-dev libbenchmark-dev
    clang clang-format libclang-rt-14-dev
    xvfb xauth xdotool iproute2 fping
    weston dbus-daemon dbus-bin dunst tint2 tcpdump qt6-gtk-platformtheme
    prometheus curl jq dpkg-dev lintian appstream man-db
    nftables mtr-tiny locales
)

install_missing() { # <package>...
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# Common Qt headers are precompiled once per target; ccache, when installed, keeps what a
# previous run compiled (the precompiled headers included). Line tables are all the debug
# information a backtrace needs: full debug information would double the objects and the links.
# lld links the many test programs in a fraction of the default linker's time.
build_options=(-DVANTOREL_PCH=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
if command -v ld.lld >/dev/null; then
    for kind in EXE SHARED MODULE; do
        build_options+=("-DCMAKE_${kind}_LINKER_FLAGS=-fuse-ld=lld")
    done
fi
# The sanitizer builds: -O1, which the sanitizers are made for, compiles in two thirds of the time.
sanitizer_options=("-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
if command -v ccache >/dev/null; then
    build_options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}
fi

configure() { # <dir> [cmake options...]
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "${build_options[@]}" "$@" >/dev/null
}

configure_and_build() { # <dir> [cmake options...]
    configure "$@"
    cmake --build "$1" -j "$jobs"
}

run_program() {
    # Only the program and its ICMP helper: the tests and benchmarks are built by the test
    # command.
    configure build -DVANTOREL_BUILD_TESTS=OFF -DVANTOREL_BUILD_BENCH=OFF
    cmake --build build -j "$jobs" --target vantorel vantorel-icmp
    exec ./build/bin/vantorel
}

run_tests() {
    # Every C++ file follows the repository's .clang-format.
    if git rev-parse --git-dir >/dev/null 2>&1; then
        git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
    fi

    # The plain build first: the program as it ships, started end to end (and packed), and the
    # benchmarks built. The lossy-link case spends two minutes waiting for the alert rules'
    # windows to pass, with next to nothing to do: it runs beside the sanitizer builds.
    configure build -DVANTOREL_BUILD_TESTS=ON -DVANTOREL_BUILD_BENCH=ON
    cmake --build build -j "$jobs" --target vantorel_e2e_all vantorel_benchmarks
    local slow_case='^vantorel_e2e\.alerts-loss$' slow_log=build/e2e-alerts-loss.log
    setsid ctest --test-dir build --output-on-failure -R "$slow_case" >"$slow_log" 2>&1 &
    slow_pid=$!
    # A step that fails ends the run: the case beside it ends too (it cleans up on SIGTERM).
    trap 'kill -TERM -- "-$slow_pid" 2>/dev/null || true' EXIT
    ctest --test-dir build -j "$jobs" --output-on-failure -R '^vantorel_e2e\.' \
        -E "^vantorel_e2e\\.wayland\$|$slow_case"

    # Thread sanitizer over the engine (the layer with threads of its own).
    configure_and_build build-tsan "${sanitizer_options[@]}" -DVANTOREL_SANITIZE=thread \
        -DVANTOREL_ENGINE_ONLY=ON -DVANTOREL_BUILD_BENCH=OFF
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        ctest --test-dir build-tsan -j "$jobs" --output-on-failure

    # Address and undefined-behaviour sanitizers over every test suite. The suites run only
    # here: the plain build differs from this one in nothing they test.
    configure_and_build build-asan "${sanitizer_options[@]}" -DVANTOREL_SANITIZE=address,undefined \
        -DVANTOREL_BUILD_BENCH=OFF
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1" \
        LSAN_OPTIONS="suppressions=$here/tests/lsan.supp" \
        ctest --test-dir build-asan -j "$jobs" --output-on-failure -E '^vantorel_e2e\.'

    # Fuzz targets, a short run each, when clang is there.
    if command -v clang++ >/dev/null && ls fuzz/*.cpp >/dev/null 2>&1; then
        configure build-fuzz "${sanitizer_options[@]}" -DCMAKE_CXX_COMPILER=clang++ \
            -DVANTOREL_BUILD_FUZZ=ON -DVANTOREL_BUILD_TESTS=OFF -DVANTOREL_BUILD_BENCH=OFF
        cmake --build build-fuzz -j "$jobs" --target vantorel_fuzzers
        # All at once: each runs for the same time, one core or not.
        local fuzzers=() pids=() failed=0
        for f in build-fuzz/fuzz/*; do
            [ -x "$f" ] && [ -f "$f" ] || continue
            echo "Fuzzing $(basename "$f") for ${VANTOREL_FUZZ_SECONDS:-20} s"
            "$f" -max_total_time="${VANTOREL_FUZZ_SECONDS:-20}" -print_final_stats=0 \
                2>"build-fuzz/$(basename "$f").log" &
            fuzzers+=("$f")
            pids+=($!)
        done
        for i in "${!pids[@]}"; do
            wait "${pids[$i]}" && continue
            tail -n 40 "build-fuzz/$(basename "${fuzzers[$i]}").log"
            failed=1
        done
        ((failed == 0)) || exit 1
    fi

    # The lossy-link case's outcome, then the Wayland case alone: the nested compositor's pointer
    # sometimes drifts from the X pointer for a whole run, so the drags land beside the window,
    # and that case gets up to three runs.
    local slow_status=0
    wait "$slow_pid" || slow_status=$?
    trap - EXIT
    cat "$slow_log"
    ((slow_status == 0)) || exit "$slow_status"
    ctest --test-dir build --output-on-failure -R '^vantorel_e2e\.wayland$' --repeat until-pass:3
}

case "${1:-}" in
run)
    install_missing "${run_packages[@]}"
    run_program
    ;;
test)
    install_missing "${run_packages[@]}" "${test_packages[@]}"
    run_tests
    ;;
*)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
