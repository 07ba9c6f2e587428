#!/usr/bin/env bash
# Tests release wheels the way a user gets them: for each wheel a fresh
# virtual environment of its Python, a PATH with no compiler and no CMake,
# `pip install` of the wheel (a wheel is never built), then the entry and
# configuration tests; on the versions in VORNA_WHEEL_FULL_SUITE (default
# 3.11; set but empty: none) the whole suite, with requirements-dev.txt
# (torch pinned there).
#
#   bash tools/release/test_wheels.sh                 # every wheel in dist/ for this machine
#   bash tools/release/test_wheels.sh dist/X.whl ...
#
# The tests run from the work tree as scripts/test.sh runs them (they need its
# stand-in service, harness and benchmarks), with PYTHONPATH unset, so no
# build directory is on sys.path; each run first checks, with the same
# interpreter, directory and environment, that the module is the one the
# wheel installed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
. "$ROOT/tools/release/pythons.sh"

WORK="$ROOT/build/wheels"
FULL=" ${VORNA_WHEEL_FULL_SUITE-3.11} "
export PIP_DISABLE_PIP_VERSION_CHECK=1 BENTOML_DO_NOT_TRACK=true

# This machine's wheels only (aarch64 ones: tools/release/test_wheels_arm64.sh).
if [ $# -gt 0 ]; then wheels=("$@"); else wheels=(dist/vorna_comfyui_engine-*"$(uname -m)".whl); fi
[ -e "${wheels[0]}" ] || { echo "test_wheels: no wheel in dist/ (run tools/release/build_wheels.sh)" >&2; exit 1; }

NOCC="$WORK/nocc-bin"
no_compiler_bin "$NOCC"

# Runs a command with the test PATH and nothing that would point Python or a
# build at the work tree.
run() { env -u PYTHONPATH -u PYTHONHOME -u CC -u CXX PATH="$clean_path" "$@"; }

status=0
summary=()
for wheel in "${wheels[@]}"; do
    name="$(basename "$wheel")"
    tag="$(echo "$name" | cut -d- -f3)"          # cp311
    v="${tag:2:1}.${tag:3}"
    py="$(find_python "$v")"
    [ -n "$py" ] || { echo "test_wheels: no CPython $v for $name" >&2; status=1; continue; }
    t0=$(date +%s)
    venv="$WORK/test-$v"
    rm -rf "$venv"
    "$py" -m venv "$venv"
    clean_path="$venv/bin:$NOCC"
    for tool in cc gcc g++ c++ clang clang++ cmake zig; do
        if PATH="$clean_path" command -v "$tool" >/dev/null; then
            echo "test_wheels: $tool is on the test PATH" >&2; exit 1
        fi
    done
    case "$FULL" in
        *" $v "*) what="whole suite"; extra=(-r requirements-dev.txt); tests=(tests) ;;
        *) what="entry and configuration"; extra=(pytest pytest-timeout); tests=(tests/runtime/test_entry.py tests/nodes/test_config.py) ;;
    esac
    echo "test_wheels: CPython $v: installing $name, testing the $what"
    run "$venv/bin/python" -m pip install -q --only-binary vorna_comfyui_engine "$wheel" "${extra[@]}" \
        2> >(grep -v "is ignored: it is neither" >&2)
    run "$venv/bin/python" - "$venv" <<'PY'
import importlib.util, os, sys
origin = importlib.util.find_spec("vorna_comfyui_engine").origin
site = os.path.realpath(sys.argv[1])
if not os.path.realpath(origin).startswith(site + os.sep):
    sys.exit(f"test_wheels: the module comes from {origin}, not from the wheel in {site}")
PY
    log="$WORK/test-$v.log"
    set +e
    run "$venv/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    set -e
    [ "$rc" = 0 ] || status=1
    summary+=("CPython $v, $what: $(grep -E '(passed|failed|error)' "$log" | tail -n1) ($(( $(date +%s) - t0 )) s)")
done
printf 'test_wheels: %s\n' "${summary[@]}"
exit $status
