#!/usr/bin/env bash
# Checks the nodes in a real ComfyUI (CPU only, with its real front end in
# headless Chromium). Not part of CI: it needs ComfyUI's source and a few GB
# of packages.
#
#   bash tools/comfyui/check.sh DIR [COMFYUI_SOURCE]
#
# DIR            where to set everything up (kept between runs; set-up steps
#                already done are skipped): DIR/venv, DIR/ComfyUI, DIR/results
# COMFYUI_SOURCE a ComfyUI checkout (a folder with main.py) or a git
#                directory of ComfyUI's repository; needed on the first run
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
DIR="${1:?usage: tools/comfyui/check.sh DIR [COMFYUI_SOURCE]}"
SOURCE="${2:-}"
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
(cd "$ROOT" && "$PY" -m tools.harness make-inputs "$DIR/ComfyUI/input" >/dev/null)

mkdir -p "$DIR/results"
cd "$ROOT"
exec "$PY" -m tools.comfyui.check --comfyui "$DIR/ComfyUI" --stubs "$DIR/stubs" --chromium "$CHROMIUM" \
    --results "$DIR/results"
