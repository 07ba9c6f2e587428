#!/usr/bin/env bash
# Main job: set up (idempotent), start the stand-in inference service on a
# free loopback port with a fresh key, run the three workflows through the
# ComfyUI stand-in, and leave the pictures under output/.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh

PY="${VENV:-$ROOT/.venv}/bin/python"
OUT="$ROOT/output"
export BENTOML_DO_NOT_TRACK=true
mkdir -p "$OUT"

"$PY" -m tools.harness make-inputs "$OUT/input"
# A stand-in on a free loopback port with a key of this run only, stopped when the workflows end.
echo "main: starting the stand-in service (its log: $OUT/service.log)"
"$PY" -m tools.service --ready-timeout 300 --log "$OUT/service.log" -- \
    "$PY" -m tools.harness run \
    tools/api_workflows/text_to_image.json tools/api_workflows/image_to_image.json tools/api_workflows/inpainting.json \
    --nodes "$ROOT" --input "$OUT/input" --output "$OUT"

echo "main: done; the pictures of this run are the \"saved\" files above, all pictures are in $OUT/vorna/"
