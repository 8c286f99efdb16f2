#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite against that build.  The interpreter itself is
# not instrumented, so the sanitizer runtime is preloaded into it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KLOV_ASAN_BUILD:-build/asan}
python=$(command -v python3)
command -v cmake >/dev/null 2>&1 && command -v ninja >/dev/null 2>&1 || pip install -q cmake ninja

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKLOV_SANITIZE=ON \
      -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build"

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan:$ubsan"
# Leak checking of the native cores runs in the fuzz targets (LeakSanitizer on
# code without the interpreter); here the interpreter keeps its objects to the
# end, so leaks are measured by the reference-count and RSS tests instead.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
export KLOV_SANITIZED=1
PYTHONPATH="$build" python3 -m pytest -q -p no:cacheprovider tests "$@"
