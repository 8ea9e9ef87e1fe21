#!/usr/bin/env bash
# The sanitized run: the core, its C++ tests and the extension built by clang with AddressSanitizer
# and UndefinedBehaviorSanitizer (and the fuzzer's coverage hooks, so one build serves fuzz.sh too);
# the C++ tests run with LeakSanitizer and, built plainly, under valgrind; then the whole pytest
# suite runs against the sanitized extension with the sanitizer runtime preloaded into the
# interpreter.
#
#   bash scripts/sanitize.sh          build, C++ tests, valgrind, pytest
#   bash scripts/sanitize.sh build    build only
set -euo pipefail
cd "$(dirname "$0")/.."
# test.sh has done the set-up and holds its lock; a nested set-up would wait for that lock forever.
if [ -z "${QBO_SETUP_DONE:-}" ]; then
    source scripts/setup.sh
fi

# clang 19: Debian's clang 14 and 16 cannot compile GCC 12's <expected>. libclang-rt holds
# the sanitizer runtimes and libFuzzer, llvm the symbolizer that puts names in their reports.
qbo_clang=clang++-19
source scripts/apt.sh
qbo_apt_install clang-19 libclang-rt-19-dev llvm-19 valgrind

build=build/sanitize
# Warnings are the GCC build's business: clang flags some in GCC's own library headers.
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$qbo_clang" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQBO_FUZZ=ON -DQBO_WERROR=OFF -DQBO_BUILD_TESTS=ON -DQBO_BUILD_MODULE=ON \
    -DPython_EXECUTABLE="$(command -v python)" >/dev/null
cmake --build "$build" -j2 --target core_tests _native call_fuzzer
if [ "${1:-}" = build ]; then
    exit 0
fi

export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-19/bin/llvm-symbolizer
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

printf '\n[sanitize] C++ tests with AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer\n'
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$build" --output-on-failure

printf '\n[sanitize] C++ tests under valgrind: reads of uninitialised memory, which ASan does not see\n'
# The plain build of test.sh's C++ step (same directory and options, so built once).
cmake -S . -B build/cpp -G Ninja -DQBO_BUILD_TESTS=ON -DQBO_BUILD_MODULE=OFF >/dev/null
cmake --build build/cpp -j2 --target core_tests
valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    build/cpp/core_tests --gtest_brief=1

# The sanitized extension in a package directory of its own, ahead of the installed one on the path.
site="$build/site"
rm -rf "$site"
mkdir -p "$site/quorvel_bo"
cp -R python/quorvel_bo/payouts "$site/quorvel_bo/"
find "$site" -name __pycache__ -prune -exec rm -rf {} +
cp "$build/_native.abi3.so" "$site/quorvel_bo/payouts/"

printf '\n[sanitize] pytest against the sanitized extension\n'
# No leak check in the interpreter: CPython keeps objects to the end, and since every call comes
# through the interpreter no suppression can tell its memory from ours. Leaks are covered by the
# fuzzer (each input), the C++ tests above and the memory tests of the suite.
export LD_PRELOAD="$("$qbo_clang" -print-file-name=libclang_rt.asan-x86_64.so)"
export ASAN_OPTIONS=detect_leaks=0
export PYTHONPATH="$PWD/$site${PYTHONPATH:+:$PYTHONPATH}"
export QBO_SANITIZED=1
python - <<'PY'
import quorvel_bo.payouts._native as native
assert "/build/sanitize/site/" in native.__file__, native.__file__
PY
python -m pytest -q -p no:cacheprovider tests
