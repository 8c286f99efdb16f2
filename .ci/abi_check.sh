#!/usr/bin/env bash
# Builds the wheel once, checks that it is a cp311-abi3 wheel, and installs it
# into a fresh virtual environment of every supported Python (3.11, 3.12,
# 3.13) to run the module, frame and cost tests there.  Exits non-zero when
# any step fails.
#
#   .ci/abi_check.sh                  # interpreters found on PATH or via pyenv
#   KLOV_PYTHONS="/opt/py311/bin/python3 /opt/py313/bin/python3" .ci/abi_check.sh
#   KLOV_ABI_WORK=/tmp/abi .ci/abi_check.sh     # keep wheel and venvs there
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=${KLOV_ABI_WORK:-$(mktemp -d -t klov-abi.XXXXXX)}
mkdir -p "$work"
tests=(tests/test_module.py tests/test_frame.py tests/test_cost.py)

. .ci/lib.sh

if [ -n "${KLOV_PYTHONS:-}" ]; then
  read -r -a pythons <<<"$KLOV_PYTHONS"
else
  pythons=()
  for v in 3.11 3.12 3.13; do
    if p=$(find_python "$v"); then
      pythons+=("$p")
    else
      echo "abi_check: no Python $v found" >&2
      exit 1
    fi
  done
fi

echo "== building the wheel with ${pythons[0]}"
rm -rf "$work/wheels"
"${pythons[0]}" -m pip wheel "$root" -w "$work/wheels" --no-deps -q
wheels=("$work"/wheels/klov_core-*.whl)
wheel=${wheels[0]}
case "$(basename "$wheel")" in
  *-cp311-abi3-*) echo "wheel: $(basename "$wheel")" ;;
  *) echo "abi_check: wheel is not tagged cp311-abi3: $(basename "$wheel")" >&2; exit 1 ;;
esac

# abi3audit checks the module's symbols against the limited API; optional,
# as it needs the package index.
if "${pythons[0]}" -m venv "$work/venv-audit" &&
   "$work/venv-audit/bin/python" -m pip install -q abi3audit >/dev/null 2>&1; then
  echo "== abi3audit"
  "$work/venv-audit/bin/abi3audit" --strict --report "$wheel"
else
  echo "== abi3audit not available, skipped"
fi

status=0
for py in "${pythons[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$work/venv-$ver"
  echo "== Python $ver ($py)"
  fresh_venv "$py" "$venv" "$wheel" pytest hypothesis numpy
  # Run outside the source tree so that the installed module is the one imported.
  if ! (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$root" \
          "${tests[@]/#/$root/}"); then
    echo "abi_check: tests failed on Python $ver" >&2
    status=1
  fi
done
exit $status
