#!/usr/bin/env bash
# The portable configurations, proved on an x86-64 Debian host:
#   libcxx    the module built by clang with LLVM's libc++, and the test suite against it
#   fallback  the module built by GCC with every portable path forced (KLOV_PORTABLE=ON),
#             and the test suite against it
#   cross     the C++ cores compiled for aarch64 Linux (GCC), aarch64 macOS and
#             x86-64 Windows (zig's clang)
#   qemu      the fuzz targets, built static for aarch64 with fuzz/standalone_main.cpp,
#             run over their seed corpora under qemu-aarch64-static
# Usage: .ci/portable.sh [step...]   (default: every step).  Every step runs; the
# script fails at the end if any did.  Installs what is missing (apt-get as root,
# pip into the active Python).  Builds go to $KLOV_PORTABLE_BUILD (build/portable).
set -euo pipefail
cd "$(dirname "$0")/.."
work=${KLOV_PORTABLE_BUILD:-build/portable}
mkdir -p "$work"
work=$(cd "$work" && pwd)
python=$(command -v python3)
jobs=${KLOV_PORTABLE_JOBS:-2}
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(libcxx fallback cross qemu)
for step in "${steps[@]}"; do
  case $step in
    libcxx | fallback | cross | qemu) ;;
    *) echo "unknown step $step (libcxx fallback cross qemu)"; exit 2 ;;
  esac
done

