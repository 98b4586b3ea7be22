#!/usr/bin/env bash
# Runs every test: the Python suite, the C++ tests, and the C++ tests again
# under AddressSanitizer and UndefinedBehaviorSanitizer.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
setup_venv

CMAKE="$VENV/bin/cmake"
export PATH="$VENV/bin:$PATH"
status=0

echo "== pytest"
"$VENV/bin/python" -m pytest -q "$ROOT/tests" || status=1

run_cpp_tests() {  # name, extra cmake arguments...
    local dir="$ROOT/build/$1" log="$ROOT/build/$1.log"; shift
    echo "== C++ tests ($(basename "$dir"))"
    mkdir -p "$ROOT/build"
    if ! { "$CMAKE" -S "$ROOT" -B "$dir" -G Ninja -DQOR_PYTHON=OFF -DQOR_TESTS=ON "$@" &&
           "$CMAKE" --build "$dir"; } >"$log" 2>&1; then
        cat "$log"
        echo "== C++ build failed ($(basename "$dir"))"
        return 1
    fi
    (cd "$dir" && "$VENV/bin/ctest" --output-on-failure)
}
run_cpp_tests cpp-tests -DCMAKE_BUILD_TYPE=Release || status=1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_cpp_tests cpp-asan -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON || status=1

if [ "$status" -ne 0 ]; then echo "== FAILED"; else echo "== all tests passed"; fi
exit "$status"
