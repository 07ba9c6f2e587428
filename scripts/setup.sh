#!/usr/bin/env bash
# Idempotent set-up: a virtual environment in .venv with the pinned CPU torch,
# the tools of requirements-dev.txt, and this package built and installed
# into it with its dependencies (pyproject.toml). requirements.txt is not
# read: it pins the published wheel, for ComfyUI's manager.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

PYTHON="${PYTHON:-python3.11}"
VENV="${VENV:-$ROOT/.venv}"
export BENTOML_DO_NOT_TRACK=true
export PIP_DISABLE_PIP_VERSION_CHECK=1

if [ ! -x "$VENV/bin/python" ]; then
    echo "setup: creating $VENV with $("$PYTHON" --version 2>&1)"
    "$PYTHON" -m venv "$VENV"
fi
# Skip the dependency install when nothing changed since the last one.
stamp="$VENV/.requirements.sha"
want="$(cat requirements-dev.txt | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    echo "setup: installing dependencies (torch pinned to the CPU build)"
    "$VENV/bin/python" -m pip install -q -r requirements-dev.txt
    echo "$want" > "$stamp"
fi
echo "setup: building and installing the extension"
# pip rebuilds a local folder even at an unchanged version; dependencies already there stay.
"$VENV/bin/python" -m pip install -q --no-build-isolation .
"$VENV/bin/python" - <<'PY'
import importlib.util
spec = importlib.util.find_spec("vorna_comfyui_engine")
print("setup: installed", spec.origin)
PY
