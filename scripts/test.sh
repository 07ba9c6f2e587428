#!/usr/bin/env bash
# The test command: set up (idempotent), then run the whole suite. Extra
# arguments go to pytest (`-m "not hygiene"` leaves out the minutes of the
# reference and memory hygiene tests).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
# One compile per core (ninja's default, cores + 2, overcommits a small
# machine); the build trees under build/ are kept, so a second run compiles
# only what changed.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
bash scripts/setup.sh
export BENTOML_DO_NOT_TRACK=true
status=0
.venv/bin/python -m pytest -q "$@" || status=$?

# The reference interpreter: the entry and configuration need no torch, so
# they are built and tested there too when it is present.
PY310="$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.10*/bin/python3.10 2>/dev/null | head -n1 || true)"
if [ -n "$PY310" ] && [ $# -eq 0 ]; then
    echo "test: CPython 3.10 build ($PY310)"
    if [ ! -x .venv310/bin/python ]; then
        "$PY310" -m venv .venv310
        .venv310/bin/python -m pip install -q pytest pytest-timeout "pybind11>=2.12" "scikit-build-core>=1.0" ninja
    fi
    .venv310/bin/python -m pip install -q --no-build-isolation --no-deps --force-reinstall .
    .venv310/bin/python -m pytest -q tests/runtime/test_entry.py tests/nodes/test_config.py || status=$?
fi
exit $status
