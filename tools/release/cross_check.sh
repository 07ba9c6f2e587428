#!/usr/bin/env bash
# Portability check: the extension cross-compiled with zig for Windows x64
# and macOS (arm64, x86_64) against each CPython 3.10 to 3.13's headers.
# These binaries are inspected, not run (no Windows or macOS interpreter
# here) and not shipped: the release builds them on real machines
# (.github/workflows/wheels.yml).
#
#   bash tools/release/cross_check.sh                                # every target, every version found
#   bash tools/release/cross_check.sh --target windows-x86_64 3.12    # one target, one version
#
# Each build must compile with no warning (the flags below add the ones that
# differ between platforms: 64-to-32-bit narrowing, where `long` is 32 bits
# on Windows; variable-length arrays and designated initialisers, which MSVC
# lacks) and pass tools/release/check_binary.py: only the import entry exported;
# Windows: only the Python DLL and Windows' own DLLs imported (C++ runtime
# linked in); macOS: only the system's libraries loaded and only the
# interpreter's symbols left to `-undefined dynamic_lookup`.
#
# Headers: Include/ of the same CPython version as found on this machine
# (pyenv's, as for the Linux wheels), with the target's pyconfig.h. Windows':
# CPython's PC/pyconfig.h, from Debian's source packages of CPython 3.11
# (used for 3.10 to 3.12) and 3.13, fetched once with apt-get into build/;
# macOS': the Linux one without its glibc feature macros (both LP64). The
# import library for python3XY.dll is made by zig's dlltool from what that
# version's libpython exports.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
. "$ROOT/tools/release/pythons.sh"

WORK="$ROOT/build/cross"
TOOLS="$ROOT/build/wheels/tools"     # shared with tools/release/build_wheels.sh
TOOLS_REQ=("ziglang==0.17.1" "pyelftools==0.33" "pefile==2024.8.26" "macholib==1.16.4")
ALL_TARGETS=(windows-x86_64 macos-arm64 macos-x86_64)
export PIP_DISABLE_PIP_VERSION_CHECK=1

targets=() versions=()
while [ $# -gt 0 ]; do
    case "$1" in
        --target) targets+=("$2"); shift ;;
        3.1[0-3]) versions+=("$1") ;;
        *) echo "cross_check: unknown argument $1 (--target ${ALL_TARGETS[*]}; versions 3.10 to 3.13)" >&2; exit 2 ;;
    esac
    shift
