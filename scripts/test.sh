#!/usr/bin/env bash
# Runs every test: the style checks (clang-format, ruff), the Python suite,
# the C++ tests, and the C++ tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
setup_venv

CMAKE="$VENV/bin/cmake"
export PATH="$VENV/bin:$PATH"
status=0

# The style of the sources: C++ by .clang-format, Python by the ruff
# settings in pyproject.toml.
PYTHON_PATHS=(qor tests bench scripts)
check_style() {
    local ok=0
    install_style_tools || return 1
    echo "== style: clang-format"
    (cd "$ROOT" && find src tests/cpp bench \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z |
        xargs -0 "$VENV/bin/clang-format" --dry-run --Werror) || ok=1
    echo "== style: ruff"
    (cd "$ROOT" && "$VENV/bin/ruff" check --quiet "${PYTHON_PATHS[@]}" &&
        "$VENV/bin/ruff" format --check --quiet "${PYTHON_PATHS[@]}") || ok=1
    return "$ok"
}
check_style || { echo "== style check failed"; status=1; }

echo "== pytest"
"$VENV/bin/python" -P -m pytest -q "$ROOT/tests" || status=1

# The C++ tests run on doctest (a header); as root on Debian (CI), it is
# installed from Debian's doctest-dev where it is missing.
ensure_doctest() {
    local header
    for header in /usr/include/doctest/doctest.h /usr/local/include/doctest/doctest.h; do
        [ -f "$header" ] && return 0
    done
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        echo "== installing doctest-dev"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doctest-dev >/dev/null && return 0
    fi
    echo "error: the C++ tests need doctest/doctest.h (Debian: apt-get install doctest-dev)" >&2
    return 1
}

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
if ensure_doctest; then
    run_cpp_tests cpp-tests -DCMAKE_BUILD_TYPE=Release || status=1
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run_cpp_tests cpp-asan -DCMAKE_BUILD_TYPE=Debug -DQOR_SANITIZE=ON || status=1
else
    status=1
fi

if [ "$status" -ne 0 ]; then echo "== FAILED"; else echo "== all tests passed"; fi
exit "$status"
