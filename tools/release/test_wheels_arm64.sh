#!/usr/bin/env bash
# Tests a Linux aarch64 wheel of CPython 3.11 on this x86_64 machine under
# user-mode emulation (qemu-aarch64-static): Debian's arm64 CPython 3.11,
# unpacked into build/arm64-root/ with `dpkg -x` (nothing is installed into
# the system but qemu-user-static and the arm64 package lists), the wheel and
# pytest beside it (pip --target), then the entry and configuration tests.
#
#   bash tools/release/test_wheels_arm64.sh dist/vorna_comfyui_engine-*-cp311-*aarch64.whl
#
# Those tests need neither torch nor bentoml; the rest of the suite would
# need both as ARM64 builds running emulated, which is too slow to be useful.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
[ $# = 1 ] || { echo "usage: test_wheels_arm64.sh WHEEL (aarch64, cp311)" >&2; exit 2; }
wheel="$(realpath "$1")"
case "$(basename "$wheel")" in
    *-cp311-cp311-*aarch64.whl) ;;
    *) echo "test_wheels_arm64: $wheel is not an aarch64 wheel of CPython 3.11" >&2; exit 2 ;;
esac
WORK="$ROOT/build/arm64-root"
SYSROOT="$WORK/sysroot"
SITE="$WORK/site"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
t0=$(date +%s)

if ! command -v qemu-aarch64-static >/dev/null; then
    apt-get install -y -q qemu-user-static >/dev/null
fi
# The interpreter, the C library and what the standard library modules the
# tests import load.
PACKAGES=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libc6 libgcc-s1 zlib1g libexpat1
          libffi8 libssl3 liblzma5 libbz2-1.0 libsqlite3-0 libuuid1 libcrypt1 libncursesw6 libtinfo6
          libreadline8 libnsl2 libtirpc3 libdb5.3 libgdbm6)
if [ ! -x "$SYSROOT/usr/bin/python3.11" ]; then
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        dpkg --add-architecture arm64
        apt-get update -q >/dev/null
    fi
    rm -rf "$WORK"
    mkdir -p "$WORK/debs" "$SYSROOT"
    (cd "$WORK/debs" && apt-get download -q "${PACKAGES[@]/%/:arm64}" >/dev/null)
    for deb in "$WORK"/debs/*.deb; do dpkg -x "$deb" "$SYSROOT"; done
fi

# The emulated interpreter as one program, also for the tests' own
# subprocesses (sitecustomize points sys.executable at it).
PY="$WORK/python3.11"
printf '#!/bin/sh\nexec qemu-aarch64-static -L "%s" "%s/usr/bin/python3.11" "$@"\n' "$SYSROOT" "$SYSROOT" >"$PY"
chmod +x "$PY"

rm -rf "$SITE"
python3 -m pip install -q --target "$SITE" --platform manylinux2014_aarch64 --python-version 3.11 \
    --implementation cp --only-binary=:all: pytest pytest-timeout 2> >(grep -v "is ignored: it is neither" >&2)
python3 -m pip install -q --target "$SITE" --no-deps --platform manylinux_2_17_aarch64 --python-version 3.11 \
    --implementation cp --only-binary=:all: "$wheel" 2> >(grep -v "is ignored: it is neither" >&2)
printf 'import sys\nsys.executable = "%s"\n' "$PY" >"$SITE/sitecustomize.py"

export PYTHONPATH="$SITE" BENTOML_DO_NOT_TRACK=true
"$PY" - "$SITE" <<'PY'
import importlib.util, os, platform, sys
origin = importlib.util.find_spec("vorna_comfyui_engine").origin
if platform.machine() != "aarch64" or not origin.startswith(sys.argv[1] + os.sep):
    sys.exit(f"test_wheels_arm64: machine {platform.machine()}, module from {origin}")
print(f"test_wheels_arm64: CPython {platform.python_version()} on {platform.machine()} (emulated), {os.path.basename(origin)}")
PY
log="$WORK/test.log"
set +e
"$PY" -m pytest -q -p no:cacheprovider tests/runtime/test_entry.py tests/nodes/test_config.py 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
set -e
echo "test_wheels_arm64: CPython 3.11 aarch64, entry and configuration: $(grep -E '(passed|failed|error)' "$log" | tail -n1) ($(( $(date +%s) - t0 )) s)"
exit "$rc"