done
[ ${#targets[@]} -gt 0 ] || targets=("${ALL_TARGETS[@]}")
[ ${#versions[@]} -gt 0 ] || versions=(3.10 3.11 3.12 3.13)

mkdir -p "$WORK"
if [ ! -x "$TOOLS/bin/python" ]; then
    "$(find_python 3.11 || true)" -m venv "$TOOLS" 2>/dev/null || python3 -m venv "$TOOLS"
fi
"$TOOLS/bin/python" -m pip install -q "${TOOLS_REQ[@]}"
ZIG="$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
PYBIND11="$("$TOOLS/bin/python" -m pip install -q "pybind11>=2.12" && "$TOOLS/bin/python" -c 'import pybind11; print(pybind11.get_include())')"

# The sources CMakeLists.txt builds: every C++ file under src/.
sources=(src/*/*.cpp)

# CPython's PC/pyconfig.h for Windows, from Debian's source package of
# CPython 3.11 (for 3.10 to 3.12: what differs in theirs is the MSVC import
# library's name and the core build's own settings) or 3.13; apt-get with a
# list of its own, so the system's sources stay as they are.
windows_pyconfig() {
    local minor=3.11 suite=bookworm
    [ "$1" = 3.13 ] && { minor=3.13; suite=trixie; }
    local out="$WORK/cpython-pc/$minor/pyconfig.h" apt="$WORK/apt-$suite" tarball
    if [ ! -s "$out" ]; then
        mkdir -p "$apt/lists/partial" "$apt/src" "$(dirname "$out")"
        # The Debian mirror apt is set up with on this machine.
        local mirror
        mirror="$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null)"
        [ -n "$mirror" ] || mirror="$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null)"
        [ -n "$mirror" ] || { echo "cross_check: no Debian mirror in apt's sources" >&2; return 1; }
        echo "deb-src $mirror $suite main" >"$apt/sources.list"
        local opts=(-q -o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
                    -o "Dir::State::Lists=$apt/lists")
        apt-get "${opts[@]}" update >/dev/null
        (cd "$apt/src" && apt-get "${opts[@]}" source --download-only "python$minor" >/dev/null 2>&1)
        tarball="$(ls "$apt"/src/python"$minor"_*.orig.tar.[gx]z)"
        tar -xf "$tarball" -O --wildcards '*/PC/pyconfig.h' '*/PC/pyconfig.h.in' >"$out" 2>/dev/null || true
        [ -s "$out" ] || { echo "cross_check: no PC/pyconfig.h in $tarball" >&2; return 1; }
    fi
    echo "$out"
}

JOBS="${VORNA_BUILD_JOBS:-$(nproc)}"

# Compiles $1 to $2 with the target's flags; its messages shown when it fails.
compile_one() {
    "$ZIG" c++ "${flags[@]}" -c "$1" -o "$2" 2>"$2.log" || { cat "$2.log" >&2; return 1; }
}

status=0
summary=()
for target in "${targets[@]}"; do
    case "$target" in
        windows-x86_64) ztarget=x86_64-windows-gnu ;;
        macos-arm64) ztarget=aarch64-macos.11.0 ;;
        macos-x86_64) ztarget=x86_64-macos.10.13 ;;
        *) echo "cross_check: unknown target $target (${ALL_TARGETS[*]})" >&2; exit 2 ;;
    esac
    for v in "${versions[@]}"; do
        py="$(find_python "$v")"
        [ -n "$py" ] || { echo "cross_check: no CPython $v found, skipped"; continue; }
        t0=$(date +%s)
        nodot="${v/./}"
        out="$WORK/$target-$v"
        rm -rf "$out"
        mkdir -p "$out/obj"
        # The version's own headers with the target's pyconfig.h.
        cp -r "$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$out/include"
        flags=(-target "$ztarget" -std=c++17 -O2 -fPIC -fvisibility=hidden -fvisibility-inlines-hidden
               -isystem "$out/include" -isystem "$PYBIND11" -I "$ROOT/src"
               -DPYBIND11_SIMPLE_GIL_MANAGEMENT "-DVORNA_SOURCE_DIR=\"$ROOT/src/vorna_comfyui_engine\""
               -Wall -Wextra -Wno-missing-field-initializers -Wno-unused-parameter
               -Wshorten-64-to-32 -Wvla -Wc++20-designator -Werror)
        case "$target" in
            windows-*)
                pc="$(windows_pyconfig "$v")"
                cp "$pc" "$out/include/pyconfig.h"
                # Before 3.12 PC/pyconfig.h sets MS_WIN64 for MSVC only. pybind11
                # exports its exception classes where the C++ runtime is libc++
                # (zig's), not MSVC's: the release build's MSVC exports none.
                flags+=("-DMS_WIN64=" "-DPYBIND11_EXPORT_EXCEPTION=")
                "$TOOLS/bin/python" tools/release/check_binary.py def \
                    "$(dirname "$py")/../lib/libpython$v.so" "python$nodot.dll" "$out/python$nodot.def"
                "$ZIG" dlltool -m i386:x86-64 -d "$out/python$nodot.def" -l "$out/libpython$nodot.a"
                binary="$out/vorna_comfyui_engine.cp$nodot-win_amd64.pyd"
                link=("$out/libpython$nodot.a" -s) ;;
            macos-*)
                sed -E '/#define (_GNU_SOURCE|_POSIX_C_SOURCE|_XOPEN_SOURCE|_XOPEN_SOURCE_EXTENDED|__BSD_VISIBLE|_NETBSD_SOURCE|_DEFAULT_SOURCE)\b/d' \
                    "$out/include/pyconfig.h" >"$out/pyconfig.h"
                printf '#define _DARWIN_C_SOURCE 1\n' >>"$out/pyconfig.h"
                mv "$out/pyconfig.h" "$out/include/pyconfig.h"
                binary="$out/vorna_comfyui_engine.cpython-$nodot-darwin.so"
                # zig's linker takes no exported-symbols list (the release's
                # does, CMakeLists.txt): hidden visibility alone, so pybind11's
                # exception classes are kept hidden as on Windows.
                flags+=("-DPYBIND11_EXPORT_EXCEPTION=")
                link=(-undefined dynamic_lookup -s) ;;
        esac
        # One compile per core at a time, as the other builds do.
        ok=1 running=0
        objects=()
        for src in "${sources[@]}"; do
            obj="$out/obj/$(echo "$src" | tr / _).o"
            objects+=("$obj")
            compile_one "$src" "$obj" &
            running=$((running + 1))
            if [ "$running" -ge "$JOBS" ]; then
                wait -n || ok=0
                running=$((running - 1))
            fi
        done
        while [ "$running" -gt 0 ]; do
            wait -n || ok=0
            running=$((running - 1))
        done
        if [ "$ok" = 1 ] && "$ZIG" c++ -target "$ztarget" -shared -o "$binary" "${objects[@]}" "${link[@]}" \
                && "$TOOLS/bin/python" tools/release/check_binary.py check "$binary"; then
            summary+=("$target CPython $v: passed, $(du -k "$binary" | cut -f1) KiB, $(( $(date +%s) - t0 )) s")
        else
            summary+=("$target CPython $v: FAILED")
            status=1
        fi
    done
done
printf 'cross_check: %s\n' "${summary[@]}"
exit $status
