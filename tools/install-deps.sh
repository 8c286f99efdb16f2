#!/usr/bin/env bash
# Checks what building klov_core from source needs, and installs what is
# missing when it can:
#
#   - a C++ compiler with C++20 (floating-point <charconv> included): the one
#     CMake will use ($CXX, else c++, g++ or clang++);
#   - OpenSSL's libcrypto headers and library (found through pkg-config or the
#     compiler's own search paths, not only /usr/include);
#   - the Python headers (Python.h) of the interpreter that builds, $PYTHON or
#     python3, and its venv module (the README's commands make a venv).
#
# Installing needs root and apt-get (Debian, Ubuntu).  Without them it only
# checks, names what is missing with the package to install, and exits 1.
# CMake and Ninja need nothing here: the build fetches them from PyPI when
# missing.
set -euo pipefail

python=${PYTHON:-python3}
say() { echo "install-deps: $*" >&2; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The compiler CMake will pick: $CXX, else the first of c++, g++, clang++.
pick_cxx() {
  if [ -n "${CXX:-}" ]; then echo "$CXX"; return; fi
  local c
  for c in c++ g++ clang++; do
    if command -v "$c" >/dev/null 2>&1; then echo "$c"; return; fi
  done
}

cat >"$tmp/cxx20.cpp" <<'EOF'
#include <bit>
#include <charconv>
#include <concepts>
#include <span>
int main() {
    char text[32];
    double d = 0.0;
    auto w = std::to_chars(text, text + sizeof text, 0.1, std::chars_format::scientific);
    auto r = std::from_chars(text, w.ptr, d, std::chars_format::general);
    return (r.ec == std::errc{} && std::endian::native == std::endian::little) ? 0 : std::popcount(1u);
}
EOF
cat >"$tmp/crypto.cpp" <<'EOF'
#include <openssl/evp.h>
#include <openssl/sha.h>
int main() { return EVP_MD_size(EVP_sha256()) == SHA256_DIGEST_LENGTH ? 0 : 1; }
EOF
cat >"$tmp/python.cpp" <<'EOF'
#include <Python.h>
int main() { return PY_MAJOR_VERSION == 3 ? 0 : 1; }
EOF

check_cxx() {
  local cxx=$1
  "$cxx" -std=c++20 -o "$tmp/cxx20" "$tmp/cxx20.cpp" >"$tmp/cxx20.log" 2>&1
}

check_crypto() {
  local cxx=$1 flags=()
  if command -v pkg-config >/dev/null 2>&1 && pkg-config --exists libcrypto 2>/dev/null; then
    read -r -a flags <<<"$(pkg-config --cflags --libs libcrypto)"
  else
    flags=(-lcrypto)
  fi
  if [ -n "${OPENSSL_ROOT_DIR:-}" ]; then
    flags=(-I"$OPENSSL_ROOT_DIR/include" -L"$OPENSSL_ROOT_DIR/lib" -L"$OPENSSL_ROOT_DIR/lib64" "${flags[@]}")
  fi
  "$cxx" -o "$tmp/crypto" "$tmp/crypto.cpp" "${flags[@]}" >"$tmp/crypto.log" 2>&1
}

python_include() {
  "$python" -c 'import sysconfig; print(sysconfig.get_path("include"))' 2>/dev/null
}

check_python() {
  local cxx=$1 inc
  inc=$(python_include) || return 1
  "$cxx" -fsyntax-only -I"$inc" "$tmp/python.cpp" >"$tmp/python.log" 2>&1
}

check_venv() {
  "$python" -c 'import ensurepip, venv' >/dev/null 2>&1
}

# One pass over everything; fills `missing` (what to report) and `packages`
# (what apt-get would install).
run_checks() {
  missing=()
  packages=()
  if ! command -v "$python" >/dev/null 2>&1; then
    missing+=("Python 3.11 or later ($python not found)")
    packages+=(python3 python3-dev python3-venv)
    return
  fi
  if ! "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
    missing+=("Python 3.11 or later: $python is $("$python" --version 2>&1); set PYTHON to a newer one")
  fi
  local cxx
  cxx=$(pick_cxx)
  if [ -z "$cxx" ]; then
    missing+=("a C++20 compiler (no \$CXX, c++, g++ or clang++ found)")
    packages+=(g++)
    return
  fi
  if ! check_cxx "$cxx"; then
    local other="" c
    for c in g++ clang++; do
      if [ "$c" != "$cxx" ] && command -v "$c" >/dev/null 2>&1 && check_cxx "$c"; then other=$c; break; fi
    done
    if [ -n "$other" ]; then
      missing+=("C++20 in $cxx, the compiler CMake would use; $other has it: run with CXX=$other")
    else
      missing+=("a compiler with C++20 and floating-point <charconv> (GCC 11+, Clang with libstdc++ 11+ or libc++ 20+); $cxx says: $(head -n 3 "$tmp/cxx20.log" | tr '\n' ' ')")
      packages+=(g++)
    fi
    return
  fi
  if ! check_crypto "$cxx"; then
    missing+=("OpenSSL's libcrypto headers and library (openssl/evp.h, -lcrypto): libssl-dev on Debian and Ubuntu, openssl-devel on Fedora and RHEL, openssl-dev on Alpine, openssl@3 from Homebrew; set OPENSSL_ROOT_DIR for an OpenSSL elsewhere")
    packages+=(libssl-dev)
  fi
  if ! check_python "$cxx"; then
    missing+=("the Python headers for $("$python" -c 'import sys; print(sys.executable)' 2>/dev/null || echo "$python") (Python.h not found under $(python_include || echo '?'))")
    packages+=(python3-dev)
  fi
  if ! check_venv; then
    missing+=("the venv and ensurepip modules of $python")
    packages+=(python3-venv)
  fi
}

run_checks
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1 && [ "${#packages[@]}" -gt 0 ]; then
  say "installing with apt-get: ${packages[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null
  run_checks
  if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
  fi
  say "still missing after installing ${packages[*]}:"
else
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    say "installing needs root and apt-get; only checking here. Missing:"
  else
    say "missing (no apt package known for it):"
  fi
fi
for m in "${missing[@]}"; do say "  - $m"; done
if [ "${#packages[@]}" -gt 0 ]; then
  say "on Debian or Ubuntu, as root: apt-get install ${packages[*]}"
fi
exit 1
