# Sourced by the wheel and install checks.

# find_python 3.11 prints the path of that CPython (pyenv's versions first,
# then python3.11 on PATH), or nothing.
find_python() {
    local v="$1" p
    for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/python"$v"; do
        [ -x "$p" ] && { echo "$p"; return; }
    done
    command -v "python$v" 2>/dev/null || true
}

# no_compiler_bin DIR fills DIR with links to basic tools only: whatever pip
# and the tests may call, and no compiler or CMake, for a PATH of a user
# without them.
no_compiler_bin() {
    local dir="$1" tool path
    rm -rf "$dir"
    mkdir -p "$dir"
    for tool in sh bash env cat ls cp mv rm mkdir rmdir ln chmod touch grep sed awk find sort head tail tr cut \
        uname id date sleep readlink dirname basename mktemp tee wc xargs ps kill which true false expr getconf; do
        path="$(command -v "$tool" 2>/dev/null)" && ln -s "$path" "$dir/$tool"
    done
    return 0
}