# The C++ cores: everything but the audit chain (OpenSSL) and the module (Python).
cores=(src/json/*.cpp src/graph/*.cpp src/vector/*.cpp src/reference/*.cpp)
fuzz_targets=(fuzz_json_text fuzz_json_bytes fuzz_superstep diff_cosine)

# ---- what the steps need --------------------------------------------------
echo "== install"
t0=$SECONDS
# Runs "$@" with its output kept in a log, shown only when it fails.
quiet() {
  "$@" >"$work/install.log" 2>&1 || { cat "$work/install.log"; return 1; }
}
missing=()
for pkg in clang libc++-dev libc++abi-dev libssl-dev g++-aarch64-linux-gnu qemu-user-static; do
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null)" = installed ] || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "apt-get install ${missing[*]}"
  quiet apt-get update -qq
  quiet env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
pip_missing=()
command -v cmake >/dev/null 2>&1 && command -v ninja >/dev/null 2>&1 || pip_missing+=(cmake ninja)
if ! "$python" -c 'import pytest, hypothesis, numpy' 2>/dev/null; then
  # The test extras as pyproject.toml lists them.
  mapfile -t test_deps < <("$python" -c 'import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))')
  pip_missing+=("${test_deps[@]}")
fi
"$python" -c 'import ziglang' 2>/dev/null || pip_missing+=(ziglang)
if [ ${#pip_missing[@]} -gt 0 ]; then
  echo "pip install ${pip_missing[*]}"
  quiet "$python" -m pip install -q "${pip_missing[@]}"
fi
times=("install $((SECONDS - t0))s")

# ---- helpers ----------------------------------------------------------------

# Runs the test suite against the module in build dir $1, after checking that
# the import finds that module and not an installed one.
run_tests() {
  local build=$1 found
  found=$(cd / && PYTHONPATH="$build" "$python" -c 'import klov_core; print(klov_core.__file__)')
  case $found in
    "$(cd "$build" && pwd)"/*) ;;
    *) echo "the import found $found, not the module in $build"; return 1 ;;
  esac
  PYTHONPATH="$build" "$python" -m pytest -q -p no:cacheprovider tests
}

# Configures and builds the module in $1 with the CMake arguments that follow;
# shows the log only when something fails.
build_module() {
  local build=$1
  shift
  mkdir -p "$build"
  if ! cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" "$@" \
       >"$build/configure.log" 2>&1; then
    tail -n 40 "$build/configure.log"
    return 1
  fi
  # An option this CMakeLists.txt does not know would be ignored silently.
  if grep -A3 'Manually-specified variables were not used' "$build/configure.log"; then return 1; fi
  # The configure-time checks of the toolchain (from_chars for doubles, ...).
  grep -h -- '-- Performing Test KLOV_.* - ' "$build/configure.log" | sed 's/^-- Performing Test //' || true
  if ! cmake --build "$build" -j "$jobs" >"$build/build.log" 2>&1; then
    grep -E 'error|Error|FAILED' "$build/build.log" | head -n 40
    return 1
  fi
  echo "built $(ls "$build"/klov_core*.so) ($(grep -c 'warning:' "$build/build.log" || true) warnings)"
}

# Compiles every file of cores with the compiler command "$@" (flags
# included) into $out; prints "<label>: N files compiled, ..." and the error
# lines of the files that failed.
compile_cores() {
  local label=$1 out=$2
  shift 2
  rm -rf "$out"
  mkdir -p "$out"
  local src obj running=0 t0=$SECONDS
  for src in "${cores[@]}"; do
    obj=$out/$(basename "$(dirname "$src")")_$(basename "$src" .cpp).o
    ( "$@" -c "$src" -o "$obj" >"${obj%.o}.log" 2>&1 || echo "$src" >>"$out/failed" ) &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
      wait -n
      running=$((running - 1))
    fi
  done
  wait
  local failed=0 warnings
  [ -f "$out/failed" ] && failed=$(wc -l <"$out/failed")
  warnings=$(cat "$out"/*.log | grep -c 'warning:' || true)
  echo "$label: $((${#cores[@]} - failed))/${#cores[@]} files compiled, $failed failed, $warnings warnings, $((SECONDS - t0))s"
  if [ "$failed" -gt 0 ]; then
    for src in $(sort "$out/failed"); do
      obj=$out/$(basename "$(dirname "$src")")_$(basename "$src" .cpp).o
      grep -E 'error' "${obj%.o}.log" | head -n 10 || true
    done
    return 1
  fi
}

# ---- the steps ----------------------------------------------------------------

step_libcxx() {
  # clang's default standard library on Debian is libstdc++; -stdlib=libc++
  # takes LLVM's, in the compile and in every link.
  local build=$work/libcxx
  build_module "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ \
    -DCMAKE_SHARED_LINKER_FLAGS=-stdlib=libc++ -DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++
  local needed
  needed=$(readelf -d "$build"/klov_core*.so | grep NEEDED)
  if ! grep -q 'libc++' <<<"$needed" || grep -q 'libstdc++' <<<"$needed"; then
    echo "the module does not link libc++ alone:"
    echo "$needed"
    return 1
  fi
  echo "$(clang++ --version | head -n 1), links $(grep -o 'libc++[^]]*' <<<"$needed" | tr '\n' ' ')"
  run_tests "$build"
}

step_fallback() {
  local build=$work/fallback
  build_module "$build" -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DKLOV_PORTABLE=ON
  # The vector core too took the portable path: it has only the scalar loop.
  local refused
  refused=$(cd / && KLOV_CORE_ISA=sse2 PYTHONPATH="$build" "$python" -c 'import klov_core' 2>&1 || true)
  refused=${refused##*$'\n'}
  case $refused in
    *"no kernels"*) echo "KLOV_CORE_ISA=sse2: ${refused#ImportError: }" ;;
    *) echo "KLOV_CORE_ISA=sse2 was not refused as a build without kernels: $refused"; return 1 ;;
  esac
  run_tests "$build"
}

step_cross() {
  local flags=(-std=c++20 -Isrc -O2 -ffp-contract=off -Wall -Wextra -Wpedantic)
  local status=0 zig=("$python" -m ziglang)
  export ZIG_GLOBAL_CACHE_DIR=$work/zig-cache ZIG_LOCAL_CACHE_DIR=$work/zig-cache
  compile_cores "aarch64-linux-gnu ($(aarch64-linux-gnu-g++ -dumpfullversion))" "$work/cross/aarch64-linux-gnu" \
    aarch64-linux-gnu-g++ "${flags[@]}" || status=1
  local target
  for target in aarch64-macos x86_64-windows-gnu; do
    compile_cores "$target (zig $("${zig[@]}" version))" "$work/cross/$target" \
      "${zig[@]}" c++ -target "$target" "${flags[@]}" || status=1
  done
  return $status
}

step_qemu() {
  local out=$work/qemu cxx=aarch64-linux-gnu-g++
  ulimit -c 0  # no qemu core files in the work tree when a target aborts
  local flags=(-std=c++20 -Isrc -O1 -ffp-contract=off)
  compile_cores "aarch64-linux-gnu -O1 cores" "$out/obj" "$cxx" "${flags[@]}"
  "$cxx" "${flags[@]}" -c fuzz/standalone_main.cpp -o "$out/standalone_main.o"
  local status=0 name seeds
  for name in "${fuzz_targets[@]}"; do
    # KLOV_WITH_LIBFUZZER leaves out diff_cosine's own main.
    "$cxx" "${flags[@]}" -DKLOV_WITH_LIBFUZZER -static fuzz/"$name".cpp "$out/standalone_main.o" "$out"/obj/*.o -o "$out/$name"
    seeds=(fuzz/corpus/json)
    [ -d "fuzz/corpus/$name" ] && seeds+=("fuzz/corpus/$name")
    qemu-aarch64-static "$out/$name" "${seeds[@]}" || { echo "$name failed (exit $?)"; status=1; }
  done
  # diff_cosine built with its own main: random cases, every kernel against
  # the scalar loop and the ranking against the full sort.
  "$cxx" "${flags[@]}" -static fuzz/diff_cosine.cpp "$out"/obj/*.o -o "$out/diff_cosine_random"
  qemu-aarch64-static "$out/diff_cosine_random" 20000 1 || { echo "diff_cosine_random failed (exit $?)"; status=1; }
  return $status
}

# ---- run ------------------------------------------------------------------------

failed=()
for step in "${steps[@]}"; do
  echo "== $step"
  t0=$SECONDS
  set +e
  ( set -e; "step_$step" )
  rc=$?
  set -e
  times+=("$step $((SECONDS - t0))s")
  [ $rc -eq 0 ] || failed+=("$step")
done
echo "== portable: ${times[*]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}"
  exit 1
fi
