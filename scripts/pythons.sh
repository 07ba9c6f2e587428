# Sourced by the wheel scripts: find_python 3.11 prints the path of that
# CPython (pyenv's versions first, then python3.11 on PATH), or nothing.
find_python() {
    local v="$1" p
    for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/python"$v"; do
        [ -x "$p" ] && { echo "$p"; return; }
    done
    command -v "python$v" 2>/dev/null || true
}
