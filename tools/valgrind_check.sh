#!/usr/bin/env bash
# Runs tools/valgrind_driver.py (all ten functions, succeeding and failing)
# under valgrind's memcheck against a normal RelWithDebInfo build, and reports
# the errors and the definitely lost blocks whose stacks pass through the
# extension.  The interpreter runs with PYTHONMALLOC=malloc so that every
# object is a heap block memcheck can see.  Exits non-zero when any error or
# definite leak is ours.  Usage: tools/valgrind_check.sh [rounds-per-call]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KLOV_VALGRIND_BUILD:-build/valgrind}
if ! command -v valgrind >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind
fi
python=$(python3 -c "import sys; print(sys.executable)")  # the interpreter itself, not a wrapper script
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build"
log=$build/memcheck.log
start=$(date +%s)
PYTHONMALLOC=malloc PYTHONPATH="$build" KLOV_VALGRIND_ROUNDS="${1:-20}" \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
           --num-callers=40 --track-origins=yes --suppressions=tools/valgrind-python.supp \
           --log-file="$log" "$python" tools/valgrind_driver.py
echo "memcheck took $(( $(date +%s) - start ))s; log: $log"
python3 tools/valgrind_summary.py "$log"
