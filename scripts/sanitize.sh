#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the unit tests under it. Extra arguments go to pytest instead of
# the default selection. How long it takes: .ci/run, which runs it.
#
# The interpreter is not built with the sanitizers, so the runtime is
# preloaded, and libstdc++ with it: without it the runtime cannot find the
# real __cxa_throw and stops at the first C++ exception. PYTHONMALLOC=malloc
# sends every Python allocation through the sanitizer's allocator. Leak
# detection stays off: the interpreter keeps much of its memory until exit,
# and every leak report would run through its frames; reference and memory
# leaks are covered by the hygiene tests (tests/reliability/test_hygiene.py)
# instead.
#
# Tests that need the stand-in service (marked `standin`) are left out:
# the service's processes would inherit the preload, and those tests exercise
# the service and the network more than the extension, which the unit tests
# reach through fake clients. So are the hygiene tests (marked `hygiene`):
# they repeat the unit tests' calls thousands of times to count references
# and resident memory, which the sanitizer's allocator makes slow and
# meaningless; the plain suite runs them.
#
# PY=/path/to/python: use that interpreter (with the test dependencies) and
# skip the set-up, as .ci/run does right after the README's test command.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
[ -n "${PY:-}" ] || bash scripts/setup.sh
PY="${PY:-$ROOT/.venv/bin/python}"
BUILD="${VORNA_SANITIZE_BUILD:-$ROOT/build/sanitize}"
# One compile per core: ninja's default (cores + 2) overcommits a small
# machine that others share.
JOBS="${VORNA_BUILD_JOBS:-$(nproc)}"

start=$(date +%s)
cmake -S . -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$PY" -DVORNA_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
ninja -C "$BUILD" -j "$JOBS"
built=$(date +%s)

if [ $# -eq 0 ]; then
    set -- -q -m "not standin and not hygiene" tests
fi

status=0
env LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
    PYTHONMALLOC=malloc VORNA_SANITIZED=1 \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:print_summary=1" \
    UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1" \
    BENTOML_DO_NOT_TRACK=true \
    PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}" \
    "$PY" -m pytest -p no:cacheprovider "$@" || status=$?
done_at=$(date +%s)
echo "sanitize: build $((built - start)) s, tests $((done_at - built)) s, exit status $status"
exit $status
