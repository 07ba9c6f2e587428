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

PORT="$("$PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
# A key of this run only; it stays in the environment, never on a command line or in a file.
KEY="$("$PY" -c 'import secrets; print(secrets.token_urlsafe(32))')"

# Own session, so stopping it also stops any worker processes it started.
VORNA_STANDIN_API_KEY="$KEY" setsid "$PY" -m service --port "$PORT" >"$OUT/service.log" 2>&1 &
SERVICE_PID=$!

stop_service() {
    # The launcher stops bentoml on SIGTERM; then clear whatever of its group is left.
    kill -TERM "$SERVICE_PID" 2>/dev/null || return 0
    for _ in $(seq 300); do
        kill -0 "$SERVICE_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL -- "-$SERVICE_PID" 2>/dev/null || true
    wait "$SERVICE_PID" 2>/dev/null || true
}
trap stop_service EXIT

echo "main: waiting for the stand-in service on 127.0.0.1:$PORT"
"$PY" - "$PORT" "$SERVICE_PID" <<'PY'
import os, sys, time, urllib.request
port, pid = sys.argv[1], int(sys.argv[2])
deadline = time.monotonic() + 300
while True:
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/readyz", timeout=2) as r:
            if r.status == 200:
                break
    except OSError:
        pass
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        sys.exit("main: the stand-in service exited; see output/service.log")
    if time.monotonic() > deadline:
        sys.exit("main: the stand-in service did not become ready; see output/service.log")
    time.sleep(0.2)
PY

export VORNA_API_BASE_URL="http://127.0.0.1:$PORT"
export VORNA_API_KEY="$KEY"

"$PY" -m harness make-inputs "$OUT/input"
"$PY" -m harness run \
    api_workflows/text_to_image.json api_workflows/image_to_image.json api_workflows/inpainting.json \
    --nodes "$ROOT" --input "$OUT/input" --output "$OUT"

echo "main: done; the pictures of this run are the \"saved\" files above, all pictures are in $OUT/vorna/"
