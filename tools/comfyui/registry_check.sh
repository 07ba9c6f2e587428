#!/usr/bin/env bash
# Checks the road of a ComfyUI user who installs the pack from the node
# registry through ComfyUI-Manager, on a machine without a compiler. Not part
# of CI: it needs ComfyUI's source and a few GB of packages.
#
#   bash tools/comfyui/registry_check.sh DIR [COMFYUI_SOURCE]
#   PYTHON=~/.pyenv/versions/3.13.0/bin/python3.13 bash tools/comfyui/registry_check.sh DIR313 [COMFYUI_SOURCE]
#
# DIR            where to set everything up (ComfyUI and its environment are
#                kept between runs): DIR/venv, DIR/ComfyUI, DIR/index, DIR/results
# COMFYUI_SOURCE as for tools/comfyui/check.sh; needed on the first run
#
# Set-up: the release wheel for PYTHON's version (taken from dist/, built
# there by tools/release/build_wheels.sh when missing) in a PEP 503 folder that the
# check serves on 127.0.0.1; the folder archived as the registry does
# (tools/release/registry_archive.py: tracked files less .comfyignore); ComfyUI in
# DIR/venv with its requirements beside torch==2.13.0 and nothing of this
# pack (tools/comfyui/env.sh). Then tools/comfyui/registry_check.py installs and
# runs the pack with no compiler or CMake on PATH and writes
# DIR/results/figures.json. Where the machine has no torch file for PYTHON,
# pip downloads PyPI's (a CUDA build of a few GB; it runs on the CPU).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
DIR="${1:?usage: registry_check.sh DIR [COMFYUI_SOURCE]}"
SOURCE="${2:-}"
CHECK=registry_check
mkdir -p "$DIR"
DIR="$(cd "$DIR" && pwd)"
PYTHON="${PYTHON:-python3.11}"
export PIP_DISABLE_PIP_VERSION_CHECK=1 BENTOML_DO_NOT_TRACK=true
. "$ROOT/tools/release/pythons.sh"
. "$ROOT/tools/comfyui/env.sh"
REPO_PY="$ROOT/.venv/bin/python"
[ -x "$REPO_PY" ] || bash "$ROOT/scripts/setup.sh"

# --- the wheel on a local package index ---------------------------------------------------------
v="$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
tag="cp${v/./}"
version="$(sed -n 's/^version = "\(.*\)"$/\1/p' "$ROOT/pyproject.toml" | head -n1)"
find_wheel() { ls "$ROOT"/dist/vorna_comfyui_engine-"$version"-"$tag"-"$tag"-*.whl 2>/dev/null | head -n1 || true; }
wheel="$(find_wheel)"
if [ -z "$wheel" ]; then
    bash "$ROOT/tools/release/build_wheels.sh" --no-test "$v"
    wheel="$(find_wheel)"
fi
echo "registry_check: $(basename "$wheel") ($(date -r "$wheel" '+%F %T'))"
project="$DIR/index/simple/vorna-comfyui-engine"
rm -rf "$DIR/index"
mkdir -p "$project"
cp "$wheel" "$project/"
printf '<!DOCTYPE html>\n<html><body><a href="vorna-comfyui-engine/">vorna-comfyui-engine</a></body></html>\n' \
    > "$DIR/index/simple/index.html"
printf '<!DOCTYPE html>\n<html><body><a href="%s#sha256=%s">%s</a></body></html>\n' "$(basename "$wheel")" \
    "$(sha256sum "$wheel" | cut -d' ' -f1)" "$(basename "$wheel")" > "$project/index.html"

# --- the registry's archive of this folder --------------------------------------------------------
(cd "$ROOT" && "$REPO_PY" tools/release/registry_archive.py "$DIR/registry-archive.zip")

# --- ComfyUI, without this pack -------------------------------------------------------------------
comfyui_source
comfyui_venv
torchvision_stub
no_compiler_bin "$DIR/nocc-bin"
clean_path="$DIR/venv/bin:$DIR/nocc-bin"
for tool in cc gcc g++ c++ clang clang++ cmake zig; do
    if PATH="$clean_path" command -v "$tool" >/dev/null; then
        echo "registry_check: $tool is on the check's PATH" >&2; exit 1
    fi
done

rm -rf "$DIR/results"
mkdir -p "$DIR/results"
cd "$ROOT"
# The pictures the image-to-image and inpainting graphs load.
"$REPO_PY" -m tools.harness make-inputs "$DIR/ComfyUI/input" >/dev/null
exec env -u PYTHONPATH "$REPO_PY" -m tools.comfyui.registry_check --comfyui "$DIR/ComfyUI" --python "$DIR/venv/bin/python" \
    --path "$clean_path" --stubs "$DIR/stubs" --archive "$DIR/registry-archive.zip" --index "$DIR/index" \
    --wheel "$wheel" --results "$DIR/results"
