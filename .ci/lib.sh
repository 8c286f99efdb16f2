# Shell helpers shared by the CI scripts; sourced, not run.

find_python() {  # find_python 3.12 -> path of an interpreter of that version
  local v=$1 cand
  for cand in "python$v" $(command -v pyenv >/dev/null 2>&1 && ls -d "$(pyenv root)/versions/$v".*/bin/python 2>/dev/null | sort -V | tail -n 1); do
    if command -v "$cand" >/dev/null 2>&1 &&
       [ "$("$cand" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$v" ]; then
      command -v "$cand"
      return 0
    fi
  done
  return 1
}

fresh_venv() {  # fresh_venv PYTHON DIR PACKAGE... -> a new venv at DIR with the packages installed
  local py=$1 venv=$2
  shift 2
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q "$@"
}
