#!/usr/bin/env bash
# Installs the system packages the build needs (OpenSSL's libcrypto headers and
# a C++ compiler) when they are missing.  Runs as root on Debian-like systems;
# elsewhere it only checks.
set -euo pipefail
need=()
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
command -v g++ >/dev/null 2>&1 || need+=(g++)
if [ "${#need[@]}" -gt 0 ]; then
  if command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
  else
    echo "missing system packages: ${need[*]}" >&2
    exit 1
  fi
fi
