#!/usr/bin/env bash
# Fuzzes sax, Miner.mine, PatternMiner.mine and their input conversion
# (tests/fuzz/fuzz_calls.py, on atheris) for SECONDS (default 60): first
# coverage-guided on the installed module, then every input of the corpus
# it grew once more on a build of the module with AddressSanitizer and
# UndefinedBehaviorSanitizer. Inputs that fail are written to
# build/fuzz-artifacts/. Uses the .venv that scripts/test.sh makes.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

SECONDS_TOTAL="${1:-60}"
PY="$VENV/bin/python"
CORPUS="$ROOT/build/fuzz-corpus"
ARTIFACTS="$ROOT/build/fuzz-artifacts/"
ASAN_BUILD="$ROOT/build/fuzz-asan"
mkdir -p "$CORPUS" "$ARTIFACTS"
"$PY" "$ROOT/tests/fuzz/make_corpus.py" "$CORPUS"

# The guided run: most of the time. Its Python coverage only steers it; the
# sanitizers run on the replay below.
guided=$((SECONDS_TOTAL * 3 / 4))
echo "== fuzz: guided, ${guided} s"
if ! "$PY" "$ROOT/tests/fuzz/fuzz_calls.py" -max_total_time="$guided" -rss_limit_mb=4096 -timeout=30 \
    -artifact_prefix="$ARTIFACTS" -print_final_stats=1 "$CORPUS" >"$ROOT/build/fuzz-guided.log" 2>&1; then
    grep -v "^INFO: Instrumenting" "$ROOT/build/fuzz-guided.log" | tail -40
    echo "== fuzz: the guided run failed; inputs in $ARTIFACTS"
    exit 1
fi
grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss_mb)" "$ROOT/build/fuzz-guided.log" || true

echo "== fuzz: the corpus ($(ls "$CORPUS" | wc -l) inputs) under ASan + UBSan"
if ! { "$VENV/bin/cmake" -S "$ROOT" -B "$ASAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_SANITIZE=ON \
        -DPython_EXECUTABLE="$PY" -Dpybind11_DIR="$("$PY" -c 'import pybind11; print(pybind11.get_cmake_dir())')" &&
       "$VENV/bin/cmake" --build "$ASAN_BUILD" --target _qor_cpp; } >"$ASAN_BUILD.log" 2>&1; then
    cat "$ASAN_BUILD.log"
    echo "== fuzz: the sanitizer build failed"
    exit 1
fi
runtime="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
if ! ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LD_PRELOAD="$runtime" PYTHONPATH="$ASAN_BUILD" \
    "$PY" "$ROOT/tests/fuzz/fuzz_calls.py" -runs=0 -rss_limit_mb=0 -timeout=60 -artifact_prefix="$ARTIFACTS" \
    "$CORPUS" >"$ROOT/build/fuzz-replay.log" 2>&1; then
    grep -v "^INFO: Instrumenting" "$ROOT/build/fuzz-replay.log" | tail -40
    echo "== fuzz: the replay under the sanitizers failed"
    exit 1
fi
grep -E "^(INFO: .*INITED|#[0-9]+ +INITED|Done)" "$ROOT/build/fuzz-replay.log" | tail -2 || true
echo "== fuzz: no failure"
