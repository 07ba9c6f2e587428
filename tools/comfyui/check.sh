#!/usr/bin/env bash
# Checks the nodes in a real ComfyUI (CPU only, with its real front end in
# headless Chromium). Not part of CI: it needs ComfyUI's source and a few GB
# of packages.
#
#   bash tools/comfyui/check.sh DIR [COMFYUI_SOURCE] [-- CHECK_OPTIONS]
#
# DIR            where to set everything up (kept between runs; set-up steps
#                already done are skipped): DIR/venv, DIR/ComfyUI, DIR/results
# COMFYUI_SOURCE a ComfyUI checkout (a folder with main.py) or a git
#                directory of ComfyUI's repository; needed on the first run
# CHECK_OPTIONS  passed to check.py: --only-keys runs only the steps of the
#                prompts' own keys; CHECK_SCRIPT=browser_key runs
#                tools/comfyui/browser_key.py (the per-user key in the front
#                end) instead of check.py
# SHIM_COMMIT=C  the custom-node folder's Python files (and no web/) taken
#                from commit C instead of the working tree, the package as
#                built from the tree: to compare with an earlier shim
#
# It installs ComfyUI's requirements beside the pinned CPU torch (leaving out
# torchvision, torchaudio, kornia and spandrel; an import-only stand-in
# torchvision lets ComfyUI start; tools/comfyui/env.sh), Playwright, and
# this folder as a custom node (built with `pip install .`, which brings its
# dependencies), then runs
# tools/comfyui/check.py, which prints its figures and writes
# DIR/results/figures.json and screenshots.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
DIR="${1:?usage: tools/comfyui/check.sh DIR [COMFYUI_SOURCE] [-- CHECK_OPTIONS]}"
shift
SOURCE=""
if [ $# -gt 0 ] && [ "$1" != "--" ]; then SOURCE="$1"; shift; fi
if [ "${1:-}" = "--" ]; then shift; fi
SCRIPT="${CHECK_SCRIPT:-check}"
CHECK=check.sh
mkdir -p "$DIR"
DIR="$(cd "$DIR" && pwd)"
PYTHON="${PYTHON:-python3.11}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 BENTOML_DO_NOT_TRACK=true
NODE_FOLDER="$DIR/ComfyUI/custom_nodes/vorna_nodes"

# --- ComfyUI and its Python environment ----------------------------------------------------------
. "$ROOT/tools/comfyui/env.sh"
comfyui_source
comfyui_venv playwright scikit-build-core pybind11 ninja
PY="$DIR/venv/bin/python"
torchvision_stub

# --- Chromium for the front end -----------------------------------------------------------------
CHROMIUM="$(command -v chromium || true)"
if [ -z "$CHROMIUM" ]; then
    echo "$CHECK: installing Debian's chromium"
    apt-get update -qq && apt-get install -y -qq chromium >/dev/null
    CHROMIUM="$(command -v chromium)"
fi

# --- this folder as a custom node -----------------------------------------------------------------
echo "$CHECK: building and installing the extension into $DIR/venv"
(cd "$ROOT" && "$PY" -m pip install -q --no-build-isolation .)
rm -rf "$NODE_FOLDER"
mkdir -p "$NODE_FOLDER"
# What a clone of the repository holds, uncommitted changes included.
(cd "$ROOT" && git ls-files -co --exclude-standard -z | xargs -0 tar -cf - --no-recursion) | tar -xf - -C "$NODE_FOLDER"
if [ -n "${SHIM_COMMIT:-}" ]; then
    echo "$CHECK: the folder's Python files from $SHIM_COMMIT"
    rm -rf "$NODE_FOLDER"/*.py "$NODE_FOLDER/web"
    (cd "$ROOT" && git archive "$SHIM_COMMIT" $(git ls-tree --name-only "$SHIM_COMMIT" | grep '\.py$')) \
        | tar -xf - -C "$NODE_FOLDER"
fi
(cd "$ROOT" && "$PY" -m tools.harness make-inputs "$DIR/ComfyUI/input" >/dev/null)

mkdir -p "$DIR/results"
cd "$ROOT"
exec "$PY" -m "tools.comfyui.$SCRIPT" --comfyui "$DIR/ComfyUI" --stubs "$DIR/stubs" --chromium "$CHROMIUM" \
    --results "$DIR/results" "$@"
