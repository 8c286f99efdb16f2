#!/usr/bin/env bash
# Builds every libFuzzer target in fuzz/ with clang (ASan + UBSan + LeakSanitizer)
# and runs each for a fixed time from its seed corpus.  Usage: .ci/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}
# clang and its sanitizer and libFuzzer runtimes, which Debian packages apart
# from the compiler (libclang-rt-N-dev): a clang installed without them
# compiles targets but cannot link them.
links_a_target() {
  local dir
  dir=$(mktemp -d)
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$dir/t.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$dir/t.cpp" -o "$dir/t" >/dev/null 2>&1
  local rc=$?
  rm -rf "$dir"
  return $rc
}
if ! command -v clang++ >/dev/null 2>&1 || ! links_a_target; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang
  major=$(clang++ -dumpversion | cut -d. -f1)
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$major-dev"
fi
out=${KLOV_FUZZ_BUILD:-build/fuzz}
mkdir -p "$out"
cores=(src/json/*.cpp src/graph/*.cpp src/vector/*.cpp src/reference/*.cpp)
flags=(-std=c++20 -O1 -g -ffp-contract=off -fno-omit-frame-pointer -Isrc
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -DKLOV_WITH_LIBFUZZER)
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for target in fuzz/*.cpp; do
  name=$(basename "$target" .cpp)
  # The main for running targets without libFuzzer (.ci/portable.sh), not a target.
  if [ "$name" = standalone_main ]; then continue; fi
  clang++ "${flags[@]}" "$target" "${cores[@]}" -o "$out/$name"
  corpus=$out/corpus-$name
  mkdir -p "$corpus"
  seeds=()
  for d in "fuzz/corpus/$name" fuzz/corpus/json; do [ -d "$d" ] && seeds+=("$d"); done
  echo "== $name: ${seconds}s"
  if ! "$out/$name" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$corpus" "${seeds[@]}" >"$out/$name.log" 2>&1; then
    status=1
    tail -n 40 "$out/$name.log"
  else
    grep -E 'stat::number_of_executed_units|Done ' "$out/$name.log" | tail -n 2
  fi
done
exit $status
